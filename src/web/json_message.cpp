#include "web/json_message.h"

#include <cmath>

namespace {

// The room's state nests a few deep; a stranger's message of brackets must not make a tree much
// deeper (writing one back, or copying it, goes down it one call a level).
constexpr int DEEPEST_NESTING = 16;

}  // namespace

bool readJson(const std::string &text, JsonValue &value) {
    // Depth counts the containers around a value; once refused, nothing more is kept. (A number too
    // large for a double the parser refuses itself.)
    bool tooDeep = false;
    const JsonValue::parser_callback_t withinBounds = [&tooDeep](int depth, JsonValue::parse_event_t, JsonValue &) {
        if (depth > DEEPEST_NESTING) tooDeep = true;
        return !tooDeep;
    };
    value = JsonValue::parse(text, withinBounds, false);
    return !tooDeep && !value.is_discarded();
}

std::string writeJson(const JsonValue &value) {
    // Texts that were read are valid UTF-8; replacing, rather than throwing at, anything else keeps
    // the writer from ever throwing.
    return value.dump(-1, ' ', false, JsonValue::error_handler_t::replace);
}

const JsonValue *jsonField(const JsonValue *value, const char *name) {
    if (value == nullptr || !value->is_object()) return nullptr;
    const auto field = value->find(name);
    return field == value->end() ? nullptr : &*field;
}

JsonValue *jsonField(JsonValue *value, const char *name) {
    return const_cast<JsonValue *>(jsonField(static_cast<const JsonValue *>(value), name));
}

const std::string *jsonText(const JsonValue *value) {
    return value == nullptr ? nullptr : value->get_ptr<const JsonValue::string_t *>();
}

bool jsonNumber(const JsonValue *value, double &number) {
    if (value == nullptr || !value->is_number()) return false;
    number = value->get<double>();
    return true;
}

bool wholeNumber(const JsonValue *value, long long lowest, long long highest, long long &whole) {
    double number = 0;
    if (!jsonNumber(value, number) || number != std::floor(number) || number < static_cast<double>(lowest) ||
        number > static_cast<double>(highest))
        return false;
    whole = static_cast<long long>(number);
    return true;
}
