// D_fct: the property base class. Its first name word is the property's published name.
#pragma once

#include <ctime>
#include <mutex>
#include <ostream>
#include <string>

#include "config.h"
#include "eq_adr.h"
#include "eq_data.h"

class EqFct;

using EventId = int;

class D_fct {
  public:
    // name_text: the property name, optionally followed by white space and a description.
    // Registers with owner (when not null).
    D_fct(const std::string& name_text, EqFct* owner, int flags = 0);
    virtual ~D_fct();
    D_fct(const D_fct&) = delete;
    D_fct& operator=(const D_fct&) = delete;

    virtual void get(EqAdr* adr, EqData* in, EqData* out, EqFct* loc);
    virtual void set(EqAdr* adr, EqData* in, EqData* out, EqFct* loc);
    virtual void names(EqAdr* adr, EqData* out);
    virtual void get_publication_data(EqData* out);
    virtual void get_multi(EqAdr* adr, EqData* in, EqData* out, int* index, const char* selector, time_t* tm);
    virtual void conf(Config* c);
    // Takes the configured value: find_prop_name() and read_from_conf(record text).
    virtual void read();
    virtual void read_from_conf(const std::string& text);
    // Writes the value part of the configuration line, ending with a newline. Writing nothing
    // leaves the property out of a saved configuration.
    virtual void write(std::ostream& out);
    virtual void auto_init();
    // The description: the name text after the name.
    virtual const char* comment();
    virtual int data_type() const;
    virtual int data_type();
    virtual int daq_type();
    // Declares this property in c with the type its configured value must have.
    virtual void conf_insert(Config* c, int type_code);
    // Takes the configured value once the location's configuration c is declared (calls read()).
    virtual void conf_process(Config* c);
    virtual void callback_(int reason);
    virtual unsigned permission() const;
    virtual void permission(unsigned perm);
    virtual int d_error() const;
    virtual int d_error(EventId id) const;
    virtual void d_error(int code);
    virtual void d_error(int code, EventId id);
    virtual void set_mode(int mode);
    // Publishes value to the monitors of this property.
    virtual void send(EqData* value);

    // The whole text given at construction.
    const std::string& name_text() const;
    // The published name: the first word of the name text.
    const std::string& name() const;
    EqFct* owner() const;
    // This property's configured record in its location's configuration, or null.
    const ConfigRecord* find_prop_name() const;
    // Serialises calls on this property (remote reads and writes, configuration writes).
    std::recursive_mutex& call_mutex();

  protected:
    // Publishes the current value (get_publication_data) when a monitor asked for pushes.
    void publish();

  private:
    std::string name_text_;
    std::string name_;
    std::string description_;
    EqFct* owner_;
    std::recursive_mutex call_mux_;
    unsigned permission_ = 0;
    int d_error_ = 0;
    int mode_ = 0;
};
