// velko::MachineView and velko::TraceView: what a server shows of the state machines it runs,
// and velko::MachineDescriber, through which the machine library hands them to the platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class EqFct;

namespace velko {

struct StateView;

// One transition of a state, in the order its state tests them.
struct TransitionView {
    std::string event;  // "*" fires on every event
    bool guard = false;
    bool action = false;
    bool has_signal = false;
    std::string signal_event;
    std::string signal_target;
    std::string next;       // the name the transition leads to
    std::string target_id;  // the id of that state in its flow; "" when no member has that name
    bool finishes = false;  // next names the superstate that owns the flow: the flow finishes
};

// A state placed into a flow by name from another location.
struct ReferenceView {
    std::string name;
    bool resolved = false;
};

// One flow (parallel region) of a superstate.
struct FlowView {
    int id = 0;
    bool history = false;
    bool finished = false;
    std::string default_state;  // "" before the machine is linked
    std::string active_state;
    std::vector<ReferenceView> references;
    std::vector<StateView> states;  // in the order they were added
};

enum class StateKind { state, superstate, root };

struct StateView {
    std::string id;  // path from the machine's root: ROOT/FLOW/NAME/FLOW/NAME...
    std::string name;
    std::string description;
    StateKind kind = StateKind::state;
    std::string location;    // the location whose machine part holds the state ("" when none)
    std::string parent_id;   // "" for the top of a document
    bool reference = false;  // placed into its flow by a reference
    bool active = false;
    std::string error;
    std::string last_event;
    std::vector<std::string> actions;   // filled action slots: init, poll, enter, during, exit, interrupt1, interrupt2
    std::vector<std::string> handlers;  // event handler names in the order they were added
    std::vector<TransitionView> transitions;
    std::vector<FlowView> flows;
};

// The machine part held by one location.
struct MachineView {
    std::string location;
    std::string machine;  // the machine's name (the location's FSM property)
    bool root = false;    // a root location (code 100) rather than a superstate location
    // The superstate whose flow holds the top of a superstate location; empty ids otherwise.
    std::string enclosing_id;
    std::string enclosing_name;
    std::string enclosing_location;
    StateView top;
};

// One recorded transition.
struct TraceEntryView {
    uint64_t seq = 0;           // counts from 1 over the machine's life
    double time = 0;            // unix seconds, to the kernel's clock tick
    std::string superstate_id;  // the superstate that owns the flow
    std::string location;       // its location
    int flow = 0;
    std::string from;
    std::string from_id;
    std::string event;
    std::string to;
    std::string to_id;  // "" when the flow kept its state
    // error: not a transition but an error that the state `from` raised while the machine
    // dispatched; event, to and to_id are then empty.
    enum class Effect { switched, finished, unchanged, error } effect = Effect::switched;
    std::string error;  // the error's text, cut to the trace's room; "" for a transition
};

struct TraceView {
    std::string machine;
    size_t capacity = 0;                  // how many transitions the machine keeps
    uint64_t next = 0;                    // the highest seq recorded so far
    uint64_t missed = 0;                  // transitions after the asked-for seq that were overwritten before the read
    std::vector<TraceEntryView> entries;  // oldest first
};

// Implemented by the state-machine library. Called from the network service's worker threads
// while the machines run.
class MachineDescriber {
  public:
    virtual ~MachineDescriber() = default;
    // True when loc holds a machine part; fills the members of out above `top` and top's name and
    // id, without walking the machine.
    virtual bool summary(EqFct* loc, MachineView* out) = 0;
    // Fills out for the machine part held by loc. False, with a sentence naming address in *why,
    // when loc holds none or its machine is not running yet.
    virtual bool describe(EqFct* loc, const std::string& address, MachineView* out, std::string* why) = 0;
    // Fills out with the transitions of loc's machine recorded after seq `after`; results as describe.
    virtual bool trace(EqFct* loc, const std::string& address, uint64_t after, TraceView* out, std::string* why) = 0;
};

// The describer of this process, null until the library registers one. Safe from any thread.
void set_machine_describer(MachineDescriber* describer);
MachineDescriber* machine_describer();

}  // namespace velko
