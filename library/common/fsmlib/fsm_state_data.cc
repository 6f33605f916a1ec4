// Data channels of a state: named values found along the ancestors, optionally mirroring a
// remote property that is refreshed on every accepted event.
#include <cstring>
#include <string>

#include "fsm.h"
#include "fsm_sync.h"
#include "fsm_text.h"

namespace {

// A local handle: level (parent steps) in bits 20..30, channel index in bits 0..19.
constexpr int kLevelShift = 20;
constexpr int kLevelMask = 0x7FF;
constexpr int kIndexMask = 0xFFFFF;
// Error texts are taken from a value into a buffer of this size (longer texts are cut).
constexpr size_t kTextSize = 80;

FSMstate::local_data* find_channel(std::vector<FSMstate::local_data*>& list, const char* name) {
    for (FSMstate::local_data* ld : list) {
        if (ld->name == name) {
            return ld;
        }
    }
    return nullptr;
}

// Sets adr from the text address; when no call can be made, puts the reason into out and
// returns false. A call without a client or with an address that does not parse fails with a
// clear text instead of reaching the equipment.
bool prepare_call(velko::EqAdr& adr, const std::string& text, velko::EqData& out) {
    if (adr.adr(text) != 0) {
        out.error(velko::ERR_BAD_ADDRESS,
                  "The channel address \"" + text + "\" is not of the form FACILITY/DEVICE/LOCATION/PROPERTY.");
        return false;
    }
    if (velko_call == nullptr) {
        out.error(velko::ERR_UNREACHABLE, "No remote-call client runs in this process to reach " + text + ".");
        return false;
    }
    return true;
}

}  // namespace

void FSMstate::add_data(const char* namep, velko::EqData* ptr, const char* eq_name) {
    if (namep == nullptr) {
        return;
    }
    local_data* ld = find_channel(data, namep);
    if (ld != nullptr) {
        if (ptr != nullptr) {
            ld->eq_data.copy_from(ptr);
        }
        return;
    }
    ld = new local_data;
    ld->name = namep;
    ld->eq_data.init();
    ld->eq_name = (eq_name != nullptr && eq_name[0] != '\0') ? eq_name : "";
    fsm_mutex_init(&ld->mux);
    if (ptr != nullptr) {
        ld->eq_data.copy_from(ptr);
    }
    data.push_back(ld);
}

void FSMstate::set_address(const char* namep, const char* eq_name) {
    if (namep == nullptr) {
        return;
    }
    local_data* ld = find_channel(data, namep);
    if (ld == nullptr && parent != nullptr && root != nullptr && parent != this && root != this) {
        ld = find_channel(parent->data, namep);
        if (ld == nullptr) {
            ld = find_channel(root->data, namep);
        }
    }
    if (ld == nullptr) {
        return;
    }
    pthread_mutex_lock(&ld->mux);
    assign_text(ld->eq_name, eq_name);
    pthread_mutex_unlock(&ld->mux);
}

int FSMstate::data_open(const char* namep, int flag) {
    if (flag != 0 || namep == nullptr) {
        return -1;
    }
    int h = data_open_loc(namep);
    if (h != -1) {
        return h;
    }
    return parent != nullptr ? parent->data_open(namep, 1) : -1;
}

int FSMstate::data_open_loc(const char* nm) {
    if (nm == nullptr) {
        return -1;
    }
    // The name is measured once; each channel's stored length is compared before its characters.
    const size_t len = std::strlen(nm);
    FSMstate* sp = this;
    for (int level = 0; level <= kLevelMask; ++level) {
        for (size_t i = 0; i < sp->data.size() && i <= static_cast<size_t>(kIndexMask); ++i) {
            const std::string& channel = sp->data[i]->name;
            if (same_text(channel.data(), channel.size(), nm, len)) {
                return (level << kLevelShift) | static_cast<int>(i);
            }
        }
        if (sp->type == ROOT_STATE || sp->parent == nullptr) {
            return -1;
        }
        sp = sp->parent;
    }
    return -1;  // the channel is further up than a handle can reach
}

int FSMstate::data_find(int handle, local_data** ldp) {
    if (handle < 0) {
        return -1;
    }
    int level = (handle >> kLevelShift) & kLevelMask;
    size_t index = static_cast<size_t>(handle & kIndexMask);
    FSMstate* sp = this;
    while (level != 0) {
        --level;
        if (sp->type == ROOT_STATE) {
            break;
        }
        sp = sp->parent;
        if (sp == nullptr || level == 0) {
            break;
        }
    }
    if (sp == nullptr || index >= sp->data.size()) {
        return -1;
    }
    *ldp = sp->data[index];
    return static_cast<int>(index);
}

