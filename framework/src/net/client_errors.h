// Sentences of the network client's own errors, shared by its HTTP and WebSocket channels.
#pragma once

#include <string>

#include "net/directory_file.h"

namespace velko::net {

// "The server F/D at HOST:PORT cannot be reached: reason."
std::string unreachable_sentence(const std::string& server, const ServerEndpoint& ep, const std::string& reason);
// "The connection to the server F/D at HOST:PORT was lost: reason."
std::string lost_sentence(const std::string& server, const ServerEndpoint& ep, const std::string& reason);
// "The call on ADDRESS timed out: the server F/D at HOST:PORT did not answer within N ms."
std::string timeout_sentence(const std::string& address, const std::string& server, const ServerEndpoint& ep,
                             int timeout_ms);

}  // namespace velko::net
