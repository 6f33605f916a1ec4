// Error answers of the calls that reach locations and properties, shared by their callers.
#pragma once

#include <string>

#include "eq_adr.h"
#include "eq_data.h"

namespace velko::detail {

// The address as text for messages ("(no address)" for null).
std::string address_text(const EqAdr* adr);
void answer_unknown_property(const EqAdr* adr, EqData* out);
// A value that the property cannot take: ERR_PARSE for a text that does not parse, ERR_WRONG_TYPE
// otherwise. wanted reads like "an integer".
void answer_wrong_type(const std::string& prop, const char* wanted, const EqData* in, EqData* out);

}  // namespace velko::detail
