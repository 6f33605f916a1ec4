// Words, numbers, counted and quoted texts inside value texts, shared by the value container, the
// properties and the configuration reader. Private to the platform. Independent of the locale:
// numbers are read and written with <charconv>.
#pragma once

#include <string>
#include <vector>

#include "velko_types.h"

namespace velko {
namespace text {

bool is_blank(char c);
// The value of a hexadecimal digit (either letter case), or -1.
int hex_digit(char c);
std::string trim(const std::string& text);
// The words of text separated by white space.
std::vector<std::string> split(const std::string& text);
// Splits text at its first white space: the first word, and the rest without surrounding white space.
void split_first_word(const std::string& text, std::string* word, std::string* rest);

// Each reads a text that holds the value and nothing else but white space around it (a number
// may start with one '+'). Returns false and leaves *out untouched otherwise.
bool parse_int(const std::string& text, int* out);
bool parse_long(const std::string& text, long* out);
bool parse_double(const std::string& text, double* out);
// Numbers below the smallest float read as zero (or the nearest tiny float); numbers beyond the
// largest are refused.
bool parse_float(const std::string& text, float* out);
// Whether text is a well-formed number, however large or small.
bool is_number(const std::string& text);
// "true", "yes", "on", "1" and "false", "no", "off", "0", in any letter case.
bool parse_bool(const std::string& text, bool* out);
// Four integers; an integer and three floats; all separated by white space.
bool parse_iiii(const std::string& text, IIII* out);
bool parse_ifff(const std::string& text, IFFF* out);
// The numbers of a text record, "i1 f1 f2 time", from four words (text and length untouched).
bool parse_ustr_numbers(const std::string words[4], USTR* out);

// The shortest text that reads back as exactly the same float ("0.1", "3", "1e+20", "nan").
std::string format_float(float value);
// printf's %g layout with the fewest significant digits from 6 up that read back as the same
// float ("100000", "0.0001", "1.2345679e+08"): how the configuration file writes numbers.
std::string format_float_g(float value);

// The text of a counted text: at most str_data_len bytes, ending early at a NUL. Never reads past
// the count, whether the writer counted the terminating NUL or not.
std::string counted_text(const USTR_str& counted);
// The length to store with a copy of counted whose text is text: the writer's count when it is
// the text's length or that plus one (a counted NUL, which the copy has too), else the text's length.
int kept_length(const USTR_str& counted, const std::string& text);

// text in double quotes with backslash, quote, line feed, tab and carriage return escaped
// (\\ \" \n \t \r); with escape_controls also the other control characters, as \xHH.
std::string quote(const std::string& text, bool escape_controls);
// The character that the escape \c stands for, for the five escapes quote() writes; '\0' otherwise.
char unescape(char c);

// Whether text holds a control character (below 0x20, or 0x7f), tab and NUL included.
bool has_control(const std::string& text);
// A short printable piece of text for messages: in double quotes, at most max_bytes of it (cut at a
// character boundary and marked "..."), control characters written as \xHH.
std::string excerpt(const std::string& text, size_t max_bytes = 40);

}  // namespace text
}  // namespace velko
