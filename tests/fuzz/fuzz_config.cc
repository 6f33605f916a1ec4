// Fuzzes the configuration file reader through its public entry point: any file is either read
// into a configuration or refused with a sentence naming the file, leaving the configuration
// empty; the record form and the quoting of every configured text stay consistent.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config.h"

namespace {

void check(bool ok) {
    if (!ok) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    // An in-memory file, read by path like any other.
    static int fd = memfd_create("config_fuzz", 0);
    check(fd >= 0);
    check(ftruncate(fd, 0) == 0 && pwrite(fd, bytes, size, 0) == static_cast<ssize_t>(size));
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    ServerConfig cfg;
    std::string error;
    if (velko::read_config_file(path, &cfg, &error) != 0) {
        check(!error.empty() && error.find(path) != std::string::npos);
        check(cfg.locations.empty() && cfg.facility.empty() && cfg.device.empty());
        return 0;
    }
    check(cfg.file == path);
    for (const LocationConfig& loc : cfg.locations) {
        for (const ConfigRecord& rec : loc.records) {
            check(!rec.name.empty());
            check(velko::unquote_text(velko::quote_text(rec.text)) == rec.text);
            ConfigRecord copy = rec;
            velko::parse_config_record(&copy);
            check(copy.has_record == rec.has_record);
        }
    }
    return 0;
}
