#pragma once
// A small JSON value with a reader and a writer: enough for the records the
// command line prints and the wall layout files it reads and writes.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace cv::cli {

class Json {
public:
    using Array = std::vector<Json>;
    // Keys keep the order they were added in, so output reads as written.
    using Object = std::vector<std::pair<std::string, Json>>;

    Json() = default;  // null
    Json(std::nullptr_t) {}
    Json(bool b) : v_(b) {}
    Json(int n) : v_(static_cast<double>(n)) {}
    Json(unsigned n) : v_(static_cast<double>(n)) {}
    Json(std::int64_t n) : v_(static_cast<double>(n)) {}
    Json(double n) : v_(n) {}
    Json(const char* s) : v_(std::string(s)) {}
    Json(std::string s) : v_(std::move(s)) {}
    Json(Array a) : v_(std::move(a)) {}
    Json(Object o) : v_(std::move(o)) {}

    bool isNull() const { return std::holds_alternative<std::monostate>(v_); }
    bool isBool() const { return std::holds_alternative<bool>(v_); }
    bool isNumber() const { return std::holds_alternative<double>(v_); }
    bool isString() const { return std::holds_alternative<std::string>(v_); }
    bool isArray() const { return std::holds_alternative<Array>(v_); }
    bool isObject() const { return std::holds_alternative<Object>(v_); }

    bool asBool() const { return std::get<bool>(v_); }
    double asNumber() const { return std::get<double>(v_); }
    const std::string& asString() const { return std::get<std::string>(v_); }
    const Array& asArray() const& { return std::get<Array>(v_); }
    Array& asArray() & { return std::get<Array>(v_); }
    // From a temporary, a copy: a range-for over it then stays valid.
    Array asArray() && { return std::move(std::get<Array>(v_)); }
    const Object& asObject() const { return std::get<Object>(v_); }

    // Object access: nullptr when absent or not an object.
    const Json* find(const std::string& key) const;
    // Adds or replaces a key of an object.
    void set(const std::string& key, Json value);

    // Compact when indent is 0. Text that is not valid UTF-8 is written with
    // U+FFFD in place of the bad bytes, so the output always parses.
    std::string dump(int indent = 0) const;

    // nullopt with error set (line and what was expected) on bad input.
    static std::optional<Json> parse(const std::string& text, std::string* error = nullptr);

private:
    void write(std::string& out, int indent, int depth) const;
    std::variant<std::monostate, bool, double, std::string, Array, Object> v_;
};

// The JSON string literal for s, quotes included.
std::string JsonQuote(const std::string& s);

}  // namespace cv::cli
