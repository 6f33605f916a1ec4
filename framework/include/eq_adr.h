// velko::EqAdr: a property address FACILITY/DEVICE/LOCATION/PROPERTY.
#pragma once

#include <string>

namespace velko {

// Parts contain no white space and no '/'. Empty parts are allowed and kept by show_adr.
class EqAdr {
  public:
    EqAdr();

    // Parses a text address of one to four parts separated by '/'; missing trailing parts are empty
    // ("FAC/DEV": empty location and property). Returns 0, or -1 when the text is not an address (the
    // address is then left empty): an empty text, more than four parts, white space or control
    // characters anywhere.
    int adr(const std::string& text);
    // Sets the four parts; note the argument order: facility, location, device, property.
    // A null part is stored as "". Parts are stored as given: one holding '/' or white space gives
    // a text form that adr rejects.
    void set(const char* facility, const char* location, const char* device, const char* property);
    void set_location(const char* location);
    void set_property(const char* property);

    const char* facility() const;
    const char* device() const;
    const char* location() const;
    const char* property() const;

    // The text form, exactly what adr accepts: "FACILITY/DEVICE/LOCATION/PROPERTY".
    std::string show_adr() const;

  private:
    std::string facility_;
    std::string device_;
    std::string location_;
    std::string property_;
};

}  // namespace velko

using velko::EqAdr;
