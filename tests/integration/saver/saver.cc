// The program that the kill tests stop with SIGKILL in the middle of a save. It saves one
// generation after another and prints "saved N" after each:
//   saver config CONFIGURATION_FILE [--pause | --once]
//       serves location GEN (kind "plain": GEN, an int, and PAD, a long text that depends on GEN)
//       and saves its configuration with GEN counting up from the configured value;
//   saver sr TEMPLATE SAVE_FILE [--pause ITEM | --once]
//       saves the items of TEMPLATE into SAVE_FILE from a state whose every channel reads "gN" in
//       generation N, counted from 1.
// --pause: in the second generation, print "paused" and wait for the end, once the configuration's
// temporary file is written but not renamed, or once the save reached ITEM (its temporary file then
// holds the lines before ITEM that the save has handed to it). --once: one generation, then exit.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fsm.h"
#include "generation.h"
#include "sr_func.h"

namespace {

constexpr int kPlainCode = 10;

[[noreturn]] void pause_here() {
    printf("paused\n");
    fflush(stdout);
    for (;;) {
        pause();
    }
}

void pause_before_rename(const std::string&) {
    pause_here();
}

EqFct* create_location(int eq_code, void*) {
    if (eq_code != kPlainCode) {
        return nullptr;
    }
    auto* loc = new EqFct("plain");
    new velko::D_value<int>("GEN the generation", loc);
    new D_string("PAD a long text", loc);
    return loc;
}

int save_configuration(const char* file, const std::string& mode) {
    velko::ServerOptions options;
    options.config_file = file;
    velko::ServerHooks hooks{};
    hooks.eq_create = create_location;
    velko::Server server(options, hooks);
    if (server.start() != 0) {
        fprintf(stderr, "%s\n", server.error().c_str());
        return 1;
    }
    EqFct* loc = server.find_location("GEN");
    auto* gen = loc != nullptr ? dynamic_cast<velko::D_value<int>*>(loc->find_property("GEN")) : nullptr;
    auto* pad = loc != nullptr ? dynamic_cast<D_string*>(loc->find_property("PAD")) : nullptr;
    if (gen == nullptr || pad == nullptr) {
        fprintf(stderr, "The configuration %s has no location GEN.\n", file);
        return 1;
    }
    const long first = gen->value() + 1;
    for (long g = first;; ++g) {
        if (mode == "--pause" && g == first + 1) {
            velko::set_atomic_write_hook(pause_before_rename);
        }
        gen->set_value(static_cast<int>(g));
        pad->set_value(saver::pad_of(g).c_str());
        if (server.save_config() != 0) {
            fprintf(stderr, "%s\n", server.error().c_str());
            return 1;
        }
        printf("saved %ld\n", g);
        fflush(stdout);
        if (mode == "--once") {
            return 0;
        }
    }
}

// Every channel of this state reads "gN" in generation N; in the pause generation the read of
// item number pause_item (counted from 1) does not come back.
class GenerationState : public FSMstate {
  public:
    GenerationState() : FSMstate("Saver", "answers the generation", STATE) {}
    using FSMstate::data_get;
    int data_open(const char*, int) override { return 0; }
    int data_lock(int, int) override { return 0; }
    int data_unlock(int, int) override { return 0; }
    int data_get(int, char** ds, int) override {
        if (++reads == pause_item && pausing) {
            pause_here();
        }
        snprintf(*ds, 32, "%s", saver::item_value_of(generation).c_str());
        return 0;
    }

    long generation = 0;
    long reads = 0;
    long pause_item = 0;
    bool pausing = false;
};

int save_items(char* tmpl, char* file, const std::string& mode, long pause_item) {
    GenerationState state;
    state.pause_item = pause_item;
    for (long g = 1;; ++g) {
        state.generation = g;
        state.reads = 0;
        state.pausing = mode == "--pause" && g == 2;
        velko::EqData data;
        if (sr_save(tmpl, file, &data, &state) != 0) {
            fprintf(stderr, "The save of %s from %s failed: %s\n", file, tmpl, data.get_string().c_str());
            return 1;
        }
        printf("saved %ld\n", g);
        fflush(stdout);
        if (mode == "--once") {
            return 0;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "config" && (argc == 3 || argc == 4)) {
        return save_configuration(argv[2], argc == 4 ? argv[3] : "");
    }
    if (what == "sr" && argc >= 4 && argc <= 6) {
        const std::string mode = argc >= 5 ? argv[4] : "";
        const long item = argc == 6 ? std::atol(argv[5]) : 0;
        return save_items(argv[2], argv[3], mode, item);
    }
    fprintf(stderr,
            "usage: saver config FILE [--pause | --once]\n"
            "       saver sr TEMPLATE FILE [--pause ITEM | --once]\n");
    return 2;
}
