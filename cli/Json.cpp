#include "cli/Json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace cv::cli {

const Json* Json::find(const std::string& key) const
{
    if (!isObject())
        return nullptr;
    for (const auto& [k, v] : asObject())
        if (k == key)
            return &v;
    return nullptr;
}

void Json::set(const std::string& key, Json value)
{
    if (!isObject())
        v_ = Object{};
    auto& o = std::get<Object>(v_);
    for (auto& [k, v] : o)
        if (k == key) {
            v = std::move(value);
            return;
        }
    o.emplace_back(key, std::move(value));
}

namespace {

// Length of the valid UTF-8 sequence at s[i], 0 when it is not one.
std::size_t Utf8Length(const std::string& s, std::size_t i)
{
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((b(i + k) & 0xC0) != 0x80)
            return 0;
    if (n == 2 && c < 0xC2)
        return 0;  // overlong
    if (n == 3 && c == 0xE0 && b(i + 1) < 0xA0)
        return 0;
    if (n == 3 && c == 0xED && b(i + 1) >= 0xA0)
        return 0;  // surrogates
    if (n == 4 && (c > 0xF4 || (c == 0xF0 && b(i + 1) < 0x90) || (c == 0xF4 && b(i + 1) >= 0x90)))
        return 0;
    return n;
}

}  // namespace

std::string JsonQuote(const std::string& s)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const std::size_t n = Utf8Length(s, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (n > 1) {
            out.append(s, i, n);
            i += n;
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
        ++i;
    }
    return out + "\"";
}

std::string Json::dump(int indent) const
{
    std::string out;
    write(out, indent, 0);
    return out;
}

void Json::write(std::string& out, int indent, int depth) const
{
    const auto newline = [&](int d) {
        if (indent > 0) {
            out += '\n';
            out.append(static_cast<std::size_t>(indent * d), ' ');
        }
    };
    if (isNull()) {
        out += "null";
    } else if (isBool()) {
        out += asBool() ? "true" : "false";
    } else if (isNumber()) {
        const double d = asNumber();
        char buf[32];
        if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 1e15)
            std::snprintf(buf, sizeof buf, "%.0f", d);
        else if (std::isfinite(d))
            std::snprintf(buf, sizeof buf, "%.15g", d);
        else
            std::snprintf(buf, sizeof buf, "null");
        out += buf;
    } else if (isString()) {
        out += JsonQuote(asString());
    } else if (isArray()) {
        const Array& a = asArray();
        out += '[';
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (i)
                out += ',';
            newline(depth + 1);
            a[i].write(out, indent, depth + 1);
        }
        if (!a.empty())
            newline(depth);
        out += ']';
    } else {
        const Object& o = asObject();
        out += '{';
        for (std::size_t i = 0; i < o.size(); ++i) {
            if (i)
                out += ',';
            newline(depth + 1);
            out += JsonQuote(o[i].first);
            out += indent > 0 ? ": " : ":";
            o[i].second.write(out, indent, depth + 1);
        }
        if (!o.empty())
            newline(depth);
        out += '}';
    }
}

namespace {

class Reader {
public:
    explicit Reader(const std::string& t) : t_(t) {}

