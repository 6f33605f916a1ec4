// velko::EqData: the value container that carries every value and error across the platform.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "velko_types.h"

namespace velko {

// Error codes stored in EqData::error(). 0 means no error.
enum EqErrorCode {
    ERR_NONE = 0,
    ERR_MONITOR_PENDING = 110,  // first monitored read: subscription made, no value yet
    ERR_UNKNOWN_DEVICE = 101,
    ERR_UNKNOWN_LOCATION = 102,
    ERR_UNKNOWN_PROPERTY = 103,
    ERR_WRONG_TYPE = 104,
    ERR_PARSE = 105,
    ERR_UNREACHABLE = 106,
    ERR_TIMEOUT = 107,
    ERR_READ_ONLY = 108,
    ERR_BAD_ADDRESS = 109,
    ERR_INDEX = 111,
    ERR_ACCESS = 112,    // network write refused: missing or wrong token, or a foreign Origin
    ERR_LIMIT = 113,     // a limit of the network service was hit
    ERR_PROTOCOL = 114,  // a network request or frame that is not valid
};

// Largest element count of an array value; larger indexes are refused with ERR_INDEX.
inline constexpr int kMaxElements = 1000000;

// A typed value (scalar, text, record or array) together with an error code and text.
// Copies are deep. Pointers returned by the getters stay valid until the container changes.
class EqData {
  public:
    EqData();
    EqData(const EqData& other);
    EqData& operator=(const EqData& other);
    ~EqData();

    // Empties the container: type DATA_NULL, no elements, no error.
    void init();
    // Copies value, type and error of src (nothing when src is null or this).
    void copy_from(const EqData* src);

    // Each setter replaces the value and its type and clears nothing else.
    void set(int value);
    void set(float value);
    void set(const char* text);  // DATA_STRING; null stores ""
    void set(const IIII& value);
    void set(const IFFF& value);
    void set(const TDS& value);  // DATA_A_TDS with the single element value
    // DATA_A_USTR: stores a copy of the record (and its text) as element index, growing the array.
    // A DATA_USTR value set at index 0 stays DATA_USTR. The record's text is read up to
    // str_data_len bytes or its first NUL, whichever comes first. The copy keeps str_data_len when
    // it is the text's length or that plus one (counting the NUL), else it holds the text's length;
    // the copied text is always followed by a NUL.
    // The indexed setters refuse an index outside 0 to kMaxElements - 1 with ERR_INDEX.
    void set(const USTR& value, int index);
    // DATA_A_TDS: stores element index, growing the array.
    void set(const TDS& value, int index);
    // DATA_A_FLOAT or DATA_SPECTRUM (type_code) from n floats; n <= 0 gives an empty array, a null
    // values pointer with n > 0 changes nothing.
    void set_float_array(const float* values, int n, int type_code = DATA_A_FLOAT);
    // Element index of a float array (growing it); the type becomes DATA_A_FLOAT unless it is DATA_SPECTRUM.
    void set(float value, int index);
    void set_bool(bool value);

    // Sets the type and empties the value to that type's zero (no elements for arrays, one empty
    // record for DATA_USTR).
    void set_type(int type_code);
    // Parses text into the current type (the text forms of get_string; see docs/values.md). Returns
    // 0 (an earlier ERR_PARSE is cleared), or -1 with error(ERR_PARSE, ...) set and the value unchanged.
    int set_from_string(const char* text);

    int type() const;
    int error() const;
    void error(int code, const std::string& text);
    const std::string& error_text() const;
    // Number of elements: 1 for scalars, records and text, the array size for arrays, 0 when empty.
    int length() const;

    // NUL-terminated text of the value, or of the error when one is held. Never writes more than
    // size bytes (cut and terminated). Returns buf.
    char* get_string(char* buf, size_t size) const;
    std::string get_string() const;

    // Conversions between types are listed in docs/values.md.
    int get_int() const;  // floats truncate toward zero, clamped to the int range
    float get_float() const;
    float get_float(int index) const;
    const float* get_float_array() const;  // null when the value is not a float array
    bool get_bool() const;
    IIII get_iiii() const;                                         // zeros when the value is not an IIII record
    IFFF get_ifff() const;                                         // zeros when the value is not an IFFF record
    int get_ifff(int* i1, float* f1, float* f2, float* f3) const;  // 0, or -1 when no IFFF is held
    const TDS* get_tds(int index) const;                           // null when absent
    // Element index of a text record array (or the single USTR); null when absent.
    const USTR* get_ustr(int index) const;
    // The members of element index; the text pointer refers to the container's copy. 0, or -1 when absent.
    int get_ustr(int* i1, float* f1, float* f2, long* tm, char** text, int index) const;

  private:
    struct UstrItem {
        USTR rec;
        std::string text;
    };
    void clear_value();
    void fix_ustr_pointers();
    // Checks an element index for the indexed setters; stores ERR_INDEX and returns false when it is bad.
    bool index_ok(int index);
    // Keeps the elements when the type already is one of the two given codes, else empties the value.
    void keep_or_start(int type_a, int type_b);

    int type_ = DATA_NULL;
    int error_ = ERR_NONE;
    std::string error_text_;
    int int_ = 0;  // DATA_INT, and DATA_BOOL as 0 or 1
    float float_ = 0.0f;
    std::string text_;
    IIII iiii_{};
    IFFF ifff_{};
    std::vector<float> floats_;
    std::vector<TDS> tds_;
    std::vector<UstrItem> ustr_;  // DATA_USTR (one element) and DATA_A_USTR
};

}  // namespace velko

using velko::EqData;
