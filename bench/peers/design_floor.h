// The library's dispatch algorithm done plainly: states and flows with the locks the design
// requires, names as std::string, nothing else (no data channels, error texts, actions beyond
// entry and exit, or qualified targets).
#pragma once

#include <pthread.h>

#include <memory>
#include <string>
#include <vector>

#include "machine_counts.h"

namespace peers::design {

struct Event {
    std::string name;
    std::string target;
    std::string next;
};

struct Transition {
    std::string event;
    std::string next;
};

struct State;

struct Flow {
    pthread_mutex_t mux;
    std::vector<State*> members;
    State* initial = nullptr;
    State* active = nullptr;
    bool finished = false;
    bool history = false;
};

struct State {
    std::string name;
    int id = -1;  // counted states only
    pthread_mutex_t mux;
    bool active = false;
    std::vector<Transition> transitions;
    std::vector<std::unique_ptr<Flow>> flows;
};

void enter(State* s);
void leave(State* s);

inline void enter(State* s) {
    pthread_mutex_lock(&s->mux);
    if (s->id >= 0) {
        ++counts.enter[s->id];
    }
    s->active = true;
    pthread_mutex_unlock(&s->mux);
    for (auto& f : s->flows) {
        pthread_mutex_lock(&f->mux);
        if (!f->history) {
            f->active = f->initial;
        }
        enter(f->active);
        f->finished = false;
        pthread_mutex_unlock(&f->mux);
    }
}

inline void leave(State* s) {
    for (auto& f : s->flows) {
        pthread_mutex_lock(&f->mux);
        leave(f->active);
        f->finished = false;
        pthread_mutex_unlock(&f->mux);
    }
    pthread_mutex_lock(&s->mux);
    if (s->id >= 0) {
        ++counts.exit[s->id];
    }
    s->active = false;
    pthread_mutex_unlock(&s->mux);
}

// 1 when a transition of s itself fired (ev.next names its target), else 0.
inline int process(State* s, Event& ev) {
    pthread_mutex_lock(&s->mux);
    if (!s->active || !(ev.target == "*" || ev.target == s->name)) {
        pthread_mutex_unlock(&s->mux);
        return 0;
    }
    for (const Transition& t : s->transitions) {
        if (t.event == ev.name) {
            ev.next = t.next;
            pthread_mutex_unlock(&s->mux);
            return 1;
        }
    }
    pthread_mutex_unlock(&s->mux);
    for (auto& f : s->flows) {
        pthread_mutex_lock(&f->mux);
        State* current = f->finished ? nullptr : f->active;
        pthread_mutex_unlock(&f->mux);
        if (!current || process(current, ev) == 0) {
            continue;
        }
        pthread_mutex_lock(&f->mux);
        if (ev.next == s->name) {
            f->finished = true;
        } else {
            for (State* m : f->members) {
                if (m->name == ev.next) {
                    leave(f->active);
                    f->active = m;
                    enter(m);
                    break;
                }
            }
        }
        pthread_mutex_unlock(&f->mux);
    }
    return 0;
}

class Machine {
  public:
    Machine() {
        root_ = add_state("Root", -1);
        State* operating = add_state("Operating", OPERATING);
        State* fault = add_state("Fault", FAULT);
        add_flow(root_, {operating, fault}, false);
        operating->transitions.push_back({"fault", "Fault"});
        fault->transitions.push_back({"recover", "Operating"});
        for (int flow = 0; flow < 2; ++flow) {
            const char* prefix = flow == 0 ? "A" : "B";
            const char* event = flow == 0 ? "a" : "b";
            std::vector<State*> members;
            for (int i = 0; i < 4; ++i) {
                State* s = add_state(prefix + std::to_string(i), (flow == 0 ? A0 : B0) + i);
                s->transitions.push_back({event, prefix + std::to_string((i + 1) % 4)});
                members.push_back(s);
            }
            add_flow(operating, members, true);
        }
        enter(root_);
        for (Ev e : {EV_A, EV_B, EV_FAULT, EV_RECOVER}) {
            static const char* const names[] = {"a", "b", "fault", "recover"};
            events_[e] = Event{names[e], "*", ""};
        }
    }
    ~Machine() {
        for (auto& s : states_) {
            for (auto& f : s->flows) {
                pthread_mutex_destroy(&f->mux);
            }
            pthread_mutex_destroy(&s->mux);
        }
    }
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    void dispatch(Ev e) { process(root_, events_[e]); }

  private:
    State* add_state(const std::string& name, int id) {
        states_.push_back(std::make_unique<State>());
        State* s = states_.back().get();
        s->name = name;
        s->id = id;
        pthread_mutex_init(&s->mux, nullptr);
        return s;
    }
    static void add_flow(State* parent, const std::vector<State*>& members, bool history) {
        parent->flows.push_back(std::make_unique<Flow>());
        Flow* f = parent->flows.back().get();
        pthread_mutex_init(&f->mux, nullptr);
        f->members = members;
        f->initial = members.front();
        f->active = members.front();
        f->history = history;
    }

    std::vector<std::unique_ptr<State>> states_;
    State* root_;
    Event events_[4];
};

}  // namespace peers::design
