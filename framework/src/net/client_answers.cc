#include "net/client_answers.h"

#include "net/value_json.h"

namespace velko::net {

namespace {

using nlohmann::json;

int int_member(const json& j, const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_number() ? it->get<int>() : 0;
}

// Entries of a names answer: one USTR each, its text the entry's name and i1_data the number.
bool read_names(const json& j, EqData* out) {
    bool locations = j.contains("locations");
    auto list = j.find(locations ? "locations" : "properties");
    if (list == j.end() || !list->is_array()) {
        return false;
    }
    out->set_type(DATA_A_USTR);
    int index = 0;
    for (const json& entry : *list) {
        auto name = entry.is_object() ? entry.find("name") : entry.end();
        if (name == entry.end() || !name->is_string()) {
            return false;
        }
        std::string text = name->get<std::string>();
        USTR rec{};
        rec.i1_data = int_member(entry, locations ? "code" : "type");
        rec.str_data.str_data_len = static_cast<int>(text.size());
        rec.str_data.str_data_val = text.data();
        out->set(rec, index++);
    }
    return true;
}

bool read_history(const json& j, EqData* out) {
    auto list = j.find("records");
    if (list == j.end() || !list->is_array()) {
        return false;
    }
    out->set_type(DATA_A_TDS);
    int index = 0;
    for (const json& entry : *list) {
        if (!entry.is_object()) {
            return false;
        }
        auto data = entry.find("data");
        auto tm = entry.find("tm");
        if (data == entry.end() || !data->is_number() || tm == entry.end() || !tm->is_number()) {
            return false;
        }
        TDS rec{};
        rec.tm = static_cast<time_t>(tm->get<double>());
        rec.data = data->get<float>();
        rec.status = static_cast<uint8_t>(int_member(entry, "status"));
        out->set(rec, index++);
    }
    return true;
}

}  // namespace

int value_of_answer(const json& j, EqData* out, std::string* why) {
    auto type = j.find("type");
    auto value = j.find("value");
    if (type == j.end() || value == j.end()) {
        *why = "it holds no \"type\" and \"value\".";
        return -1;
    }
    return value_from_json(json{{"type", *type}, {"value", *value}}, out, why);
}

void read_answer(int status, const std::string& body, AnswerForm form, const std::string& server, EqData* out) {
    out->init();
    if (form == AnswerForm::text && status >= 200 && status <= 299) {
        out->set(body.c_str());
        return;
    }
    std::string http = "HTTP " + std::to_string(status);
    json j;
    std::string why;
    if (parse_json(body, &j, &why) != 0 || !j.is_object()) {
        out->error(ERR_PROTOCOL,
                   "The server " + server + " answered " + http + " with a body that is not a JSON object.");
        return;
    }
    auto code = j.find("error");
    if (status < 200 || status > 299 || code != j.end()) {
        auto message = j.find("message");
        if (code == j.end() || !code->is_number_integer() || code->get<int>() == 0 || message == j.end() ||
            !message->is_string()) {
            out->error(ERR_PROTOCOL,
                       "The server " + server + " answered " + http + " without an error code and message.");
            return;
        }
        out->error(code->get<int>(), message->get<std::string>());
        return;
    }
    bool ok = true;
    switch (form) {
        case AnswerForm::value:
            ok = value_of_answer(j, out, &why) == 0;
            break;
        case AnswerForm::names:
            ok = read_names(j, out);
            why = "it holds no list of locations or properties";
            break;
        case AnswerForm::history:
            ok = read_history(j, out);
            why = "it holds no list of records";
            break;
        case AnswerForm::text:
            break;
    }
    if (!ok) {
        out->init();
        if (why.empty() || why.back() != '.') {
            why += ".";
        }
        out->error(ERR_PROTOCOL, "The server " + server + " gave an answer that is not valid: " + why);
    }
}

}  // namespace velko::net
