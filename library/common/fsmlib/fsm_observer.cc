// Walking a linked machine for its structure and reading its trace.
//
// What the walk reads and how: names, descriptions, actions, handlers, transitions, flow members
// and references are fixed once the machine is linked and are read without a lock; a flow's
// active and default states and its finished mark under the flow's lock; a state's activity and
// last event under the state's lock; its error through copy_error. At most one of those locks is
// held at a time, so the walk cannot deadlock with the engine threads, which take a flow's lock
// before a state's.
#include "fsm_observer.h"

#include <algorithm>

namespace {

std::string location_name(FSMsuperstate* sp) {
    EqFSMlocation* loc = sp != nullptr ? sp->get_location() : nullptr;
    return loc != nullptr ? loc->name() : std::string();
}

bool is_machine_root(FSMstate* sp) {
    return sp->get_type() == ROOT_STATE || sp->get_parent() == nullptr || sp->get_parent() == sp;
}

std::string member_id(const std::string& owner_id, int flow, const char* name) {
    return owner_id + "/" + std::to_string(flow) + "/" + name;
}

// The error text, cut at 1023 characters.
std::string error_text(FSMstate* sp) {
    char buf[1024];
    const size_t len = sp->copy_error(buf, sizeof buf);
    return std::string(buf, std::min(len, sizeof buf - 1));
}

}  // namespace

FSMsuperstate::frame* FSMobserver::flow_holding(FSMstate* owner, FSMstate* member) {
    auto* sup = dynamic_cast<FSMsuperstate*>(owner);
    if (sup == nullptr) {
        return nullptr;
    }
    for (FSMsuperstate::frame* fr : sup->flow) {
        for (FSMstate* st : fr->state) {
            if (st == member) {
                return fr;
            }
        }
    }
    return nullptr;
}

std::string FSMobserver::state_id(FSMstate* sp) {
    if (is_machine_root(sp)) {
        return sp->get_name();
    }
    FSMsuperstate::frame* fr = flow_holding(sp->get_parent(), sp);
    return member_id(state_id(sp->get_parent()), fr != nullptr ? fr->id : 0, sp->get_name());
}

void FSMobserver::describe(FSMsuperstate* top, velko::MachineView* out) {
    *out = velko::MachineView();
    EqFSMlocation* loc = top->get_location();
    out->location = location_name(top);
    out->machine = loc != nullptr && loc->fsm.value() != nullptr ? loc->fsm.value() : "";
    out->root = top->get_type() == ROOT_STATE;
    std::string parent_id;
    if (!is_machine_root(top)) {
        FSMstate* enclosing = top->get_parent();
        parent_id = state_id(enclosing);
        out->enclosing_id = parent_id;
        out->enclosing_name = enclosing->get_name();
        out->enclosing_location = location_name(dynamic_cast<FSMsuperstate*>(enclosing));
    }
    describe_state(top, state_id(top), parent_id, out->location, false, &out->top);
    FSMsuperstate::frame* fr = parent_id.empty() ? nullptr : flow_holding(top->get_parent(), top);
    if (fr != nullptr) {
        for (FSMsuperstate::ref_entry* ref : static_cast<FSMsuperstate*>(top->get_parent())->reference_table) {
            out->top.reference =
                out->top.reference || (ref->mark == 0 && ref->flow == fr->id && ref->name == top->get_name());
        }
        describe_transitions(top, top->get_parent(), fr, parent_id, &out->top);
    }
}

void FSMobserver::describe_state(FSMstate* sp, const std::string& id, const std::string& parent_id,
                                 const std::string& location, bool reference, velko::StateView* out) {
    out->id = id;
    out->name = sp->get_name();
    out->description = sp->get_descr();
    out->parent_id = parent_id;
    out->reference = reference;
    out->kind = sp->type == ROOT_STATE    ? velko::StateKind::root
                : sp->type == SUPER_STATE ? velko::StateKind::superstate
                                          : velko::StateKind::state;
    auto* sup = dynamic_cast<FSMsuperstate*>(sp);
    out->location = sup != nullptr && sup->get_location() != nullptr ? location_name(sup) : location;

    pthread_mutex_lock(&sp->mux);
    out->active = sp->status == ACTIVE;
    out->last_event = sp->event_name;
    pthread_mutex_unlock(&sp->mux);
    out->error = error_text(sp);

    // clang-format off
    const struct { FSMstate::action_fn fn; const char* name; } slots[] = {
        {sp->reset, "init"},  {sp->poll, "poll"},  {sp->enter, "enter"},  {sp->during, "during"},
        {sp->leave, "exit"},  {sp->usr_irq1, "interrupt1"},  {sp->usr_irq2, "interrupt2"},
    };
    // clang-format on
    for (const auto& slot : slots) {
        if (slot.fn != nullptr) {
            out->actions.push_back(slot.name);
        }
    }
    for (FSMstate::event_handler* h : sp->handler) {
        out->handlers.push_back(h->name);
    }
    if (sup == nullptr) {
        return;
    }
    for (FSMsuperstate::frame* fr : sup->flow) {
        out->flows.emplace_back();
        describe_flow(sup, fr, id, out->location, &out->flows.back());
    }
}

