// EqFct: the location base. Owns the list of its properties and dispatches calls to them by name.
#include "eq_fct.h"

#include <algorithm>
#include <iostream>
#include <sstream>

#include "call_errors.h"
#include "d_fct.h"
#include "text_tokens.h"

namespace {

// Calls op of the property that adr names, serialised with the other calls on that property.
void call_property(EqFct* loc, void (D_fct::*op)(EqAdr*, EqData*, EqData*, EqFct*), EqAdr* adr, EqData* in,
                   EqData* out) {
    D_fct* prop = adr == nullptr ? nullptr : loc->find_property(adr->property());
    if (prop == nullptr) {
        velko::detail::answer_unknown_property(adr, out);
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(prop->call_mutex());
    (prop->*op)(adr, in, out, loc);
}

}  // namespace

void D_gen_sts::change_bit(bool on, int bit) {
    if (bit < 0 || bit > 30) {
        return;
    }
    if (on) {
        word_.fetch_or(1 << bit);
    } else {
        word_.fetch_and(~(1 << bit));
    }
}

bool D_gen_sts::bit(int bit) const {
    return bit >= 0 && bit <= 30 && (word_.load() & (1 << bit)) != 0;
}

int D_gen_sts::value() const {
    return word_.load();
}

EqFct::EqFct(const std::string& name_text) : name_text_(name_text) {
    std::string word;
    std::string rest;
    velko::text::split_first_word(name_text, &word, &rest);
    if (word != "NAME" || rest.empty() || rest[0] != '=') {
        name_ = word;
    }
}

// Properties are members of their location or outlive it; the location deletes none of them.
EqFct::~EqFct() = default;

int EqFct::fct_code() {
    return eq_code_;
}

void EqFct::get(EqAdr* adr, EqData* in, EqData* out) {
    call_property(this, &D_fct::get, adr, in, out);
}

// The base location ignores the user signal; locations that react to it override this.
void EqFct::interrupt_usr1(int) {}

void EqFct::names(EqAdr* adr, EqData* out) {
    out->set_type(DATA_A_USTR);
    if (adr != nullptr && adr->property()[0] != '\0') {
        D_fct* prop = find_property(adr->property());
        if (prop == nullptr) {
            velko::detail::answer_unknown_property(adr, out);
            return;
        }
        prop->names(adr, out);
        return;
    }
    std::vector<D_fct*> props;
    {
        std::lock_guard<std::recursive_mutex> lock(call_mux_);
        props = props_;
    }
    for (D_fct* prop : props) {
        prop->names(adr, out);
    }
}

void EqFct::set(EqAdr* adr, EqData* in, EqData* out) {
    call_property(this, &D_fct::set, adr, in, out);
}

// The base location has no periodic work.
void EqFct::update() {}

void EqFct::write(std::ostream& out) {
    std::vector<D_fct*> props;
    {
        std::lock_guard<std::recursive_mutex> lock(call_mux_);
        props = props_;
    }
    for (D_fct* prop : props) {
        std::ostringstream value;
        {
            std::lock_guard<std::recursive_mutex> lock(prop->call_mutex());
            prop->write(value);
        }
        std::string text = value.str();
        // One line per property, whatever the value text holds.
        if (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        const ConfigRecord* rec = config_record(prop->name());
        if (text.empty() && rec != nullptr) {
            text = rec->text;  // a property that writes nothing keeps its configured line
        }
        if (text.empty()) {
            continue;
        }
        std::replace(text.begin(), text.end(), '\n', ' ');
        std::replace(text.begin(), text.end(), '\r', ' ');
        std::replace(text.begin(), text.end(), '\0', ' ');  // the reader refuses NUL bytes
        if (text[0] != ' ' && text[0] != '\t') {
            text.insert(text.begin(), ' ');
        }
        if (rec != nullptr) {
            for (const std::string& c : rec->comments) {
                write_line(out, c);
            }
        }
        write_line(out, prop->name() + text);
    }
}

void EqFct::online() {
    g_sts.change_bit(true, D_gen_sts::ONLINE);
}

void EqFct::offline() {
    g_sts.change_bit(false, D_gen_sts::ONLINE);
}

void EqFct::init() {
    online();
}

// Nothing to do after every location was initialised; locations that need it override this.
void EqFct::post_init() {}

// Nothing to complete in the base location; locations that link to others override this.
void EqFct::complete() {}

void EqFct::clear() {
    set_error(0);
}

void EqFct::cancel() {
    offline();
}

void EqFct::set_error(int code, const std::string& text) {
    std::lock_guard<std::mutex> lock(err_mux_);
    bool changed = code != error_code_ || text != error_text_;
    error_code_ = code;
    error_text_ = code == 0 ? std::string() : text;
    g_sts.change_bit(code != 0, D_gen_sts::ERROR);
    g_sts.change_bit(code != 0 && (changed || g_sts.bit(D_gen_sts::NEW_ERROR)), D_gen_sts::NEW_ERROR);
}

void EqFct::set_error(int code) {
    set_error(code, std::string());
}

int EqFct::get_error() {
    std::lock_guard<std::mutex> lock(err_mux_);
    return error_code_;
}

std::string EqFct::get_errorstr() {
    std::lock_guard<std::mutex> lock(err_mux_);
    return error_text_;
}

void EqFct::write_error(int code, const std::string& text) {
    set_error(code, text);
    if (code != 0) {
        std::cerr << "Location " << name() << ": error " << code << (text.empty() ? "" : ": ") << text << "\n";
    }
}

void EqFct::write_error(int code) {
    write_error(code, std::string());
}

void EqFct::write_line(std::ostream& out, const std::string& line) {
    out << line << '\n';
}

// Hook for locations that react to platform notifications; the base ignores them.
void EqFct::_callback(int) {}

const std::string& EqFct::name() const {
    return name_;
}

void EqFct::set_name(const std::string& name) {
    name_ = name;
}

void EqFct::add_property(D_fct* prop) {
    if (prop == nullptr) {
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(call_mux_);
    props_.push_back(prop);
}

void EqFct::remove_property(D_fct* prop) {
    std::lock_guard<std::recursive_mutex> lock(call_mux_);
    props_.erase(std::remove(props_.begin(), props_.end(), prop), props_.end());
}

D_fct* EqFct::find_property(const std::string& name) const {
    std::lock_guard<std::recursive_mutex> lock(call_mux_);
    for (D_fct* prop : props_) {
        if (prop->name() == name) {
            return prop;
        }
    }
    return nullptr;
}

const std::vector<D_fct*>& EqFct::properties() const {
    return props_;
}

std::recursive_mutex& EqFct::call_mutex() {
    return call_mux_;
}

void EqFct::set_eq_code(int code) {
    eq_code_ = code;
}

void EqFct::set_config_records(std::vector<ConfigRecord> records) {
    config_ = std::move(records);
}

const ConfigRecord* EqFct::config_record(const std::string& prop_name) const {
    for (const ConfigRecord& rec : config_) {
        if (rec.name == prop_name) {
            return &rec;
        }
    }
    return nullptr;
}
