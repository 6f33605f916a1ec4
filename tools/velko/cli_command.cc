// The one-shot subcommands: get, set, names, history.
#include "cli_command.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "cli_format.h"
#include "net/value_json.h"

namespace velko::cli {

int fail(const std::string& address, const std::string& sentence) {
    std::fprintf(stderr, "velko: %s: %s\n", address.c_str(), sentence.c_str());
    return 1;
}

bool make_settings(const Options& o, ClientSettings* out) {
    out->directory = o.directory;
    out->call_timeout_ms = static_cast<int>(o.wait_s * 1000.0);
    if (out->call_timeout_ms < 1) {
        out->call_timeout_ms = 1;
    }
    if (o.token_file.empty()) {
        return true;
    }
    std::ifstream in(o.token_file);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in.is_open()) {
        fail(o.addresses.front(), "The token file " + o.token_file + " cannot be read.");
        return false;
    }
    std::string token = text.str();
    size_t first = token.find_first_not_of(" \t\r\n");
    size_t last = token.find_last_not_of(" \t\r\n");
    out->token = first == std::string::npos ? "" : token.substr(first, last - first + 1);
    return true;
}

bool parse_address(const std::string& text, bool names, EqAdr* adr) {
    if (adr->adr(text) != 0 || adr->facility()[0] == '\0' || adr->device()[0] == '\0' || adr->location()[0] == '\0' ||
        (!names && adr->property()[0] == '\0')) {
        fail(text, names ? "The address is not FACILITY/DEVICE/LOCATION (\"*\" as LOCATION lists the locations)."
                         : "The address is not FACILITY/DEVICE/LOCATION/PROPERTY.");
        return false;
    }
    return true;
}

bool parse_location(const std::string& text, EqAdr* adr) {
    if (adr->adr(text) != 0 || adr->facility()[0] == '\0' || adr->device()[0] == '\0' || adr->location()[0] == '\0' ||
        adr->property()[0] != '\0' || std::string(adr->location()) == "*") {
        fail(text, "The address is not FACILITY/DEVICE/LOCATION.");
        return false;
    }
    return true;
}

namespace {

void print_value(const Options& o, const std::string& address, const EqData& value) {
    if (o.json) {
        std::cout << json_line(address, value) << "\n";
    } else if (o.value_only) {
        std::cout << value.get_string() << "\n";
    } else {
        std::cout << address << " " << value.get_string() << "\n";
    }
}

// The address of a subcommand that takes one, and the client settings.
struct OneAddress {
    std::string text;
    ClientSettings settings;
    EqAdr adr;
};

// False after reporting a bad address or token file.
bool prepare(const Options& o, bool names, OneAddress* one) {
    one->text = o.addresses.front();
    return make_settings(o, &one->settings) && parse_address(one->text, names, &one->adr);
}

}  // namespace

int run_get(const Options& o) {
    ClientSettings settings;
    if (!make_settings(o, &settings)) {
        return 1;
    }
    NetClient client(settings);
    for (const std::string& text : o.addresses) {
        EqAdr adr;
        EqData out;
        if (!parse_address(text, false, &adr)) {
            return 1;
        }
        if (client.get(adr, &out) != 0) {
            return fail(text, out.error_text());
        }
        print_value(o, text, out);
    }
    return 0;
}

int run_set(const Options& o) {
    OneAddress one;
    if (!prepare(o, false, &one)) {
        return 1;
    }
    const std::string& text = one.text;
    const EqAdr& adr = one.adr;
    EqData in;
    if (o.json) {
        nlohmann::json j;
        std::string why;
        if (net::parse_json(o.value, &j, &why) != 0 || net::value_from_json(j, &in, &why) != 0) {
            return fail(text, "The value is not {\"type\":..,\"value\":..}: " + why);
        }
    } else {
        in.set(o.value.c_str());
    }
    NetClient client(one.settings);
    EqData out;
    if (client.set(adr, in, &out) != 0) {
        return fail(text, out.error_text());
    }
    if (o.json || out.type() != DATA_NULL) {
        print_value(o, text, out);
    }
    return 0;
}

int run_names(const Options& o) {
    OneAddress one;
    if (!prepare(o, true, &one)) {
        return 1;
    }
    const std::string& text = one.text;
    const EqAdr& adr = one.adr;
    NetClient client(one.settings);
    EqData out;
    if (client.names(adr, &out) != 0) {
        return fail(text, out.error_text());
    }
    bool locations = std::string(adr.location()) == "*";
    nlohmann::json list = nlohmann::json::array();
    for (int i = 0; i < out.length(); ++i) {
        const USTR* rec = out.get_ustr(i);
        std::string name(rec->str_data.str_data_val, static_cast<size_t>(rec->str_data.str_data_len));
        name = name.c_str();  // the counted length may include the NUL
        if (o.json) {
            list.push_back({{"name", name}, {locations ? "code" : "type", rec->i1_data}});
        } else if (o.value_only) {
            std::cout << name << "\n";
        } else {
            std::cout << name << " " << (locations ? std::to_string(rec->i1_data) : net::type_name(rec->i1_data))
                      << "\n";
        }
    }
    if (o.json) {
        std::cout << net::dump_json({{locations ? "locations" : "properties", list}}) << "\n";
    }
    return 0;
}

int run_history(const Options& o) {
    OneAddress one;
    if (!prepare(o, false, &one)) {
        return 1;
    }
    const std::string& text = one.text;
    const EqAdr& adr = one.adr;
    double since = 0;
    double until = 0;
    if ((!o.since.empty() && !parse_time(o.since, &since)) || (!o.until.empty() && !parse_time(o.until, &until))) {
        return fail(text, "A time is neither unix seconds nor YYYY-MM-DDTHH:MM:SS.");
    }
    NetClient client(one.settings);
    EqData out;
    if (client.history(adr, since, until, &out) != 0) {
        return fail(text, out.error_text());
    }
    if (o.json) {
        nlohmann::json j = net::value_to_json(out);
        std::cout << net::dump_json({{"address", text}, {"records", j["value"]}}) << "\n";
        return 0;
    }
    for (int i = 0; i < out.length(); ++i) {
        const TDS* rec = out.get_tds(i);
        if (o.value_only) {
            std::cout << rec->data << "\n";
        } else {
            std::cout << time_text(static_cast<double>(rec->tm)) << " " << rec->data << " "
                      << static_cast<int>(rec->status) << "\n";
        }
    }
    return 0;
}

}  // namespace velko::cli