    std::optional<Json> document()
    {
        auto v = value(0);
        if (!v)
            return std::nullopt;
        space();
        if (p_ != t_.size())
            return fail("end of input");
        return v;
    }
    std::string error;

private:
    std::nullopt_t fail(const char* expected)
    {
        if (error.empty()) {
            int line = 1;
            for (std::size_t i = 0; i < p_ && i < t_.size(); ++i)
                line += t_[i] == '\n';
            error = "line " + std::to_string(line) + ": expected " + expected;
        }
        return std::nullopt;
    }
    void space()
    {
        while (p_ < t_.size() && (t_[p_] == ' ' || t_[p_] == '\t' || t_[p_] == '\n' || t_[p_] == '\r'))
            ++p_;
    }
    bool literal(const char* word)
    {
        const std::string w(word);
        if (t_.compare(p_, w.size(), w) != 0)
            return false;
        p_ += w.size();
        return true;
    }
    std::optional<Json> value(int depth)
    {
        if (depth > 64)
            return fail("less nesting");
        space();
        if (p_ >= t_.size())
            return fail("a value");
        const char c = t_[p_];
        if (c == '{')
            return object(depth);
        if (c == '[')
            return array(depth);
        if (c == '"') {
            auto s = string();
            if (!s)
                return std::nullopt;
            return Json(std::move(*s));
        }
        if (literal("true"))
            return Json(true);
        if (literal("false"))
            return Json(false);
        if (literal("null"))
            return Json(nullptr);
        return number();
    }
    std::optional<Json> number()
    {
        const std::size_t start = p_;
        if (p_ < t_.size() && t_[p_] == '-')
            ++p_;
        bool digits = false;
        while (p_ < t_.size() && ((t_[p_] >= '0' && t_[p_] <= '9') || t_[p_] == '.' || t_[p_] == 'e' ||
                                  t_[p_] == 'E' || t_[p_] == '+' || t_[p_] == '-')) {
            digits = digits || (t_[p_] >= '0' && t_[p_] <= '9');
            ++p_;
        }
        if (!digits)
            return fail("a value");
        const std::string text = t_.substr(start, p_ - start);
        char* end = nullptr;
        const double d = std::strtod(text.c_str(), &end);
        if (end != text.c_str() + text.size())
            return fail("a number");
        return Json(d);
    }
    static void Utf8(std::string& out, unsigned cp)
    {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    std::optional<unsigned> hex4()
    {
        if (p_ + 4 > t_.size())
            return std::nullopt;
        unsigned v = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = t_[p_++];
            v <<= 4;
            if (h >= '0' && h <= '9')
                v |= static_cast<unsigned>(h - '0');
            else if (h >= 'a' && h <= 'f')
                v |= static_cast<unsigned>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
                v |= static_cast<unsigned>(h - 'A' + 10);
            else
                return std::nullopt;
        }
        return v;
    }
    std::optional<std::string> string()
    {
        ++p_;  // opening quote
        std::string out;
        while (p_ < t_.size()) {
            const char c = t_[p_++];
            if (c == '"')
                return out;
            if (static_cast<unsigned char>(c) < 0x20)
                return fail("no control characters in a string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (p_ >= t_.size())
                break;
            const char e = t_[p_++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                auto cp = hex4();
                if (!cp)
                    return fail("four hex digits");
                if (*cp >= 0xD800 && *cp < 0xDC00 && t_.compare(p_, 2, "\\u") == 0) {
                    p_ += 2;
                    auto lo = hex4();
                    if (!lo || *lo < 0xDC00 || *lo > 0xDFFF)
                        return fail("a low surrogate");
                    *cp = 0x10000 + ((*cp - 0xD800) << 10) + (*lo - 0xDC00);
                } else if (*cp >= 0xD800 && *cp < 0xE000) {
                    *cp = 0xFFFD;
                }
                Utf8(out, *cp);
                break;
            }
            default: return fail("a valid escape");
            }
        }
        return fail("a closing quote");
    }
    std::optional<Json> array(int depth)
    {
        ++p_;
        Json::Array a;
        space();
        if (p_ < t_.size() && t_[p_] == ']') {
            ++p_;
            return Json(std::move(a));
        }
        for (;;) {
            auto v = value(depth + 1);
            if (!v)
                return std::nullopt;
            a.push_back(std::move(*v));
            space();
            if (p_ < t_.size() && t_[p_] == ',') {
                ++p_;
                continue;
            }
            if (p_ < t_.size() && t_[p_] == ']') {
                ++p_;
                return Json(std::move(a));
            }
            return fail("',' or ']'");
        }
    }
    std::optional<Json> object(int depth)
    {
        ++p_;
        Json o{Json::Object{}};
        space();
        if (p_ < t_.size() && t_[p_] == '}') {
            ++p_;
            return o;
        }
        for (;;) {
            space();
            if (p_ >= t_.size() || t_[p_] != '"')
                return fail("a key in quotes");
            auto key = string();
            if (!key)
                return std::nullopt;
            space();
            if (p_ >= t_.size() || t_[p_] != ':')
                return fail("':'");
            ++p_;
            auto v = value(depth + 1);
            if (!v)
                return std::nullopt;
            o.set(*key, std::move(*v));
            space();
            if (p_ < t_.size() && t_[p_] == ',') {
                ++p_;
                continue;
            }
            if (p_ < t_.size() && t_[p_] == '}') {
                ++p_;
                return o;
            }
            return fail("',' or '}'");
        }
    }

    const std::string& t_;
    std::size_t p_ = 0;
};

}  // namespace

std::optional<Json> Json::parse(const std::string& text, std::string* error)
{
    Reader r(text);
    auto v = r.document();
    if (!v && error)
        *error = r.error;
    return v;
}

}  // namespace cv::cli