int FSMstate::data_lock(int handle, int /*flag*/) {
    if (handle < 0) {
        return parent != nullptr ? parent->data_lock(handle, 1) : -1;
    }
    local_data* ld = nullptr;
    if (data_find(handle, &ld) == -1) {
        return -1;
    }
    pthread_mutex_lock(&ld->mux);
    return 0;
}

int FSMstate::data_unlock(int handle, int /*flag*/) {
    if (handle < 0) {
        return parent != nullptr ? parent->data_unlock(handle, 1) : -1;
    }
    local_data* ld = nullptr;
    if (data_find(handle, &ld) == -1) {
        return -1;
    }
    pthread_mutex_unlock(&ld->mux);
    return 0;
}

// A network handle is forwarded like every other operation (flag 1), so that the superstate
// decodes it at the same level as a read or write would.
int FSMstate::data_pointer(int handle, void** pp, int /*flag*/) {
    if (handle < 0 && parent != nullptr) {
        return parent->data_pointer(handle, pp, 1);
    }
    if (pp != nullptr) {
        *pp = nullptr;
    }
    return -1;
}

// Forms with a trailing flag: local handles act on the channel, network handles go to the parent.

int FSMstate::data_get(int handle, int* di, int /*flag*/) {
    if (handle < 0) {
        return parent != nullptr ? parent->data_get(handle, di, 1) : -1;
    }
    return data_geti(handle, di);
}

int FSMstate::data_get(int handle, float* df, int /*flag*/) {
    if (handle < 0) {
        return parent != nullptr ? parent->data_get(handle, df, 1) : -1;
    }
    return data_getf(handle, df);
}

int FSMstate::data_get(int handle, char** ds, int /*flag*/) {
    if (handle < 0) {
        return parent != nullptr ? parent->data_get(handle, ds, 1) : -1;
    }
    return data_gets(handle, ds);
}

int FSMstate::data_get(int handle, IIII* di, int /*flag*/) {
    if (handle < 0) {
        return parent != nullptr ? parent->data_get(handle, di, 1) : -1;
    }
    return data_getii(handle, di);
}

int FSMstate::data_get(int handle, IFFF* df, int /*flag*/) {
    if (handle < 0) {
        return parent != nullptr ? parent->data_get(handle, df, 1) : -1;
    }
    return data_getif(handle, df);
}

int FSMstate::data_set(int handle, int di, int /*flag*/) {
    if (handle < 0) {
        return parent != nullptr ? parent->data_set(handle, di, 1) : -1;
    }
    return data_seti(handle, di);
}

int FSMstate::data_set(int handle, float df, int /*flag*/) {
    if (handle < 0) {
        return parent != nullptr ? parent->data_set(handle, df, 1) : -1;
    }
    return data_setf(handle, df);
}

int FSMstate::data_set(int handle, char* ds, int /*flag*/) {
    if (handle < 0) {
        return parent != nullptr ? parent->data_set(handle, ds, 1) : -1;
    }
    return data_sets(handle, ds);
}

int FSMstate::data_set(int handle, IIII* di, int /*flag*/) {
    if (handle < 0) {
        return parent != nullptr ? parent->data_set(handle, di, 1) : -1;
    }
    return data_setii(handle, di);
}

int FSMstate::data_set(int handle, IFFF* df, int /*flag*/) {
    if (handle < 0) {
        return parent != nullptr ? parent->data_set(handle, df, 1) : -1;
    }
    return data_setif(handle, df);
}

int FSMstate::data_set(int handle, TDS* dt, int /*flag*/) {
    if (handle < 0) {
        return parent != nullptr ? parent->data_set(handle, dt, 1) : -1;
    }
    return data_settd(handle, dt);
}

// Typed short forms: the channel's own value only, no remote call, no lock. A null output
// pointer has nowhere to receive the value and fails; a null input writes nothing.

int FSMstate::data_geti(int handle, int* di) {
    local_data* ld = nullptr;
    if (di == nullptr || data_find(handle, &ld) == -1) {
        return -1;
    }
    *di = ld->eq_data.get_int();
    return 0;
}

int FSMstate::data_getf(int handle, float* df) {
    local_data* ld = nullptr;
    if (df == nullptr || data_find(handle, &ld) == -1) {
        return -1;
    }
    *df = ld->eq_data.get_float();
    return 0;
}

int FSMstate::data_gets(int handle, char** ds) {
    local_data* ld = nullptr;
    if (ds == nullptr || data_find(handle, &ld) == -1) {
        return -1;
    }
    char buf[kTextSize];
    ld->eq_data.get_string(buf, sizeof buf);
    size_t n = strnlen(buf, sizeof buf - 1);
    char* copy = new char[n + 1];
    memcpy(copy, buf, n);
    copy[n] = '\0';
    *ds = copy;
    return 0;
}

