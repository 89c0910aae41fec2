// motorbus's JSON Lines (json_lines.h).
#include "json_lines.h"

#include "motorbus.h"

#include <cmath>
#include <cstdio>

namespace motorbus {

Json json_object(const char *type, double seconds, const Json &fields) {
    Json j;
    j["schema"] = json_schema;
    j["type"] = type;
    j["time"] = std::round(seconds * 1000) / 1000;
    for (const auto &[key, value] : fields.items()) {
        j[key] = value;
    }
    return j;
}

std::string json_line(const Json &j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

void emit_json(double started, const char *type, const Json &fields) {
    fputs(json_line(json_object(type, now_seconds() - started, fields)).c_str(), stdout);
    fflush(stdout);
}

} // namespace motorbus
