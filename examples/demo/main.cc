// The demonstration server: velko's main loop with the state-machine library's hooks, and a
// watcher that reads every flow property of the server the way a client would and prints each
// change, so the machine's flows can be followed on the terminal.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include "fsm.h"

namespace {

// The facility and device that demo.conf configures.
constexpr const char* kServer = "DEMO/PUMPS";

// The names in a names answer, first word of each record's text.
std::vector<std::string> names_of(velko::EqCall& call, const std::string& address) {
    velko::EqAdr adr;
    velko::EqData out;
    std::vector<std::string> names;
    if (adr.adr(address) != 0 || call.names(&adr, &out) != 0) {
        return names;
    }
    for (int i = 0; i < out.length(); ++i) {
        const USTR* rec = out.get_ustr(i);
        if (rec && rec->str_data.str_data_val) {
            std::string text(rec->str_data.str_data_val);
            names.push_back(text.substr(0, text.find_first_of(" \t")));
        }
    }
    return names;
}

// Reads FLOW_ properties of every location until `stop`, printing a line whenever one changes.
void watch_flows(const std::atomic<bool>& stop) {
    velko::EqCall call;
    std::map<std::string, std::string> shown;
    while (!stop.load()) {
        for (const std::string& loc : names_of(call, std::string(kServer) + "/*/")) {
            for (const std::string& prop : names_of(call, std::string(kServer) + "/" + loc + "/")) {
                if (prop.compare(0, 5, "FLOW_") != 0) {
                    continue;
                }
                velko::EqAdr adr;
                velko::EqData in;
                velko::EqData out;
                const std::string address = std::string(kServer) + "/" + loc + "/" + prop;
                adr.adr(address);
                if (call.get(&adr, &in, &out) != 0) {
                    continue;
                }
                std::string text = out.get_string();
                const USTR* rec = out.get_ustr(0);
                if (rec && rec->str_data.str_data_val) {
                    text = rec->str_data.str_data_val;
                }
                if (shown[address] != text) {
                    shown[address] = text;
                    printf("watch %s = %s\n", address.c_str(), text.c_str());
                    fflush(stdout);
                }
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::atomic<bool> stop{false};
    std::thread watcher(watch_flows, std::cref(stop));
    const int status = velko::run_server(argc, argv, velko::application_hooks());
    stop.store(true);
    watcher.join();
    return status;
}
