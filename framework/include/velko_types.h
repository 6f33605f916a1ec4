// Value records and data type codes shared by the platform, the library and applications.
#pragma once

#include <cstdint>
#include <ctime>

// Four integers.
struct IIII {
    int i1_data;
    int i2_data;
    int i3_data;
    int i4_data;
};

// One integer and three floats (digital filter settings, compare requests).
struct IFFF {
    int i1_data;
    float f1_data;
    float f2_data;
    float f3_data;
};

// One history sample: time in seconds, value, status byte.
struct TDS {
    time_t tm;
    float data;
    uint8_t status;
};

// Counted text of a USTR record. str_data_val is not owned by the record.
struct USTR_str {
    int str_data_len;
    char* str_data_val;
};

// Text record: an integer, two floats, a time stamp and a counted text.
struct USTR {
    int i1_data;
    float f1_data;
    float f2_data;
    time_t tm;
    USTR_str str_data;
};

// Type codes of values and properties.
enum VelkoDataTypeId {
    DATA_NULL = 0,
    DATA_INT = 1,
    DATA_FLOAT = 2,
    DATA_STRING = 3,
    DATA_BOOL = 4,
    DATA_IIII = 14,
    DATA_IFFF = 15,
    DATA_USTR = 16,
    DATA_SPECTRUM = 19,
    DATA_A_FLOAT = 100,
    DATA_A_TDS = 101,
    DATA_A_USTR = 103,
};