int FSMstate::data_getii(int handle, IIII* di) {
    local_data* ld = nullptr;
    if (di == nullptr || data_find(handle, &ld) == -1) {
        return -1;
    }
    *di = ld->eq_data.get_iiii();
    return 0;
}

int FSMstate::data_getif(int handle, IFFF* df) {
    local_data* ld = nullptr;
    if (df == nullptr || data_find(handle, &ld) == -1) {
        return -1;
    }
    *df = ld->eq_data.get_ifff();
    return 0;
}

int FSMstate::data_seti(int handle, int di) {
    local_data* ld = nullptr;
    if (data_find(handle, &ld) == -1) {
        return -1;
    }
    ld->eq_data.set(di);
    return 0;
}

int FSMstate::data_setf(int handle, float df) {
    local_data* ld = nullptr;
    if (data_find(handle, &ld) == -1) {
        return -1;
    }
    ld->eq_data.set(df);
    return 0;
}

int FSMstate::data_sets(int handle, char* ds) {
    local_data* ld = nullptr;
    if (data_find(handle, &ld) == -1) {
        return -1;
    }
    if (ds != nullptr) {
        ld->eq_data.set(static_cast<const char*>(ds));
    }
    return 0;
}

int FSMstate::data_setii(int handle, IIII* di) {
    local_data* ld = nullptr;
    if (data_find(handle, &ld) == -1) {
        return -1;
    }
    if (di != nullptr) {
        ld->eq_data.set(*di);
    }
    return 0;
}

int FSMstate::data_setif(int handle, IFFF* df) {
    local_data* ld = nullptr;
    if (data_find(handle, &ld) == -1) {
        return -1;
    }
    if (df != nullptr) {
        ld->eq_data.set(*df);
    }
    return 0;
}

int FSMstate::data_settd(int handle, TDS* dt) {
    local_data* ld = nullptr;
    if (data_find(handle, &ld) == -1) {
        return -1;
    }
    if (dt != nullptr) {
        ld->eq_data.set(*dt);
    }
    return 0;
}

// General forms: the whole value. Network handles are not served here.

int FSMstate::data_get(int handle, velko::EqData& dt) {
    local_data* ld = nullptr;
    if (data_find(handle, &ld) == -1) {
        return -1;
    }
    if (ld->eq_data.error() != 0) {
        char buf[kTextSize];
        set_error(ld->eq_data.get_string(buf, sizeof buf));
    }
    dt.copy_from(&ld->eq_data);
    return 0;
}

int FSMstate::data_set(int handle, velko::EqData& dt) {
    local_data* ld = nullptr;
    if (data_find(handle, &ld) == -1) {
        return -1;
    }
    if (ld->eq_name.empty()) {
        ld->eq_data.copy_from(&dt);
        return 0;
    }
    // The equipment's value comes back with the next refresh; the channel keeps its value. The
    // address is a local one: this write may run on another thread than the state's refresh,
    // which uses eq_addr under the state's lock.
    velko::EqAdr adr;
    velko::EqData result;
    if (prepare_call(adr, ld->eq_name, result)) {
        pthread_mutex_lock(&velko_mux);
        velko_call->set(&adr, &dt, &result);
        pthread_mutex_unlock(&velko_mux);
    }
    if (result.error() != 0) {
        char buf[kTextSize];
        set_error(result.get_string(buf, sizeof buf));
    }
    return 0;
}

void FSMstate::poll_data() {
    clear_error();
    if (data.empty()) {
        return;
    }
    velko::EqData result;
    for (local_data* ld : data) {
        pthread_mutex_lock(&ld->mux);
        if (!ld->eq_name.empty()) {
            result.init();
            if (prepare_call(eq_addr, ld->eq_name, result)) {
                pthread_mutex_lock(&velko_mux);
                velko_call->get_monitor(&eq_addr, &ld->eq_data, &result, 1, 1.0f, velko::no_monitor_callback(),
                                        nullptr);
                if (result.error() == velko::ERR_MONITOR_PENDING) {
                    velko_call->get(&eq_addr, &ld->eq_data, &result);
                }
                pthread_mutex_unlock(&velko_mux);
            }
            if (result.error() != 0) {
                char buf[kTextSize];
                set_error(result.get_string(buf, sizeof buf));
            }
            ld->eq_data.copy_from(&result);
        }
        pthread_mutex_unlock(&ld->mux);
    }
}
