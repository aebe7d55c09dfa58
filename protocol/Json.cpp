#include "protocol/Json.h"

#include <cmath>
#include <cstdio>

#include "protocol/GbkText.h"

namespace kelvo::json {

std::string String(std::string_view bytes) {
    std::string out = "\"";
    out.reserve(bytes.size() + 2);
    for (size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x80) {
            const size_t n = Utf8SequenceLength(
                reinterpret_cast<const unsigned char*>(bytes.data()) + i, bytes.size() - i);
            if (n == 0) {
                out += "\xEF\xBF\xBD";
                ++i;
            } else if (n == 2 && c == 0xC2 && static_cast<unsigned char>(bytes[i + 1]) < 0xA0) {
                // A C1 control: valid in JSON as it is, but a terminal showing the line obeys it.
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", bytes[i + 1] & 0xFF);
                out += escaped;
                i += n;
            } else {
                out.append(bytes, i, n);
                i += n;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    return out + "\"";
}

void Object::Key(std::string_view key) {
    if (!body_.empty())
        body_ += ',';
    body_ += String(key);
    body_ += ':';
}

Object& Object::Add(std::string_view key, std::string_view text) {
    Key(key);
    body_ += String(text);
    return *this;
}

Object& Object::Add(std::string_view key, bool value) {
    return Raw(key, value ? "true" : "false");
}

Object& Object::Add(std::string_view key, int64_t value) {
    return Raw(key, std::to_string(value));
}

Object& Object::Add(std::string_view key, uint64_t value) {
    return Raw(key, std::to_string(value));
}

Object& Object::Add(std::string_view key, double value, int decimals) {
    if (!std::isfinite(value))
        return Null(key);
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return Raw(key, text);
}

Object& Object::Null(std::string_view key) {
    return Raw(key, "null");
}

Object& Object::Raw(std::string_view key, std::string_view json) {
    Key(key);
    body_ += json;
    return *this;
}

void Array::Next() {
    if (size_++ != 0)
        body_ += ',';
}

Array& Array::Add(std::string_view text) {
    Next();
    body_ += String(text);
    return *this;
}

Array& Array::Raw(std::string_view json) {
    Next();
    body_ += json;
    return *this;
}

std::string Indented(std::string_view json) {
    std::string out;
    out.reserve(json.size() + json.size() / 4);
    int depth = 0;
    bool inString = false;
    const auto line = [&](int level) {
        out += '\n';
        out.append(static_cast<size_t>(4 * level), ' ');
    };
    for (size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (inString) {
            out += c;
            if (c == '\\' && i + 1 < json.size())
                out += json[++i];
            else if (c == '"')
                inString = false;
            continue;
        }
        switch (c) {
            case '"':
                inString = true;
                out += c;
                break;
            case '{':
            case '[':
                out += c;
                ++depth;
                if (i + 1 < json.size() && (json[i + 1] == '}' || json[i + 1] == ']')) {
                    line(depth - 1);
                    out += json[++i];
                    --depth;
                } else {
                    line(depth);
                }
                break;
            case '}':
            case ']':
                line(--depth);
                out += c;
                break;
            case ',':
                out += c;
                line(depth);
                break;
            case ':':
                out += ": ";
                break;
            default:
                out += c;
        }
    }
    return out + '\n';
}

}  // namespace kelvo::json
