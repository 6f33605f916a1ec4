// Text forms of EqData values: the value <-> text conversion behind EqData::get_string and
// EqData::set_from_string. Private to the platform.
#pragma once

#include <string>

#include "eq_data.h"

namespace velko {
namespace text {

// Readable text of the value held by data, ignoring its error. A DATA_STRING value is its own
// text and is answered by EqData itself; here it gives "".
std::string format_value(const EqData& data);

// Parses text into a value of type type_code stored in *out (which is emptied first). Returns 0,
// or -1 with a full sentence in *why.
int parse_value(int type_code, const char* text, EqData* out, std::string* why);

// The default text of an error code, used when an error is held without a text of its own.
std::string default_error_text(int code);

}  // namespace text
}  // namespace velko
