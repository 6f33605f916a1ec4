// Fuzzes the decoding of network requests without sockets: request targets, write bodies,
// monitor frames and JSON values. The first byte picks which; the rest is the input.
// Decoded addresses must be clean, failures must carry a sentence, and a value that was
// accepted must go to JSON and back unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "eq_adr.h"
#include "net/request.h"
#include "net/value_json.h"

namespace {

void check(bool ok) {
    if (!ok) {
        abort();
    }
}

void check_failure(const velko::net::Failure& fail) {
    check(fail.code != 0 && !fail.message.empty() && fail.message.back() == '.');
}

void check_address(const std::string& address, size_t parts) {
    EqAdr adr;
    check(address.find("..") == std::string::npos);
    if (parts == 4) {
        check(adr.adr(address) == 0 && adr.show_adr() == address);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    velko::net::Failure fail;
    switch (data[0] % 4) {
        case 0: {
            velko::net::Target target;
            if (velko::net::parse_target(text, &target, &fail)) {
                const bool four = target.endpoint == velko::net::Endpoint::kProperty ||
                                  target.endpoint == velko::net::Endpoint::kHistory;
                if (!target.address.empty()) {
                    check_address(target.address, four ? 4 : 3);
                }
            } else {
                check_failure(fail);
            }
            break;
        }
        case 1: {
            EqData in;
            if (!velko::net::parse_write_body(text, &in, &fail)) {
                check_failure(fail);
                check(in.type() == DATA_NULL);
            }
            break;
        }
        case 2: {
            velko::net::MonitorRequest req;
            if (velko::net::parse_monitor_frame(text, &req, &fail)) {
                check_address(req.address, 4);
            } else {
                check_failure(fail);
            }
            break;
        }
        default: {
            nlohmann::json j;
            std::string why;
            EqData value;
            if (velko::net::parse_json(text, &j, &why) != 0) {
                check(!why.empty());
                break;
            }
            if (velko::net::value_from_json(j, &value, &why) != 0) {
                check(!why.empty() && value.type() == DATA_NULL);
                break;
            }
            const std::string once = velko::net::dump_json(velko::net::value_to_json(value));
            nlohmann::json again;
            EqData back;
            check(velko::net::parse_json(once, &again, &why) == 0);
            check(velko::net::value_from_json(again, &back, &why) == 0);
            check(velko::net::dump_json(velko::net::value_to_json(back)) == once);
            break;
        }
    }
    return 0;
}
