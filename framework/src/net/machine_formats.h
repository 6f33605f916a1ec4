// The forms in which the network service shows a machine: JSON, Graphviz DOT and SCXML, and the
// JSON of its trace (docs/network.md, "Machines").
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "machine_view.h"

namespace velko::net {

nlohmann::json machine_json(const MachineView& m, const std::string& address);
nlohmann::json trace_json(const TraceView& t, const std::string& address);
// A digraph: superstates and flows as clusters, states as nodes, transitions as edges labelled
// with their events; active states filled.
std::string machine_dot(const MachineView& m);
// An SCXML document: superstates with several flows as <parallel>, flows as <state> regions with
// <history> when they keep it, transitions with event, target and cond when guarded.
std::string machine_scxml(const MachineView& m);

}  // namespace velko::net
