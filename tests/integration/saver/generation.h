// What the saver program writes in each generation, shared with the tests that check its files.
#pragma once

#include <string>

namespace saver {

// The configured text of PAD in generation gen: long enough that writing the file takes a while.
inline std::string pad_of(long gen) {
    return std::string(60000, static_cast<char>('a' + gen % 26)) + "#" + std::to_string(gen);
}

// The value of every item of the save file in generation gen.
inline std::string item_value_of(long gen) {
    return "g" + std::to_string(gen);
}

}  // namespace saver