void FSMobserver::describe_flow(FSMsuperstate* owner, FSMsuperstate::frame* fr, const std::string& owner_id,
                                const std::string& location, velko::FlowView* out) {
    out->id = fr->id;
    pthread_mutex_lock(&fr->mux);
    out->history = fr->history != 0;
    out->finished = fr->run == 1;
    FSMstate* shown_default = fr->default_state;
    FSMstate* shown_active = fr->active_state;
    pthread_mutex_unlock(&fr->mux);
    out->default_state = shown_default != nullptr ? shown_default->get_name() : "";
    out->active_state = shown_active != nullptr ? shown_active->get_name() : "";

    for (FSMsuperstate::ref_entry* ref : owner->reference_table) {
        if (ref->flow == fr->id) {
            out->references.push_back({ref->name, ref->mark == 0});
        }
    }
    for (FSMstate* member : fr->state) {
        bool referenced = false;
        for (const velko::ReferenceView& ref : out->references) {
            referenced = referenced || (ref.resolved && ref.name == member->get_name());
        }
        out->states.emplace_back();
        velko::StateView& view = out->states.back();
        describe_state(member, member_id(owner_id, fr->id, member->get_name()), owner_id, location, referenced, &view);
        describe_transitions(member, owner, fr, owner_id, &view);
    }
}

void FSMobserver::describe_transitions(FSMstate* sp, FSMstate* owner, FSMsuperstate::frame* fr,
                                       const std::string& owner_id, velko::StateView* out) {
    out->transitions.clear();
    for (FSMstate::branch* br : sp->transition) {
        velko::TransitionView t;
        t.event = br->event_name;
        t.guard = br->condition != nullptr;
        t.action = br->taction != nullptr;
        t.has_signal = br->flag == 1;
        if (t.has_signal) {
            t.signal_event = br->event.get_name();
            t.signal_target = br->event.get_state();
        }
        t.next = br->next_state;
        if (t.next == owner->get_name()) {
            t.finishes = true;
            t.target_id = owner_id;
        } else {
            for (FSMstate* member : fr->state) {
                if (t.next == member->get_name()) {
                    t.target_id = member_id(owner_id, fr->id, member->get_name());
                    break;
                }
            }
        }
        out->transitions.push_back(std::move(t));
    }
}

void FSMobserver::read_trace(FSMstate* sp, uint64_t after, velko::TraceView* out) {
    *out = velko::TraceView();
    out->capacity = FSMtrace::kCapacity;
    FSMtrace* trace = FSMtrace::of(sp);
    if (trace == nullptr) {
        return;
    }
    FSMstate* root = sp->get_root();
    EqFSMlocation* root_loc = static_cast<FSMsuperstate*>(root)->get_location();
    out->machine = root_loc != nullptr && root_loc->fsm.value() != nullptr ? root_loc->fsm.value() : "";
    std::vector<FSMtrace::Record> records;
    std::vector<uint64_t> seqs;
    out->missed = trace->read(after, &records, &seqs, &out->next);
    for (size_t i = 0; i < records.size(); ++i) {
        const FSMtrace::Record& r = records[i];
        velko::TraceEntryView e;
        e.seq = seqs[i];
        e.time = static_cast<double>(r.time_ns) / 1e9;
        if (r.effect == FSMtrace::ERROR) {
            read_error(r, &e);
            out->entries.push_back(std::move(e));
            continue;
        }
        e.superstate_id = state_id(r.owner);
        e.location = location_name(r.owner);
        e.flow = r.flow;
        e.from = r.from->get_name();
        e.from_id = member_id(e.superstate_id, r.flow, r.from->get_name());
        e.event = r.event();
        if (r.effect == FSMtrace::SWITCHED) {
            e.to = r.to->get_name();
            e.to_id = member_id(e.superstate_id, r.flow, r.to->get_name());
        } else if (r.effect == FSMtrace::FINISHED) {
            e.effect = velko::TraceEntryView::Effect::finished;
            e.to = r.owner->get_name();
            e.to_id = e.superstate_id;
        } else {
            e.effect = velko::TraceEntryView::Effect::unchanged;
            e.to = r.next();
        }
        out->entries.push_back(std::move(e));
    }
}

void FSMobserver::read_error(const FSMtrace::Record& r, velko::TraceEntryView* e) {
    // The entry is placed at the flow that holds the state; the root's own errors at the root.
    FSMstate* holder = is_machine_root(r.from) ? r.from : r.from->get_parent();
    FSMsuperstate::frame* fr = holder != r.from ? flow_holding(holder, r.from) : nullptr;
    e->superstate_id = state_id(holder);
    e->location = location_name(dynamic_cast<FSMsuperstate*>(holder));
    e->flow = fr != nullptr ? fr->id : 0;
    e->from = r.from->get_name();
    e->from_id = state_id(r.from);
    e->effect = velko::TraceEntryView::Effect::error;
    e->error = r.error();
}
