// A machine as a Graphviz digraph. Every superstate is a cluster holding one cluster per flow;
// an invisible point inside it stands for the superstate where edges start or end (lhead/ltail).
#include <set>
#include <sstream>

#include "net/machine_formats.h"

namespace velko::net {

namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c != '\r') {
            out += c;
        }
    }
    return out + "\"";
}

bool composite(const StateView& s) {
    return !s.flows.empty();
}

std::string cluster(const std::string& id) {
    return quoted("cluster_" + id);
}

std::string flow_id(const std::string& owner, int flow) {
    return owner + "/" + std::to_string(flow);
}

std::string edge_label(const TransitionView& t) {
    std::string label = t.event;
    if (t.guard) {
        label += " [guard]";
    }
    if (t.action) {
        label += " / action";
    }
    if (t.has_signal) {
        label += " ^" + t.signal_event;
    }
    return label;
}

class DotWriter {
  public:
    std::string write(const MachineView& m) {
        out_ << "digraph " << quoted(m.machine.empty() ? m.top.name : m.machine) << " {\n"
             << "  compound=true;\n  rankdir=LR;\n  fontname=\"Helvetica\";\n"
             << "  node [shape=box, style=rounded, fontname=\"Helvetica\"];\n"
             << "  edge [fontname=\"Helvetica\", fontsize=10];\n";
        state(m.top, "  ");
        for (const Edge& e : edges_) {
            if (nodes_.count(e.to) == 0) {
                continue;  // a state of the enclosing location, which this graph does not hold
            }
            std::string attrs = e.attrs;
            if (e.enters_cluster && composites_.count(e.to) != 0) {
                attrs += std::string(attrs.empty() ? "" : ", ") + "lhead=" + cluster(e.to);
            }
            out_ << "  " << quoted(e.from) << " -> " << quoted(e.to) << " [" << attrs << "];\n";
        }
        out_ << "}\n";
        return out_.str();
    }

  private:
    void state(const StateView& s, const std::string& indent) {
        nodes_.insert(s.id);
        if (!composite(s)) {
            out_ << indent << quoted(s.id) << " [label=" << quoted(s.name)
                 << (s.active ? ", style=\"rounded,filled\", fillcolor=\"#ffd24d\"" : "") << "];\n";
        } else {
            composites_.insert(s.id);
            out_ << indent << "subgraph " << cluster(s.id) << " {\n"
                 << indent << "  label=" << quoted(s.location.empty() ? s.name : s.name + " (" + s.location + ")")
                 << ";\n"
                 << indent << "  style=" << (s.active ? "\"rounded,bold\"" : "rounded") << ";\n"
                 << indent << "  " << quoted(s.id) << " [shape=point, style=invis, width=0];\n";
            for (const FlowView& f : s.flows) {
                flow(s, f, indent + "  ");
            }
            out_ << indent << "}\n";
        }
        for (const TransitionView& t : s.transitions) {
            transition(s, t);
        }
    }

    void flow(const StateView& owner, const FlowView& f, const std::string& indent) {
        const std::string id = flow_id(owner.id, f.id);
        out_ << indent << "subgraph " << cluster(id) << " {\n"
             << indent << "  label=" << quoted("flow " + std::to_string(f.id) + (f.history ? " (H)" : "")) << ";\n"
             << indent << "  style=dashed;\n";
        for (const StateView& member : f.states) {
            if (member.name == f.default_state) {
                // No state id starts with '#': the marker of the initial state cannot clash with one.
                const std::string marker = "#initial " + id;
                out_ << indent << "  " << quoted(marker) << " [shape=point, width=0.1];\n";
                nodes_.insert(marker);
                edges_.push_back({marker, member.id, "", true});
            }
            state(member, indent + "  ");
        }
        out_ << indent << "}\n";
    }

    void transition(const StateView& from, const TransitionView& t) {
        if (t.target_id.empty()) {
            return;  // no state of the flow has that name: the transition changes nothing
        }
        std::string attrs = "label=" + quoted(edge_label(t));
        if (composite(from)) {
            attrs += ", ltail=" + cluster(from.id);
        }
        if (t.finishes) {
            attrs += ", style=dashed, arrowhead=odot";
        }
        // A flow that finishes ends inside its own superstate: no lhead there.
        edges_.push_back({from.id, t.target_id, attrs, !t.finishes});
    }

    struct Edge {
        std::string from;
        std::string to;
        std::string attrs;
        bool enters_cluster;  // ends at the superstate's cluster when `to` is one
    };

    std::ostringstream out_;
    std::vector<Edge> edges_;  // written after every cluster, so each knows whether `to` is one
    std::set<std::string> composites_;
    std::set<std::string> nodes_;
};

}  // namespace

std::string machine_dot(const MachineView& m) {
    return DotWriter().write(m);
}

}  // namespace velko::net
