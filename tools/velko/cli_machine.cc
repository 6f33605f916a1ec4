// velko describe and velko trace: a machine's structure and its recent transitions.
#include <chrono>
#include <iostream>
#include <thread>

#include "cli_command.h"
#include "cli_format.h"
#include "net/value_json.h"

namespace velko::cli {

namespace {

// How often trace -f asks for new transitions.
constexpr auto kFollowInterval = std::chrono::milliseconds(500);

bool prepare_location(const Options& o, ClientSettings* settings, EqAdr* adr) {
    return make_settings(o, settings) && parse_location(o.addresses.front(), adr);
}

std::string entry_line(const nlohmann::json& e) {
    const std::string to = e.value("to", "");
    const std::string effect = e.value("effect", "");
    const std::string head = time_text(e.value("time", 0.0)) + " " + std::to_string(e.value("seq", 0)) + " " +
                             e.value("superstate", "") + " flow " + std::to_string(e.value("flow", 0)) + ": ";
    if (effect == "error") {
        return head + e.value("from", "") + " error: " + e.value("error", "");
    }
    std::string line = head + e.value("from", "") + " --" + e.value("event", "") + "--> " + to;
    if (effect == "finish") {
        line += " (flow finished)";
    } else if (effect == "none") {
        line += " (no such state: unchanged)";
    }
    return line;
}

// Prints the entries of one trace answer; returns its "next", or -1 after reporting an answer
// that is not a trace.
long long print_trace(const Options& o, const std::string& text, const std::string& body) {
    nlohmann::json j;
    std::string why;
    if (net::parse_json(body, &j, &why) != 0 || !j.is_object() || !j.contains("entries") || !j["entries"].is_array() ||
        !j.contains("next") || !j["next"].is_number_unsigned()) {
        fail(text, "The server's answer is not a trace.");
        return -1;
    }
    const uint64_t missed = j.value("missed", uint64_t{0});
    if (missed > 0 && !o.json) {
        std::cout << "(" << missed << " transitions were overwritten before they could be read)\n";
    }
    for (const nlohmann::json& e : j["entries"]) {
        std::cout << (o.json ? net::dump_json(e) : entry_line(e)) << "\n";
    }
    std::cout.flush();
    return static_cast<long long>(j["next"].get<uint64_t>());
}

}  // namespace

int run_describe(const Options& o) {
    ClientSettings settings;
    EqAdr adr;
    if (!prepare_location(o, &settings, &adr)) {
        return 1;
    }
    NetClient client(settings);
    EqData out;
    if (client.machine(adr, o.dot ? "dot" : o.scxml ? "scxml" : "json", &out) != 0) {
        return fail(o.addresses.front(), out.error_text());
    }
    std::string body = out.get_string();
    std::cout << body << (body.empty() || body.back() != '\n' ? "\n" : "");
    return 0;
}

int run_trace(const Options& o) {
    ClientSettings settings;
    EqAdr adr;
    if (!prepare_location(o, &settings, &adr)) {
        return 1;
    }
    const sigset_t stops = block_stop_signals();
    NetClient client(settings);
    uint64_t after = 0;
    for (;;) {
        EqData out;
        if (client.trace(adr, after, &out) != 0) {
            return fail(o.addresses.front(), out.error_text());
        }
        const long long next = print_trace(o, o.addresses.front(), out.get_string());
        if (next < 0) {
            return 1;
        }
        after = static_cast<uint64_t>(next);
        if (!o.follow) {
            return 0;
        }
        for (auto waited = std::chrono::milliseconds(0); waited < kFollowInterval;
             waited += std::chrono::milliseconds(50)) {
            if (interrupted(stops)) {
                return 0;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}

}  // namespace velko::cli
