// Parsing and formatting of value texts shared by the configuration reader and the properties.
#pragma once

#include <string>
#include <vector>

#include "velko_types.h"

namespace velko::detail {

std::string trim(const std::string& text);
// The words of text separated by white space.
std::vector<std::string> split_words(const std::string& text);
// Splits text at its first white space: the first word and the rest with white space removed.
void split_first_word(const std::string& text, std::string* word, std::string* rest);

// Each parses the whole text (white space around it allowed) and returns false, leaving *out
// untouched, when it does not hold exactly that value.
bool parse_int(const std::string& text, int* out);
bool parse_long(const std::string& text, long* out);
bool parse_float(const std::string& text, float* out);
bool parse_bool(const std::string& text, bool* out);
bool parse_iiii(const std::string& text, IIII* out);
bool parse_ifff(const std::string& text, IFFF* out);

// Shortest text that reads back as the same float.
std::string format_float(float value);

}  // namespace velko::detail
