#pragma once
// The few JSON texts the web part reads and rewrites: a conductor's commands, a page's report and
// the room's state. Read into a tree and written back as it came: numbers keep their own text.
#include <string>
#include <utility>
#include <vector>

struct JsonValue {
    enum class Kind { Null, Boolean, Number, Text, List, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string text;  // a Text's characters, or a Number as it was written
    std::vector<JsonValue> items;
    std::vector<std::pair<std::string, JsonValue>> fields;

    // The object's field of that name, or nullptr (also when this is no object).
    const JsonValue *field(const char *name) const;
    JsonValue *field(const char *name);
    // A Number that is a whole number within the bounds, read into whole.
    bool wholeNumber(long long lowest, long long highest, long long &whole) const;
};

// False for anything but one whole JSON value (with blanks around it), or one nested too deep.
bool readJson(const std::string &text, JsonValue &value);
std::string writeJson(const JsonValue &value);
// The text as a JSON string, quotes and escapes included.
std::string quotedJson(const std::string &text);
