// FSMobserver: read-only views of linked machines (their structure, live active states and recent
// transitions), safe while the machines run.
#pragma once

#include <cstdint>
#include <string>

#include "fsm.h"
#include "machine_view.h"

class FSMobserver {
  public:
    // The id of sp: its name below the ids of its parents and the numbers of the flows that
    // hold it, "ROOT/FLOW/NAME/FLOW/NAME"; the root's id is its name.
    static std::string state_id(FSMstate* sp);

    // The structure of the machine part whose top is top, with its live active states and
    // errors. The machine must be linked; the walk takes each flow's and each state's lock in
    // turn, never two at once.
    static void describe(FSMsuperstate* top, velko::MachineView* out);

    // The transitions and errors of sp's machine recorded after seq `after`. Without a root machine the
    // view is empty.
    static void read_trace(FSMstate* sp, uint64_t after, velko::TraceView* out);

  private:
    static void describe_state(FSMstate* sp, const std::string& id, const std::string& parent_id,
                               const std::string& location, bool reference, velko::StateView* out);
    static void describe_flow(FSMsuperstate* owner, FSMsuperstate::frame* fr, const std::string& owner_id,
                              const std::string& location, velko::FlowView* out);
    static void describe_transitions(FSMstate* sp, FSMstate* owner, FSMsuperstate::frame* fr,
                                     const std::string& owner_id, velko::StateView* out);
    // The view of an error entry: where the state that raised it sits, and its text.
    static void read_error(const FSMtrace::Record& r, velko::TraceEntryView* e);
    // The flow of owner that holds member, or null.
    static FSMsuperstate::frame* flow_holding(FSMstate* owner, FSMstate* member);
};
