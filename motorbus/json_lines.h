// motorbus's JSON Lines: every object of schema 1 begins with schema, type
// and time (seconds since the run started, to the millisecond), and is
// written as one line, flushed at once, so that a reader sees each event as
// it happens. The fields of each type are documented in motorbus(1).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace motorbus {

using Json = nlohmann::ordered_json;

// An object of the type: schema, type and time, with fields after them.
Json json_object(const char *type, double seconds, const Json &fields = Json::object());

// The object as one line of text, with its newline; bytes that are no
// UTF-8 are replaced, never thrown at.
std::string json_line(const Json &j);

// Writes the object of the type, time since started, on standard output.
void emit_json(double started, const char *type, const Json &fields);

} // namespace motorbus
