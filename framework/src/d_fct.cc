// D_fct: the property base. Registers with its location and provides the default behaviour of a
// property that holds no value of its own.
#include "d_fct.h"

#include "call_errors.h"
#include "eq_fct.h"
#include "monitor_hub.h"
#include "text_tokens.h"

D_fct::D_fct(const std::string& name_text, EqFct* owner, int flags)
    : name_text_(name_text), owner_(owner), mode_(flags) {
    velko::text::split_first_word(name_text, &name_, &description_);
    if (owner_ != nullptr) {
        owner_->add_property(this);
    }
}

D_fct::~D_fct() {
    velko::detail::MonitorHub::instance().forget(this);
    if (owner_ != nullptr) {
        owner_->remove_property(this);
    }
}

void D_fct::get(EqAdr*, EqData*, EqData* out, EqFct*) {
    if (out != nullptr) {
        out->init();
    }
}

void D_fct::set(EqAdr*, EqData*, EqData* out, EqFct*) {
    if (out != nullptr) {
        out->error(velko::ERR_READ_ONLY, "Property " + name_ + " cannot be written.");
    }
}

void D_fct::names(EqAdr*, EqData* out) {
    if (out == nullptr) {
        return;
    }
    USTR rec{};
    rec.i1_data = data_type();
    rec.str_data.str_data_len = static_cast<int>(name_text_.size());
    rec.str_data.str_data_val = const_cast<char*>(name_text_.c_str());
    out->set(rec, out->type() == DATA_A_USTR ? out->length() : 0);
}

void D_fct::get_publication_data(EqData* out) {
    get(nullptr, nullptr, out, owner_);
}

void D_fct::get_multi(EqAdr* adr, EqData* in, EqData* out, int*, const char*, time_t*) {
    get(adr, in, out, owner_);
}

void D_fct::conf(Config* c) {
    conf_insert(c, data_type());
}

void D_fct::read() {
    const ConfigRecord* rec = find_prop_name();
    if (rec != nullptr) {
        read_from_conf(rec->text);
    }
}

// A property without a value has nothing to take from the configuration.
void D_fct::read_from_conf(const std::string&) {}

// A property without a value writes nothing, so it is left out of a saved configuration.
void D_fct::write(std::ostream&) {}

// Hook for properties that set themselves up after start-up; the base has nothing to do.
void D_fct::auto_init() {}

const char* D_fct::comment() {
    return description_.c_str();
}

int D_fct::data_type() const {
    return DATA_NULL;
}

int D_fct::data_type() {
    return static_cast<const D_fct*>(this)->data_type();
}

int D_fct::daq_type() {
    return data_type();
}

void D_fct::conf_insert(Config* c, int type_code) {
    if (c != nullptr) {
        c->insert(this, type_code);
    }
}

void D_fct::conf_process(Config*) {
    read();
}

// Hook for properties that react to platform notifications; the base ignores them.
void D_fct::callback_(int) {}

unsigned D_fct::permission() const {
    return permission_;
}

void D_fct::permission(unsigned perm) {
    permission_ = perm;
}

int D_fct::d_error() const {
    return d_error_;
}

int D_fct::d_error(EventId) const {
    return d_error_;
}

void D_fct::d_error(int code) {
    d_error_ = code;
}

void D_fct::d_error(int code, EventId) {
    d_error_ = code;
}

void D_fct::set_mode(int mode) {
    mode_ = mode;
}

void D_fct::send(EqData* value) {
    if (value != nullptr) {
        velko::detail::MonitorHub::instance().publish(this, value);
    }
}

const std::string& D_fct::name_text() const {
    return name_text_;
}

const std::string& D_fct::name() const {
    return name_;
}

EqFct* D_fct::owner() const {
    return owner_;
}

const ConfigRecord* D_fct::find_prop_name() const {
    return owner_ == nullptr ? nullptr : owner_->config_record(name_);
}

std::recursive_mutex& D_fct::call_mutex() {
    return call_mux_;
}

void D_fct::publish() {
    if (!velko::detail::MonitorHub::instance().wanted(this)) {
        return;
    }
    EqData value;
    get_publication_data(&value);
    send(&value);
}
