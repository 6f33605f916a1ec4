// velko: the command-line client of velko servers (get, set, names, monitor, history, describe, trace).
#include <CLI/CLI.hpp>

#include "cli_command.h"

namespace {

// Options every subcommand takes after its name.
void add_common(CLI::App* sub, velko::cli::Options* o) {
    sub->add_option("-w,--wait", o->wait_s, "Time-out of each call in seconds (default 3)")->check(CLI::PositiveNumber);
    sub->add_flag("-t,--value-only", o->value_only, "Print values only");
    sub->add_flag("--json", o->json, "Print one JSON object per line");
    sub->add_option("--token-file", o->token_file, "File holding the token that writes need");
    sub->add_option("--directory", o->directory,
                    "Directory file mapping FACILITY/DEVICE to HOST:PORT (default: $VELKO_DIRECTORY)");
}

}  // namespace

int main(int argc, char** argv) {
    velko::cli::Options o;
    std::string single;  // the address of the subcommands that take one
    CLI::App app{
        "velko: read, write and monitor the properties of velko servers.\n"
        "Addresses are FACILITY/DEVICE/LOCATION/PROPERTY; servers are found in the directory file.\n"
        "Exit status: 0 on success, 1 on a failed call (one line on standard error), 2 on a bad command line."};
    app.require_subcommand(1);

    CLI::App* get = app.add_subcommand("get", "Print the value of each ADDRESS");
    get->add_option("ADDRESS", o.addresses, "FACILITY/DEVICE/LOCATION/PROPERTY")->required();
    add_common(get, &o);

    CLI::App* set = app.add_subcommand("set", "Write VALUE to ADDRESS and print the answer, if any");
    set->add_option("ADDRESS", single, "FACILITY/DEVICE/LOCATION/PROPERTY")->required();
    set->add_option("VALUE", o.value,
                    "The value as text in the property's type; with --json a JSON value "
                    "like {\"type\":\"IIII\",\"value\":[1,2,3,4]}")
        ->required();
    add_common(set, &o);

    CLI::App* names =
        app.add_subcommand("names", "List the locations (LOCATION \"*\") or the properties of a location");
    names->add_option("ADDRESS", single, "FACILITY/DEVICE/* or FACILITY/DEVICE/LOCATION")->required();
    add_common(names, &o);

    CLI::App* monitor = app.add_subcommand(
        "monitor", "Print a time-stamped line for each change of the ADDRESSes until interrupted (Ctrl-C)");
    monitor->add_option("ADDRESS", o.addresses, "FACILITY/DEVICE/LOCATION/PROPERTY")->required();
    monitor->add_option("-n,--count", o.count, "Stop after COUNT values")->check(CLI::PositiveNumber);
    add_common(monitor, &o);

    CLI::App* history = app.add_subcommand("history", "Print the history records of ADDRESS");
    history->add_option("ADDRESS", single, "FACILITY/DEVICE/LOCATION/PROPERTY")->required();
    history->add_option("--since", o.since, "First time: unix seconds or YYYY-MM-DDTHH:MM:SS (local)");
    history->add_option("--until", o.until, "Last time: unix seconds or YYYY-MM-DDTHH:MM:SS (local)");
    add_common(history, &o);

    CLI::App* describe = app.add_subcommand(
        "describe", "Print the structure of the state machine at ADDRESS (JSON unless --dot or --scxml)");
    describe->add_option("ADDRESS", single, "FACILITY/DEVICE/LOCATION")->required();
    CLI::Option* dot = describe->add_flag("--dot", o.dot, "As a Graphviz digraph");
    describe->add_flag("--scxml", o.scxml, "As an SCXML document")->excludes(dot);
    add_common(describe, &o);

    CLI::App* trace = app.add_subcommand("trace", "Print the recent transitions of the state machine at ADDRESS");
    trace->add_option("ADDRESS", single, "FACILITY/DEVICE/LOCATION")->required();
    trace->add_flag("-f,--follow", o.follow, "Keep printing new transitions until interrupted (Ctrl-C)");
    add_common(trace, &o);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help and version end well; every other command-line error has status 2.
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (!single.empty()) {
        o.addresses.push_back(single);
    }

    if (get->parsed()) {
        return velko::cli::run_get(o);
    }
    if (set->parsed()) {
        return velko::cli::run_set(o);
    }
    if (names->parsed()) {
        return velko::cli::run_names(o);
    }
    if (monitor->parsed()) {
        return velko::cli::run_monitor(o);
    }
    if (describe->parsed()) {
        return velko::cli::run_describe(o);
    }
    if (trace->parsed()) {
        return velko::cli::run_trace(o);
    }
    return velko::cli::run_history(o);
}
