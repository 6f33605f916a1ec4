// velko::EqCall: the remote-call client. Addresses served by this process are called directly.
#pragma once

#include "eq_adr.h"
#include "eq_data.h"

namespace velko {

// Called with the user argument and the new value when a monitored property changes.
using EqMonitorCallback = void (*)(void* user, EqData* value);

// The callback value that asks for no callback: later get_monitor calls answer the latest value.
inline EqMonitorCallback no_monitor_callback() {
    return reinterpret_cast<EqMonitorCallback>(static_cast<intptr_t>(-1));
}

// Every call answers in `out`: the value, or error() non-zero with a clear text.
// The int result is 0 on success and the error code otherwise.
// One client is not safe for concurrent use; callers serialise (the library uses velko_mux).
// The calls are virtual so that a program can stand in its own client (a scripted one in tests).
class EqCall {
  public:
    EqCall();
    virtual ~EqCall();
    EqCall(const EqCall&) = delete;
    EqCall& operator=(const EqCall&) = delete;

    virtual int get(EqAdr* adr, EqData* in, EqData* out);
    virtual int set(EqAdr* adr, EqData* in, EqData* out);
    // Location "*": one USTR per location of the device. Otherwise one USTR per property of the
    // location, its text beginning with the name and its i1_data the property's type code.
    virtual int names(EqAdr* adr, EqData* out);
    // First call for an address subscribes and answers ERR_MONITOR_PENDING (110); later calls
    // answer the latest published value without a round trip.
    virtual int get_monitor(EqAdr* adr, EqData* in, EqData* out, int mode, float rate, EqMonitorCallback cb,
                            void* user);
    // Housekeeping once per event pass: drops subscriptions not read since the previous update.
    virtual int update(int mode);

  private:
    struct Impl;
    Impl* impl_;
};

}  // namespace velko
