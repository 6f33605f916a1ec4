#include "call_errors.h"

namespace velko::detail {

std::string address_text(const EqAdr* adr) {
    return adr == nullptr ? "(no address)" : adr->show_adr();
}

void answer_unknown_property(const EqAdr* adr, EqData* out) {
    out->error(ERR_UNKNOWN_PROPERTY, "Unknown property \"" + address_text(adr) + "\".");
}

void answer_wrong_type(const std::string& prop, const char* wanted, const EqData* in, EqData* out) {
    if (in != nullptr && in->type() == DATA_STRING) {
        out->error(ERR_PARSE, "Property " + prop + " takes " + wanted + ", not the text \"" + in->get_string() + "\".");
        return;
    }
    std::string what = in == nullptr ? "no value" : "a value of type " + std::to_string(in->type());
    out->error(ERR_WRONG_TYPE, "Property " + prop + " takes " + wanted + ", not " + what + ".");
}

}  // namespace velko::detail
