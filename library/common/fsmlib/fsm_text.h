// Private to the library: storing the texts callers hand in.
#pragma once

#include <string>

// Stores a copy of text in field; a null text is stored as the empty string rather than dereferenced.
inline void assign_text(std::string& field, const char* text) {
    if (text) {
        field.assign(text);
    } else {
        field.clear();
    }
}
