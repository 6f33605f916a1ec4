// JSON forms of values and error answers for the network service and its client:
// {"type":"INT","value":5} and {"error":code,"message":"sentence"}. The forms are in docs/network.md.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "eq_data.h"

namespace velko::net {

// Deepest nesting of arrays and objects that parse_json accepts.
inline constexpr int kMaxJsonDepth = 16;

// The name of a type code without "DATA_" ("INT", "A_TDS"), or "" for a code without a JSON form.
std::string type_name(int type_code);
// The type code of a name given by type_name, or -1.
int type_code(std::string_view name);

// {"type":NAME,"value":FORM} of the value held by d (its error is ignored).
nlohmann::json value_to_json(const EqData& d);
// Fills *out from {"type":..,"value":..}. Returns 0, or -1 with a sentence in *why (*out is then
// emptied). Never throws.
int value_from_json(const nlohmann::json& j, EqData* out, std::string* why);

// Parses text as JSON, refusing nesting deeper than kMaxJsonDepth. Returns 0, or -1 with a
// sentence in *why. Never throws.
int parse_json(std::string_view text, nlohmann::json* out, std::string* why);
// Serialises j; text that is not valid UTF-8 is replaced, so this never throws.
std::string dump_json(const nlohmann::json& j);

// {"error":code,"message":text}
nlohmann::json error_to_json(int code, const std::string& text);
// The error form when d holds an error, else the value form.
nlohmann::json answer_to_json(const EqData& d);

}  // namespace velko::net
