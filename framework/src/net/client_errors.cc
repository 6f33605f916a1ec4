#include "net/client_errors.h"

namespace velko::net {

namespace {

// Error texts of the system start with a capital; inside a sentence they read better without it.
std::string as_clause(std::string reason) {
    if (reason.size() > 1 && reason[0] >= 'A' && reason[0] <= 'Z' && !(reason[1] >= 'A' && reason[1] <= 'Z')) {
        reason[0] = static_cast<char>(reason[0] - 'A' + 'a');
    }
    while (!reason.empty() && reason.back() == '.') {
        reason.pop_back();
    }
    return reason;
}

}  // namespace

std::string unreachable_sentence(const std::string& server, const ServerEndpoint& ep, const std::string& reason) {
    return "The server " + server + " at " + ep.text() + " cannot be reached: " + as_clause(reason) + ".";
}

std::string lost_sentence(const std::string& server, const ServerEndpoint& ep, const std::string& reason) {
    return "The connection to the server " + server + " at " + ep.text() + " was lost: " + as_clause(reason) + ".";
}

std::string timeout_sentence(const std::string& address, const std::string& server, const ServerEndpoint& ep,
                             int timeout_ms) {
    return "The call on " + address + " timed out: the server " + server + " at " + ep.text() +
           " did not answer within " + std::to_string(timeout_ms) + " ms.";
}

}  // namespace velko::net
