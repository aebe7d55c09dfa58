#pragma once

// One JSON writer for every record and --json line the tool prints. Its output is always valid
// JSON in UTF-8, whatever bytes a printer or a file hands it.

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvo::json {

// A string literal of any bytes: UTF-8 passes through, control characters are escaped, and each
// byte that is not part of well-formed UTF-8 becomes U+FFFD, so a model name sent in GBK still
// makes a line a JSON parser takes.
std::string String(std::string_view bytes);

// Builds one object or array in order. Values are written as they are added; Raw() takes JSON
// another writer made.
class Object {
  public:
    Object& Add(std::string_view key, std::string_view text);
    Object& Add(std::string_view key, const char* text) { return Add(key, std::string_view(text)); }
    Object& Add(std::string_view key, const std::string& text) {
        return Add(key, std::string_view(text));
    }
    Object& Add(std::string_view key, bool value);
    Object& Add(std::string_view key, int value) { return Add(key, int64_t{value}); }
    Object& Add(std::string_view key, unsigned value) { return Add(key, uint64_t{value}); }
    Object& Add(std::string_view key, long long value) { return Add(key, int64_t{value}); }
    Object& Add(std::string_view key, unsigned long long value) {
        return Add(key, uint64_t{value});
    }
    Object& Add(std::string_view key, int64_t value);
    Object& Add(std::string_view key, uint64_t value);
    // A number with `decimals` places after the point.
    Object& Add(std::string_view key, double value, int decimals);
    Object& Null(std::string_view key);
    Object& Raw(std::string_view key, std::string_view json);
    bool empty() const { return body_.empty(); }
    std::string str() const { return "{" + body_ + "}"; }

  private:
    void Key(std::string_view key);
    std::string body_;
};

class Array {
  public:
    Array& Add(std::string_view text);
    Array& Raw(std::string_view json);
    size_t size() const { return size_; }
    std::string str() const { return "[" + body_ + "]"; }

  private:
    void Next();
    std::string body_;
    size_t size_ = 0;
};

// JSON this writer made, laid out for reading: one member or element a line, four spaces deeper
// for each level, a space after each colon, an empty object or array over two lines, and a line
// end after the last brace.
std::string Indented(std::string_view json);

}  // namespace kelvo::json
