// Fuzzes the value text of every type: set_from_string either refuses a text with a parse error
// and keeps the value, or takes it, and then the value's own text reads back into the same value
// and the same text. get_string never writes past the buffer it is given.
// The first byte picks the type and the size of a small output buffer; the rest is the text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "eq_data.h"

namespace {

void check(bool ok) {
    if (!ok) {
        abort();
    }
}

const int kTypes[] = {DATA_NULL, DATA_INT,      DATA_FLOAT,   DATA_STRING, DATA_BOOL,   DATA_IIII, DATA_IFFF,
                      DATA_USTR, DATA_SPECTRUM, DATA_A_FLOAT, DATA_A_TDS,  DATA_A_USTR, 7};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const int type = kTypes[(data[0] & 0x0f) % (sizeof kTypes / sizeof kTypes[0])];
    const size_t small = 1 + (data[0] >> 4);
    // set_from_string takes a NUL-terminated text: the input up to its first NUL.
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    velko::EqData value;
    value.set_type(type);
    const std::string before = value.get_string();
    if (value.set_from_string(text.c_str()) != 0) {
        check(value.error() == velko::ERR_PARSE && !value.error_text().empty());
        check(value.type() == type);
        value.error(velko::ERR_NONE, "");
        check(value.get_string() == before);
        return 0;
    }
    check(value.error() == velko::ERR_NONE && value.type() == type);

    const std::string shown = value.get_string();
    velko::EqData again;
    again.set_type(type);
    check(again.set_from_string(shown.c_str()) == 0);
    check(again.get_string() == shown && again.length() == value.length());

    // A buffer exactly as large as asked: the sanitizer catches any byte written past it.
    std::unique_ptr<char[]> buf(new char[small]);
    value.get_string(buf.get(), small);
    check(strlen(buf.get()) < small && shown.compare(0, strlen(buf.get()), buf.get()) == 0);
    return 0;
}
