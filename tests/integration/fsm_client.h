// A network-style client for the server tests: reads and writes properties by address through
// velko::EqCall, and runs update cycles until a condition holds.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "server.h"
#include "velko.h"

namespace fsmtest {

class Client {
  public:
    explicit Client(std::string prefix) : prefix_(std::move(prefix)) {}

    // The answer to a read of LOCATION/PROPERTY (below the client's FACILITY/DEVICE prefix).
    EqData get(const std::string& loc_prop) {
        EqAdr adr;
        adr.adr(prefix_ + loc_prop);
        EqData in;
        EqData out;
        call_.get(&adr, &in, &out);
        return out;
    }

    // The text of a read (the first text record's text for record properties).
    std::string text(const std::string& loc_prop) {
        EqData out = get(loc_prop);
        if (out.error() != 0) {
            return "<error " + std::to_string(out.error()) + ": " + out.error_text() + ">";
        }
        const USTR* u = out.get_ustr(0);
        if (u != nullptr) {
            return u->str_data.str_data_val != nullptr ? u->str_data.str_data_val : "";
        }
        return out.get_string();
    }

    // Writes value; returns the answer's error code.
    int set(const std::string& loc_prop, const EqData& value) {
        EqAdr adr;
        adr.adr(prefix_ + loc_prop);
        EqData in = value;
        EqData out;
        call_.set(&adr, &in, &out);
        return out.error();
    }

    int set_text(const std::string& loc_prop, const char* text) {
        EqData in;
        in.set(text);
        return set(loc_prop, in);
    }

  private:
    std::string prefix_;
    velko::EqCall call_;
};

// Runs one update cycle at a time until cond holds (engine threads work asynchronously), up to
// a generous bound. Returns whether cond held.
inline bool cycle_until(velko::Server& server, const std::function<bool()>& cond,
                        std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (cond()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        server.run_cycles(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace fsmtest
