// The JSON forms of a machine's structure and of its trace.
#include "net/machine_formats.h"

namespace velko::net {

using nlohmann::json;

namespace {

const char* kind_name(StateKind k) {
    switch (k) {
        case StateKind::root:
            return "root";
        case StateKind::superstate:
            return "superstate";
        default:
            return "state";
    }
}

const char* effect_name(TraceEntryView::Effect e) {
    switch (e) {
        case TraceEntryView::Effect::finished:
            return "finish";
        case TraceEntryView::Effect::unchanged:
            return "none";
        case TraceEntryView::Effect::error:
            return "error";
        default:
            return "switch";
    }
}

json id_or_null(const std::string& id) {
    return id.empty() ? json(nullptr) : json(id);
}

json state_json(const StateView& s) {
    json transitions = json::array();
    for (const TransitionView& t : s.transitions) {
        transitions.push_back(
            {{"event", t.event},
             {"guard", t.guard},
             {"action", t.action},
             {"signal", t.has_signal ? json{{"event", t.signal_event}, {"target", t.signal_target}} : json(nullptr)},
             {"next", t.next},
             {"target", id_or_null(t.target_id)},
             {"finishes", t.finishes}});
    }
    json flows = json::array();
    for (const FlowView& f : s.flows) {
        json refs = json::array();
        for (const ReferenceView& r : f.references) {
            refs.push_back({{"name", r.name}, {"resolved", r.resolved}});
        }
        json states = json::array();
        for (const StateView& member : f.states) {
            states.push_back(state_json(member));
        }
        flows.push_back({{"id", f.id},
                         {"history", f.history},
                         {"default", f.default_state},
                         {"active", f.active_state},
                         {"finished", f.finished},
                         {"references", refs},
                         {"states", states}});
    }
    return {{"id", s.id},
            {"name", s.name},
            {"description", s.description},
            {"type", kind_name(s.kind)},
            {"location", s.location},
            {"parent", id_or_null(s.parent_id)},
            {"reference", s.reference},
            {"active", s.active},
            {"error", s.error},
            {"last_event", s.last_event},
            {"actions", s.actions},
            {"handlers", s.handlers},
            {"transitions", transitions},
            {"flows", flows}};
}

}  // namespace

json machine_json(const MachineView& m, const std::string& address) {
    json enclosing = m.enclosing_id.empty()
                         ? json(nullptr)
                         : json{{"id", m.enclosing_id}, {"name", m.enclosing_name}, {"location", m.enclosing_location}};
    return {{"address", address}, {"location", m.location}, {"machine", m.machine},
            {"root", m.root},     {"enclosing", enclosing}, {"top", state_json(m.top)}};
}

json trace_json(const TraceView& t, const std::string& address) {
    json entries = json::array();
    for (const TraceEntryView& e : t.entries) {
        entries.push_back({{"seq", e.seq},
                           {"time", e.time},
                           {"superstate", e.superstate_id},
                           {"location", e.location},
                           {"flow", e.flow},
                           {"from", e.from},
                           {"from_id", e.from_id},
                           {"event", e.event},
                           {"to", e.to},
                           {"to_id", id_or_null(e.to_id)},
                           {"effect", effect_name(e.effect)},
                           {"error", e.error}});
    }
    return {{"address", address}, {"machine", t.machine}, {"capacity", t.capacity},
            {"next", t.next},     {"missed", t.missed},   {"entries", entries}};
}

}  // namespace velko::net
