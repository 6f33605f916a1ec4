// The process-wide settings of the network clients made without settings of their own.
#include <mutex>

#include "net_client.h"

namespace velko {

namespace {

std::mutex& settings_mux() {
    static std::mutex mux;
    return mux;
}

ClientSettings& shared_settings() {
    static ClientSettings settings;
    return settings;
}

}  // namespace

void set_client_settings(const ClientSettings& settings) {
    std::lock_guard<std::mutex> lock(settings_mux());
    shared_settings() = settings;
}

ClientSettings client_settings() {
    std::lock_guard<std::mutex> lock(settings_mux());
    return shared_settings();
}

}  // namespace velko
