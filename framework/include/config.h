// The server's configuration: records read from the configuration file, one per property line.
#pragma once

#include <string>

// One configured property value, as the configuration file gave it.
struct ConfigRecord {
    std::string name;  // property name
    std::string text;  // the value text after the name, surrounding white space removed
    std::string file;  // where it came from, for messages
    int line = 0;
    // The record form `int float float time "text"`, filled when the text has that form.
    bool has_record = false;
    int i1_data = 0;
    float f1_data = 0.0f;
    float f2_data = 0.0f;
    long tm = 0;
    std::string str;
};

// A property's entry in a configuration being read or written (conf_insert adds one).
class Config;
