// Reading the server's HTTP answers into value containers, for the network client.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "eq_data.h"

namespace velko::net {

enum class AnswerForm {
    value,    // {"type":..,"value":..}
    names,    // {"locations":[{"name","code"}]} or {"properties":[{"name","type"}]}
    history,  // {"records":[{"tm","data","status"}]}
    text,     // the body itself (JSON, DOT or XML), as a DATA_STRING
};

// Fills out from an answer with HTTP status and body: the value of a 2xx answer in the given
// form, else the server's error code and sentence. An answer that does not follow the protocol
// gives ERR_PROTOCOL naming server ("FACILITY/DEVICE").
void read_answer(int status, const std::string& body, AnswerForm form, const std::string& server, EqData* out);

// The value of an answer or pushed frame that carries more members than "type" and "value"
// ("address", "timestamp"). 0, or -1 with a sentence in *why.
int value_of_answer(const nlohmann::json& j, EqData* out, std::string* why);

}  // namespace velko::net
