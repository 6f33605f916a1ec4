// A machine as an SCXML document. A superstate with one flow is a compound <state> holding the
// flow's members; one with several flows is a <parallel> holding one <state> region per flow. A
// flow that keeps history starts from a shallow <history>; a flow that a transition finishes
// gets a <final>. Guards appear as cond="guard", signal events as <raise>.
#include <map>
#include <set>
#include <sstream>

#include "net/machine_formats.h"

namespace velko::net {

namespace {

// Ids are paths with '/'; an SCXML id must be an XML name. '/' becomes '.', letters, digits and
// '-' stay, every other byte (and a leading digit or '-') becomes '_' and two hex digits, so
// distinct paths stay distinct.
std::string xml_id(const std::string& path) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < path.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(path[i]);
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        const bool digit_or_dash = (c >= '0' && c <= '9') || c == '-';
        if (letter || (digit_or_dash && !out.empty())) {
            out += static_cast<char>(c);
        } else if (c == '/' && !out.empty()) {
            out += '.';
        } else {
            out += '_';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out.empty() ? "_" : out;
}

std::string attr(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\n':
                out += "&#10;";
                break;
            default:
                // Other control bytes are not allowed in XML 1.0 at all.
                if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') {
                    out += c;
                }
        }
    }
    return "\"" + out + "\"";
}

std::string region_path(const std::string& owner_id, int flow) {
    return owner_id + "/" + std::to_string(flow);
}

std::string final_id(const std::string& region) {
    return region + "._final";
}

std::string history_id(const std::string& region) {
    return region + "._history";
}

bool finished_by_a_member(const FlowView& f) {
    for (const StateView& member : f.states) {
        for (const TransitionView& t : member.transitions) {
            if (t.finishes) {
                return true;
            }
        }
    }
    return false;
}

class ScxmlWriter {
  public:
    std::string write(const MachineView& m) {
        collect(m.top);
        out_ << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             << "<scxml xmlns=\"http://www.w3.org/2005/07/scxml\" version=\"1.0\" name="
             << attr(m.machine.empty() ? m.top.name : m.machine) << " initial=" << attr(xml_id(m.top.id)) << ">\n";
        state(m.top, "  ");
        out_ << "</scxml>\n";
        return out_.str();
    }

  private:
    void collect(const StateView& s) {
        ids_.insert(s.id);
        for (const FlowView& f : s.flows) {
            for (const StateView& member : f.states) {
                collect(member);
            }
        }
    }

    void state(const StateView& s, const std::string& indent) {
        const std::string id = xml_id(s.id);
        if (s.flows.size() > 1) {
            out_ << indent << "<parallel id=" << attr(id) << ">\n";
            for (const FlowView& f : s.flows) {
                const std::string region = xml_id(region_path(s.id, f.id));
                out_ << indent << "  <state id=" << attr(region) << initial(f, region) << ">\n";
                flow(f, region, indent + "    ");
                out_ << indent << "  </state>\n";
            }
            transitions(s, indent + "  ");
            out_ << indent << "</parallel>\n";
            return;
        }
        if (s.flows.size() == 1) {
            const FlowView& f = s.flows.front();
            out_ << indent << "<state id=" << attr(id) << initial(f, id) << ">\n";
            flow(f, id, indent + "  ");
        } else {
            out_ << indent << "<state id=" << attr(id) << ">\n";
        }
        transitions(s, indent + "  ");
        out_ << indent << "</state>\n";
    }

    // The initial attribute of a flow's element: its history when it keeps one, else its default.
    static std::string initial(const FlowView& f, const std::string& region) {
        for (const StateView& member : f.states) {
            if (member.name == f.default_state) {
                return " initial=" + attr(f.history ? history_id(region) : xml_id(member.id));
            }
        }
        return "";
    }

    void flow(const FlowView& f, const std::string& region, const std::string& indent) {
        for (const StateView& member : f.states) {
            if (f.history && member.name == f.default_state) {
                out_ << indent << "<history id=" << attr(history_id(region)) << " type=\"shallow\">\n"
                     << indent << "  <transition target=" << attr(xml_id(member.id)) << "/>\n"
                     << indent << "</history>\n";
            }
        }
        for (const StateView& member : f.states) {
            finals_[member.id] = final_id(region);
            state(member, indent);
        }
        if (finished_by_a_member(f)) {
            out_ << indent << "<final id=" << attr(final_id(region)) << "/>\n";
        }
    }

    void transitions(const StateView& s, const std::string& indent) {
        for (const TransitionView& t : s.transitions) {
            // The top of a superstate location leads to states of the enclosing location, which
            // this document does not hold.
            if ((t.finishes && finals_.count(s.id) == 0) ||
                (!t.finishes && !t.target_id.empty() && ids_.count(t.target_id) == 0)) {
                continue;
            }
            out_ << indent << "<transition";
            if (!t.event.empty()) {
                out_ << " event=" << attr(t.event);
            }
            if (t.finishes) {
                out_ << " target=" << attr(finals_[s.id]);
            } else if (!t.target_id.empty()) {
                out_ << " target=" << attr(xml_id(t.target_id));
            }
            if (t.guard) {
                out_ << " cond=\"guard\"";
            }
            if (t.has_signal) {
                out_ << ">\n"
                     << indent << "  <raise event=" << attr(t.signal_event) << "/>\n"
                     << indent << "</transition>\n";
            } else {
                out_ << "/>\n";
            }
        }
    }

    std::ostringstream out_;
    std::map<std::string, std::string> finals_;
    std::set<std::string> ids_;  // the states this document holds  // a member's id -> the final state of its flow
};

}  // namespace

std::string machine_scxml(const MachineView& m) {
    return ScxmlWriter().write(m);
}

}  // namespace velko::net
