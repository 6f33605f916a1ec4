// velko::run_server: the command line and life of a server program.
#include <cstdio>
#include <cstring>
#include <iostream>

#include "server.h"
#include "text_tokens.h"

namespace velko {

namespace {

constexpr char kUsage[] =
    "usage: %s [--rate MS] [--cycles N] [--port N] CONFIG_FILE\n"
    "  --rate MS     update every MS milliseconds instead of the configured rate\n"
    "  --cycles N    stop after N update cycles (default: run until SIGINT or SIGTERM)\n"
    "  --port N      serve the network on port N instead of the configured port (0: no network)\n";

void usage(std::ostream& out, const char* program) {
    char buf[sizeof kUsage + 256];
    std::snprintf(buf, sizeof buf, kUsage, program);
    out << buf;
}

// The value of option `name` given as "--name VALUE" or "--name=VALUE"; null when argv[*i] is not
// that option. Advances *i over a separate value.
const char* option_value(int argc, char** argv, int* i, const char* name, bool* missing) {
    const char* a = argv[*i];
    size_t n = std::strlen(name);
    if (a == nullptr || std::strncmp(a, name, n) != 0) {
        return nullptr;
    }
    if (a[n] == '=') {
        return a + n + 1;
    }
    if (a[n] != '\0') {
        return nullptr;
    }
    if (*i + 1 >= argc) {
        *missing = true;
        return a + n;
    }
    ++*i;
    return argv[*i];
}

}  // namespace

int run_server(int argc, char** argv, const ServerHooks& hooks) {
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "server";
    ServerOptions options;
    options.handle_signals = true;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        bool missing = false;
        if (a == nullptr) {
            continue;
        }
        if (std::strcmp(a, "-h") == 0 || std::strcmp(a, "--help") == 0) {
            usage(std::cout, program);
            return 0;
        }
        if (const char* v = option_value(argc, argv, &i, "--rate", &missing)) {
            if (missing || !text::parse_int(v, &options.rate_ms_override) || options.rate_ms_override <= 0) {
                std::cerr << program << ": --rate needs a number of milliseconds above 0.\n";
                return 2;
            }
        } else if (const char* c = option_value(argc, argv, &i, "--cycles", &missing)) {
            if (missing || !text::parse_long(c, &options.max_cycles) || options.max_cycles <= 0) {
                std::cerr << program << ": --cycles needs a number above 0.\n";
                return 2;
            }
        } else if (const char* p = option_value(argc, argv, &i, "--port", &missing)) {
            if (missing || !text::parse_int(p, &options.port_override) || options.port_override < 0 ||
                options.port_override > 65535) {
                std::cerr << program << ": --port needs a number from 0 to 65535.\n";
                return 2;
            }
        } else if (a[0] == '-' && a[1] != '\0') {
            std::cerr << program << ": unknown option " << a << ".\n";
            usage(std::cerr, program);
            return 2;
        } else if (!options.config_file.empty()) {
            std::cerr << program << ": only one configuration file can be given (" << options.config_file << ", " << a
                      << ").\n";
            return 2;
        } else {
            options.config_file = a;
        }
    }
    if (options.config_file.empty()) {
        usage(std::cerr, program);
        return 2;
    }
    Server server(options, hooks);
    if (server.start() != 0) {
        std::cerr << program << ": " << server.error() << "\n";
        return 1;
    }
    std::cout << program << ": serving " << server.facility() << "/" << server.device() << " with "
              << server.locations().size() << " location(s), one update every " << server.rate_ms() << " ms";
    if (server.port() != 0) {
        std::cout << ", network port " << server.port();
    }
    if (server.futex_hash_slots() > 0) {
        std::cout << ", futex hash: " << server.futex_hash_slots() << " slots";
    } else {
        std::cout << ", futex hash: kernel default";
    }
    std::cout << "." << std::endl;
    server.run();
    if (server.finish() != 0) {
        std::cerr << program << ": " << server.error() << "\n";
        return 1;
    }
    return 0;
}

}  // namespace velko
