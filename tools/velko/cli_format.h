// Text forms the command-line client prints and reads: times, values, JSON lines.
#pragma once

#include <string>

#include "eq_data.h"

namespace velko::cli {

// Local time with milliseconds: "2026-12-08T10:00:00.123".
std::string time_text(double unix_seconds);
// Unix seconds ("1765188000" or "1765188000.5") or local "YYYY-MM-DDTHH:MM:SS". False when neither.
bool parse_time(const std::string& text, double* unix_seconds);
// One JSON object on one line: {"address":..,"type":..,"value":..} and "timestamp" when given (> 0).
std::string json_line(const std::string& address, const EqData& value, double timestamp = 0.0);

}  // namespace velko::cli
