#pragma once
// The JSON texts the web part reads and rewrites (a conductor's commands, a page's report and the
// room's state), read with nlohmann/json: never throwing, and within the nesting they use.
#include <nlohmann/json.hpp>
#include <string>

// Objects keep their fields in the order they came, so a rewritten state reads as the loop wrote it.
using JsonValue = nlohmann::ordered_json;

// False for anything but one whole JSON value (with blanks around it), one nested too deep or one
// with a number too large to be finite.
bool readJson(const std::string &text, JsonValue &value);
std::string writeJson(const JsonValue &value);

// The object's field of that name, or nullptr (also when value is none or no object).
const JsonValue *jsonField(const JsonValue *value, const char *name);
JsonValue *jsonField(JsonValue *value, const char *name);
// The text of a string value, or nullptr for anything else.
const std::string *jsonText(const JsonValue *value);
// A number value, read into number; false for anything else.
bool jsonNumber(const JsonValue *value, double &number);
// A number value that is a whole number within the bounds, read into whole.
bool wholeNumber(const JsonValue *value, long long lowest, long long highest, long long &whole);
