// Text forms of EqData values: number parsing and formatting, and the value <-> text conversion
// behind EqData::get_string and EqData::set_from_string. Private to the platform.
#pragma once

#include <string>

#include "eq_data.h"

namespace velko {
namespace text {

// Whole-token number parsing: the token must be the number and nothing else (a leading '+' is
// allowed). Returns false and leaves *out untouched otherwise.
bool parse_int(const std::string& token, int* out);
bool parse_long(const std::string& token, long long* out);
bool parse_float(const std::string& token, float* out);
bool parse_double(const std::string& token, double* out);
// "true", "yes", "on", "1" and "false", "no", "off", "0", in any letter case.
bool parse_bool(const std::string& token, bool* out);

// The shortest text that reads back as exactly the same float ("0.1", "3", "1e+20", "nan").
std::string format_float(float value);

// The number a text stands for, the text trimmed of surrounding white space: an integer, or a
// decimal number. Returns false when the text is no number.
bool text_to_double(const std::string& text, double* out);

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
