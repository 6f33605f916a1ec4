// Value properties: text, int and float values, IIII and IFFF records, text records.
#pragma once

#include <mutex>
#include <stdexcept>
#include <string>

#include "d_fct.h"
#include "velko_types.h"

class D_hist;

namespace velko {

// Thrown by value setters the platform cannot honour (for instance a history of the wrong type).
class Error : public std::runtime_error {
  public:
    explicit Error(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace velko

// A text property (DATA_STRING).
class D_string : public D_fct {
  public:
    D_string(const std::string& name_text, EqFct* owner);
    ~D_string() override;

    void get(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override;
    void set(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override;
    void read_from_conf(const std::string& text) override;
    void write(std::ostream& out) override;
    int data_type() const override;
    using D_fct::data_type;

    // The current text; valid until the next change.
    const char* value() const;
    void set_value(const char* text);

  private:
    std::string value_;
};

namespace velko {

// An int or float property (DATA_INT, DATA_FLOAT) with time stamp, monitors and optional history.
template <typename T>
class D_value : public D_fct {
  public:
    D_value(const std::string& name_text, EqFct* owner);
    ~D_value() override;

    void get(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override;
    void set(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override;
    void read_from_conf(const std::string& text) override;
    void write(std::ostream& out) override;
    int data_type() const override;
    using D_fct::data_type;

    T value() const;
    time_t stamp() const;
    // Stores v with the current time, publishes it to monitors and appends it to the attached
    // history. Throws velko::Error "Archiving failed with wrong archiver data type", changing
    // nothing, when the attached history does not report DATA_A_TDS. Safe from any thread.
    void set_value(T v);
    // Appends every later value to hist (not owned; null detaches).
    void attach_hist(D_hist* hist);

  private:
    mutable std::mutex mux_;
    T value_{};
    time_t stamp_ = 0;
    D_hist* hist_ = nullptr;
};

extern template class D_value<int>;
extern template class D_value<float>;

}  // namespace velko

// Four integers (DATA_IIII).
class D_iiii : public D_fct {
  public:
    D_iiii(const std::string& name_text, EqFct* owner);
    ~D_iiii() override;
    void get(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override;
    void set(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override;
    void read_from_conf(const std::string& text) override;
    void write(std::ostream& out) override;
    int data_type() const override;
    using D_fct::data_type;
    IIII* value();
    void set_value(IIII* v);  // null is ignored

  private:
    IIII value_{};
};

// Digital filter settings: one int, three floats (DATA_IFFF).
class D_dig_filter : public D_fct {
  public:
    D_dig_filter(const std::string& name_text, EqFct* owner);
    ~D_dig_filter() override;
    void get(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override;
    void set(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override;
    void read_from_conf(const std::string& text) override;
    void write(std::ostream& out) override;
    int data_type() const override;
    using D_fct::data_type;
    IFFF* value();
    void set_value(IFFF* v);  // null is ignored

  private:
    IFFF value_{};
};

// A text record property (DATA_A_USTR, one element). Keeps its own copy of the text.
class D_ustr : public D_fct {
  public:
    D_ustr(const std::string& name_text, EqFct* owner);
    ~D_ustr() override;
    void get(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override;
    void set(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override;
    void read_from_conf(const std::string& text) override;
    void write(std::ostream& out) override;
    int data_type() const override;
    using D_fct::data_type;
    // The record; its text points at the property's own copy, valid until the next change.
    USTR* value();
    void set_value(USTR* v);  // copies the record and its text; null is ignored

  private:
    USTR value_{};
    std::string text_;
};
