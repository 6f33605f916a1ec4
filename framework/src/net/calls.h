// velko::net::Calls: the property calls behind the network endpoints, made through the in-process
// remote-call client and answered as JSON. Run on worker threads, never on the I/O thread.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "d_fct.h"
#include "eq_data.h"
#include "net/request.h"

namespace velko::net {

// An HTTP answer: status and JSON body.
struct Reply {
    unsigned status = 200;
    std::string body;
    std::string content_type = "application/json";
};

// {"address":..,"error":code,"message":..} with the status of the code.
Reply error_reply(const std::string& address, const Failure& failure, bool foreign = false, bool too_large = false);

class Calls {
  public:
    // Answers only for facility/device; describe adds the server's own members to /v1/server.
    Calls(std::string facility, std::string device, std::function<void(nlohmann::json*)> describe);

    Reply get(const std::string& address) const;
    Reply set(const std::string& address, EqData* in) const;
    Reply names(const std::string& address) const;
    Reply history(const Target& target) const;
    Reply server() const;
    // The locations of this server that hold a machine part, the structure of one, its trace.
    Reply machines() const;
    Reply machine(const Target& target) const;
    Reply trace(const Target& target) const;
    // The value form {"address","type","value","timestamp"} or error form {"address","error","message"}
    // of the property's current value.
    nlohmann::json read(const std::string& address) const;
    // The property at address when this server serves it, else null.
    const D_fct* find_property(const std::string& address) const;

  private:
    // The location at address (F/D/L) holding a machine part, or null with *fail set.
    EqFct* machine_location(const std::string& address, Failure* fail) const;
    // False with the error answered in out when address is not one of this server's.
    bool served(const std::string& address, EqData* out) const;
    EqData read_value(const std::string& address) const;

    std::string facility_;
    std::string device_;
    std::function<void(nlohmann::json*)> describe_;
};

// The frame or body of an answer held by d for address, with the time of now.
nlohmann::json address_answer(const std::string& address, const EqData& d);

}  // namespace velko::net
