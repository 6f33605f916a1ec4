// EqFct: the location base class. A location owns a list of its properties and dispatches to them.
#pragma once

#include <atomic>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "config.h"
#include "eq_adr.h"
#include "eq_data.h"

class D_fct;

// The location's general status word. Safe to use from any thread.
class D_gen_sts {
  public:
    enum Bit { ERROR = 1, NEW_ERROR = 2, ONLINE = 3 };
    // Sets (on true) or clears bit number `bit` (0 to 30; others are ignored).
    void change_bit(bool on, int bit);
    bool bit(int bit) const;
    int value() const;

  private:
    std::atomic<int> word_{0};
};

class EqFct {
  public:
    // name_text has the form "NAME = <what>": the location's name is configured (empty until
    // set_name). Any other text names the location by its first word.
    explicit EqFct(const std::string& name_text);
    virtual ~EqFct();
    EqFct(const EqFct&) = delete;
    EqFct& operator=(const EqFct&) = delete;

    // The equipment code the location was configured with (0 when not configured).
    virtual int fct_code();
    // Dispatch to the property named by adr->property(); unknown names answer ERR_UNKNOWN_PROPERTY.
    virtual void get(EqAdr* adr, EqData* in, EqData* out);
    virtual void interrupt_usr1(int sig);
    // One USTR per property: its text is the property's name text, its i1_data the type code.
    virtual void names(EqAdr* adr, EqData* out);
    virtual void set(EqAdr* adr, EqData* in, EqData* out);
    virtual void update();
    // Writes this location's property lines: for each property that writes a value, the comment
    // lines configured above it, then its name and value part (one line).
    virtual void write(std::ostream& out);
    virtual void online();
    virtual void offline();
    virtual void init();
    virtual void post_init();
    virtual void complete();
    virtual void clear();
    virtual void cancel();
    virtual void set_error(int code, const std::string& text);
    virtual void set_error(int code);
    virtual int get_error();
    virtual std::string get_errorstr();
    virtual void write_error(int code, const std::string& text);
    virtual void write_error(int code);
    virtual void write_line(std::ostream& out, const std::string& line);
    virtual void _callback(int reason);

    const std::string& name() const;
    void set_name(const std::string& name);

    // Property list, in registration order. D_fct registers itself on construction and
    // unregisters on destruction.
    void add_property(D_fct* prop);
    void remove_property(D_fct* prop);
    D_fct* find_property(const std::string& name) const;
    // The list itself; stable once the location is built (use call_mutex while it may change).
    const std::vector<D_fct*>& properties() const;

    // Guards the property list and the operations that walk it (names, write). Calls on one
    // property are serialised by that property's own D_fct::call_mutex.
    std::recursive_mutex& call_mutex();

    // Configuration given by the server before the location's properties read their values.
    void set_eq_code(int code);
    void set_config_records(std::vector<ConfigRecord> records);
    // The configured record of the property named prop_name, or null.
    const ConfigRecord* config_record(const std::string& prop_name) const;

    D_gen_sts g_sts;

  private:
    std::string name_text_;
    std::string name_;
    int eq_code_ = 0;
    std::vector<ConfigRecord> config_;
    int error_code_ = 0;
    std::string error_text_;
    std::vector<D_fct*> props_;
    mutable std::recursive_mutex call_mux_;
    mutable std::mutex err_mux_;
};
