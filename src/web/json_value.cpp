#include "web/json_value.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The room's state nests four deep; a stranger's message of brackets must not take the stack.
constexpr int DEEPEST_NESTING = 16;

class JsonReader {
public:
    explicit JsonReader(const std::string &source) : at(source.c_str()), end(source.c_str() + source.size()) {}

    bool readWhole(JsonValue &value) {
        if (!readValue(value, 0)) return false;
        skipBlanks();
        return at == end;
    }

private:
    void skipBlanks() {
        while (at < end && (*at == ' ' || *at == '\t' || *at == '\n' || *at == '\r')) at++;
    }

    bool take(char expected) {
        skipBlanks();
        if (at == end || *at != expected) return false;
        at++;
        return true;
    }

    bool takeWord(const char *word) {
        const size_t length = strlen(word);
        if (static_cast<size_t>(end - at) < length || strncmp(at, word, length) != 0) return false;
        at += length;
        return true;
    }

    bool readValue(JsonValue &value, int depth) {
        if (depth > DEEPEST_NESTING) return false;
        skipBlanks();
        if (at == end) return false;
        switch (*at) {
            case '{': return readObject(value, depth);
            case '[': return readList(value, depth);
            case '"': value.kind = JsonValue::Kind::Text; return readText(value.text);
            case 't':
                value.kind = JsonValue::Kind::Boolean;
                value.boolean = true;
                return takeWord("true");
            case 'f': value.kind = JsonValue::Kind::Boolean; return takeWord("false");
            case 'n': value.kind = JsonValue::Kind::Null; return takeWord("null");
            default: return readNumber(value);
        }
    }

    bool readObject(JsonValue &value, int depth) {
        value.kind = JsonValue::Kind::Object;
        at++;
        if (take('}')) return true;
        do {
            std::pair<std::string, JsonValue> field;
            skipBlanks();
            if (at == end || *at != '"' || !readText(field.first) || !take(':') || !readValue(field.second, depth + 1))
                return false;
            value.fields.push_back(std::move(field));
        } while (take(','));
        return take('}');
    }

    bool readList(JsonValue &value, int depth) {
        value.kind = JsonValue::Kind::List;
        at++;
        if (take(']')) return true;
        do {
            value.items.emplace_back();
            if (!readValue(value.items.back(), depth + 1)) return false;
        } while (take(','));
        return take(']');
    }

    // Escapes are kept as written: nothing the web part reads needs them undone, and written back
    // they are the same text.
    bool readText(std::string &text) {
        const char *start = ++at;
        while (at < end && *at != '"') {
            if (static_cast<unsigned char>(*at) < 0x20) return false;
            if (*at == '\\' && ++at == end) return false;
            at++;
        }
        if (at == end) return false;
        text.assign(start, at++);
        return true;
    }

    bool readNumber(JsonValue &value) {
        const char *start = at;
        if (at < end && *at == '-') at++;
        if (at == end || *at < '0' || *at > '9') return false;
        while (at < end && strchr("0123456789.eE+-", *at) != nullptr) at++;
        value.kind = JsonValue::Kind::Number;
        value.text.assign(start, at);
        char *parsed = nullptr;
        value.number = strtod(value.text.c_str(), &parsed);
        return *parsed == '\0' && std::isfinite(value.number);
    }

    const char *at;
    const char *end;
};

}  // namespace

const JsonValue *JsonValue::field(const char *name) const {
    if (kind != Kind::Object) return nullptr;
    for (const auto &each : fields) {
        if (each.first == name) return &each.second;
    }
    return nullptr;
}

JsonValue *JsonValue::field(const char *name) {
    return const_cast<JsonValue *>(static_cast<const JsonValue *>(this)->field(name));
}

bool JsonValue::wholeNumber(long long lowest, long long highest, long long &whole) const {
    if (kind != Kind::Number || number != std::floor(number) || number < static_cast<double>(lowest) ||
        number > static_cast<double>(highest))
        return false;
    whole = static_cast<long long>(number);
    return true;
}

bool readJson(const std::string &text, JsonValue &value) {
    value = JsonValue();
    return JsonReader(text).readWhole(value);
}

std::string writeJson(const JsonValue &value) {
    switch (value.kind) {
        case JsonValue::Kind::Null: return "null";
        case JsonValue::Kind::Boolean: return value.boolean ? "true" : "false";
        case JsonValue::Kind::Number: return value.text;
        case JsonValue::Kind::Text: return '"' + value.text + '"';
        case JsonValue::Kind::List: {
            std::string list = "[";
            for (const JsonValue &item : value.items) list += (list.size() > 1 ? "," : "") + writeJson(item);
            return list + "]";
        }
        case JsonValue::Kind::Object: {
            std::string object = "{";
            for (const auto &field : value.fields) {
                object += (object.size() > 1 ? ",\"" : "\"") + field.first + "\":" + writeJson(field.second);
            }
            return object + "}";
        }
    }
    return "null";
}

std::string quotedJson(const std::string &text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + '"';
}
