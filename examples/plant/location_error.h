// ALARM: a read-only text property that shows its location's error, the last report a state
// made with server_error ("" when there is none), so clients and monitors see it.
#pragma once

#include "velko.h"

namespace plant {

class D_location_error : public D_fct {
  public:
    explicit D_location_error(EqFct* owner) : D_fct("ALARM the last error a state of this location reported", owner) {}
    void get(EqAdr*, EqData*, EqData* out, EqFct*) override { out->set(owner()->get_errorstr().c_str()); }
    int data_type() const override { return DATA_STRING; }
    using D_fct::data_type;
};

}  // namespace plant
