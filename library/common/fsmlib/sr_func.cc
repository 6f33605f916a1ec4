// Save-and-restore module: helpers shared by its restore, compare and save operations.
#include "sr_func.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "fsm_text.h"
#include "sr_internal.h"

namespace {

// Answers a call that cannot be made because the process has no remote-call client yet.
void no_client(velko::EqAdr* adr, velko::EqData* out) {
    out->error(velko::ERR_UNREACHABLE, "Cannot reach " + adr->show_adr() +
                                           ": this process has no remote-call client (no FSM location exists).");
}

enum CallKind { CALL_GET, CALL_SET, CALL_NAMES };

// One call on the process-wide client, holding velko_mux for the call only.
void call_client(CallKind kind, velko::EqAdr* adr, velko::EqData* in, velko::EqData* out) {
    pthread_mutex_lock(&velko_mux);
    velko::EqCall* call = velko_call;
    if (call != nullptr) {
        if (kind == CALL_GET) {
            call->get(adr, in, out);
        } else if (kind == CALL_SET) {
            call->set(adr, in, out);
        } else {
            call->names(adr, out);
        }
    }
    pthread_mutex_unlock(&velko_mux);
    if (call == nullptr)
        no_client(adr, out);
}

}  // namespace

void copy_cut(char* buffer, size_t size, const char* text) {
    size_t n = strnlen(text, size - 1);
    memcpy(buffer, text, n);
    buffer[n] = '\0';
}

sr_data* new_item(const char* name, const char* value, int type) {
    sr_data* item = new sr_data;
    item->name_ = new char[strlen(name) + 1];
    strcpy(item->name_, name);
    item->value_ = new char[strlen(value) + 1];
    strcpy(item->value_, value);
    item->type_ = type;
    return item;
}

float get_value(int type, const char* val) {
    float f = 0.0f;
    if ((type == DATA_INT || type == DATA_FLOAT) && val != nullptr && val[0] != '\0' && sscanf(val, "%f", &f) != 1) {
        f = 0.0f;
    }
    return f;
}

void tabs_to_blanks(char* text) {
    for (char* p = text; *p != '\0'; ++p) {
        if (*p == '\t')
            *p = ' ';
    }
}

bool channel_text(FSMstate* sp, int handle, char* buffer, size_t size) {
    buffer[0] = '\0';
    char* p = buffer;
    int rc;
    {
        TextBufferScope scope(buffer, size);
        rc = sp->data_get(handle, &p, 0);
    }
    if (p != buffer) {
        // The state handed back a copy of its own.
        if (rc == 0 && p != nullptr)
            copy_cut(buffer, size, p);
        delete[] p;
    }
    buffer[size - 1] = '\0';
    if (rc != 0)
        buffer[0] = '\0';
    return rc == 0;
}

void sr_get(velko::EqAdr* adr, velko::EqData* in, velko::EqData* out) {
    call_client(CALL_GET, adr, in, out);
}

void sr_set(velko::EqAdr* adr, velko::EqData* in, velko::EqData* out) {
    call_client(CALL_SET, adr, in, out);
}

void sr_names(velko::EqAdr* adr, velko::EqData* out) {
    call_client(CALL_NAMES, adr, nullptr, out);
}
