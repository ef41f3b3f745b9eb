#include "service/RequestHead.h"

#include <algorithm>
#include <cctype>

namespace cv::service {

namespace {

std::string Lower(std::string_view s)
{
    std::string out(s);
    for (auto& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool IsTokenChar(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

int Hex(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string Decode(std::string_view s, bool plus)
{
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && Hex(s[i + 1]) >= 0 && Hex(s[i + 2]) >= 0) {
            out += static_cast<char>(Hex(s[i + 1]) * 16 + Hex(s[i + 2]));
            i += 2;
        } else if (plus && s[i] == '+') {
            out += ' ';
        } else {
            out += s[i];
        }
    }
    return out;
}

bool IsIpv4(std::string_view s)
{
    int parts = 0;
    while (true) {
        std::size_t n = 0;
        int value = 0;
        while (n < s.size() && std::isdigit(static_cast<unsigned char>(s[n])) && n < 3)
            value = value * 10 + (s[n++] - '0');
        if (n == 0 || value > 255)
            return false;
        ++parts;
        s.remove_prefix(n);
        if (s.empty())
            return parts == 4;
        if (s.front() != '.' || parts == 4)
            return false;
        s.remove_prefix(1);
    }
}

bool IsIpv6(std::string_view s)
{
    return s.size() >= 2 && s.size() <= 45 && s.find(':') != std::string_view::npos &&
        std::all_of(s.begin(), s.end(), [](char c) { return Hex(c) >= 0 || c == ':' || c == '.'; });
}

// Host without its port, lower case, brackets kept off an IPv6 literal;
// nullopt when it is no host.
std::optional<std::string> HostName(std::string_view host)
{
    if (host.empty())
        return std::nullopt;
    std::string_view name = host;
    std::string_view port;
    if (host.front() == '[') {
        const auto close = host.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        name = host.substr(1, close - 1);
        if (!IsIpv6(name))
            return std::nullopt;
        const auto rest = host.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':')
                return std::nullopt;
            port = rest.substr(1);
        }
    } else if (const auto colon = host.rfind(':'); colon != std::string_view::npos) {
        name = host.substr(0, colon);
        port = host.substr(colon + 1);
        if (port.empty())
            return std::nullopt;
    }
    if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    if (name.empty() || name.size() > 253)
        return std::nullopt;
    if (host.front() != '[' && !std::all_of(name.begin(), name.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
        }))
        return std::nullopt;
    return Lower(name);
}

bool OurHost(const std::string& name, const HeadPolicy& policy)
{
    // Loopback names: no other machine can answer for them.
    if (name == "localhost" || (name.size() > 10 && name.ends_with(".localhost")) || name == "::1")
        return true;
    if (IsIpv4(name) && name.starts_with("127."))
        return true;
    const std::string listen = Lower(policy.listen);
    if (name == listen)
        return true;
    // Listening on every address: any address literal is ours, and a
    // literal is never a name someone else's DNS could point here.
    if ((listen == "0.0.0.0" || listen == "::") && (IsIpv4(name) || IsIpv6(name)))
        return true;
    return std::find(policy.hosts.begin(), policy.hosts.end(), name) != policy.hosts.end();
}

bool Writes(std::string_view method)
{
    return method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE";
}

HeadDecision Refuse(int status, std::string error)
{
    HeadDecision d;
    d.status = status;
    d.error = std::move(error);
    return d;
}

const char* Reason(int status)
{
    switch (status) {
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Request Entity Too Large";
    case 415: return "Unsupported Media Type";
    case 421: return "Misdirected Request";
    case 431: return "Request Header Fields Too Large";
    }
    return "Error";
}

std::string JsonString(std::string_view s)
{
    std::string out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace

std::vector<std::string_view> RequestHead::All(std::string_view name) const
{
    std::vector<std::string_view> out;
    for (const auto& [n, v] : headers)
        if (n == name)
            out.push_back(v);
    return out;
}

std::vector<std::string> RequestHead::Segments() const
{
    const std::string_view path = std::string_view(target).substr(0, target.find('?'));
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at <= path.size()) {
        auto end = path.find('/', at);
        if (end == std::string_view::npos)
            end = path.size();
        if (end > at) {
            // Decoded first, as the router reads it: "%2F" splits too.
            const std::string piece = Decode(path.substr(at, end - at), false);
            std::size_t from = 0;
            while (from <= piece.size()) {
                auto slash = piece.find('/', from);
                if (slash == std::string::npos)
                    slash = piece.size();
                if (slash > from)
                    out.push_back(piece.substr(from, slash - from));
                from = slash + 1;
            }
        }
        at = end + 1;
    }
    return out;
}

std::optional<std::string> RequestHead::Query(std::string_view name) const
{
    const auto q = target.find('?');
    if (q == std::string::npos)
        return std::nullopt;
    std::string_view query = std::string_view(target).substr(q + 1);
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const auto eq = pair.find('=');
        if (Decode(pair.substr(0, eq), true) == name)
            return eq == std::string_view::npos ? std::string() : Decode(pair.substr(eq + 1), true);
        if (amp == std::string_view::npos)
            break;
        query.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

std::size_t HeadLength(std::string_view bytes)
{
    // Lines end in CRLF; a bare LF is read as one too, as the HTTP layer
    // behind this one reads it, so that both see the same head.
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\n')
            continue;
        if (i + 1 < bytes.size() && bytes[i + 1] == '\n')
            return i + 2;
        if (i + 2 < bytes.size() && bytes[i + 1] == '\r' && bytes[i + 2] == '\n')
            return i + 3;
    }
    return 0;
}

std::optional<RequestHead> ParseHead(std::string_view head)
{
    std::vector<std::string_view> lines;
    while (!head.empty()) {
        const auto nl = head.find('\n');
        std::string_view line = head.substr(0, nl);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.find('\r') != std::string_view::npos || line.find('\0') != std::string_view::npos)
            return std::nullopt;
        lines.push_back(line);
        if (nl == std::string_view::npos)
            break;
        head.remove_prefix(nl + 1);
    }
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    if (lines.empty())
        return std::nullopt;
    RequestHead r;
    const std::string_view first = lines[0];
    const auto sp1 = first.find(' ');
    const auto sp2 = sp1 == std::string_view::npos ? sp1 : first.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || first.find(' ', sp2 + 1) != std::string_view::npos)
        return std::nullopt;
    r.method = first.substr(0, sp1);
    r.target = first.substr(sp1 + 1, sp2 - sp1 - 1);
    r.version = first.substr(sp2 + 1);
    if (r.method.empty() || !std::all_of(r.method.begin(), r.method.end(), IsTokenChar))
        return std::nullopt;
    if (r.target.empty() || r.target.front() != '/' ||
        !std::all_of(r.target.begin(), r.target.end(), [](char c) { return c > 0x20 && c < 0x7f; }))
        return std::nullopt;
    if (r.version != "HTTP/1.1" && r.version != "HTTP/1.0")
        return std::nullopt;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        const auto colon = line.find(':');
        // No folded lines and no blank before the colon: both have been
        // used to make two readers see two different heads.
        if (colon == 0 || colon == std::string_view::npos)
            return std::nullopt;
        const std::string_view name = line.substr(0, colon);
        if (!std::all_of(name.begin(), name.end(), IsTokenChar))
            return std::nullopt;
        const std::string_view value = Trim(line.substr(colon + 1));
        if (std::any_of(value.begin(), value.end(),
                        [](char c) { return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f; }))
            return std::nullopt;
        r.headers.emplace_back(Lower(name), std::string(value));
    }
    return r;
}

HeadDecision Body(const RequestHead& head, const HeadPolicy& policy, HeadDecision d);

HeadDecision Decide(const RequestHead& head, const HeadPolicy& policy)
{
    // Host: what DNS rebinding cannot fake. HTTP/1.1 requires it.
    const auto hosts = head.All("host");
    if (hosts.size() != 1)
        return Refuse(400, "host: exactly one Host header is needed");
    const auto host = HostName(hosts[0]);
    if (!host)
        return Refuse(400, "host: not a host name");
    if (!OurHost(*host, policy))
        return Refuse(421, "host: '" + *host + "' is not a name of this service (see --allow-host)");

    // Origin: a browser names the page that asks; only our own may act.
    const auto origins = head.All("origin");
    if (origins.size() > 1)
        return Refuse(403, "origin: more than one");
    if (!origins.empty()) {
        const std::string origin = Lower(origins[0]);
        const std::string own = Lower(hosts[0]);
        if (origin != "http://" + own && origin != "https://" + own)
            return Refuse(403, "origin: only pages served by this service may use it");
    }

    HeadDecision d;
    const auto path = head.Segments();
    const bool api = !path.empty() && path[0] == "api";
    d.stream = head.method == "GET" && path.size() == 3 && api && path[1] == "v1" && path[2] == "events";
    const bool page = (head.method == "GET" || head.method == "HEAD") && !api;
    // A token, when one is sent, is always checked (the page's files aside,
    // which hold no secret): a wrong one is refused even where no token is
    // needed, so that a client learns it is wrong rather than acting as
    // someone else.
    const auto auth = head.All("authorization");
    std::optional<std::string> bearer;
    if (page) {
        d.who = {"loopback", policy.anonymous};
        return Body(head, policy, d);
    }
    if (auth.size() > 1)
        return Refuse(401, "a valid token is needed: Authorization: Bearer <token>");
    if (auth.size() == 1) {
        const std::string_view value = auth[0];
        if (value.size() <= 7 || Lower(value.substr(0, 7)) != "bearer ")
            return Refuse(401, "a valid token is needed: Authorization: Bearer <token>");
        bearer = std::string(Trim(value.substr(7)));
    } else if (d.stream) {
        // EventSource sends no header: the stream alone takes ?token=.
        bearer = head.Query("token");
    }
    if (bearer) {
        std::optional<Identity> who = policy.lookup ? policy.lookup(*bearer) : std::nullopt;
        if (!who || who->role == Role::None)
            return Refuse(401, "a valid token is needed: Authorization: Bearer <token>");
        d.who = std::move(*who);
    } else {
        d.who = {"loopback", policy.anonymous};
    }
    if (d.who.role == Role::None)
        return Refuse(401, "a valid token is needed: Authorization: Bearer <token>");
    if (const Role needed = NeededFor(head.method, path); !Allows(d.who.role, needed))
        return Refuse(403, RoleRefusal(needed, d.who));
    return Body(head, policy, d);
}

// The body's bounds and type, from the head.
HeadDecision Body(const RequestHead& head, const HeadPolicy& policy, HeadDecision d)
{

    if (!head.All("transfer-encoding").empty())
        return Refuse(411, "body: send it with Content-Length");
    const auto lengths = head.All("content-length");
    if (lengths.size() > 1)
        return Refuse(400, "body: more than one Content-Length");
    if (!lengths.empty()) {
        const std::string_view n = lengths[0];
        if (n.empty() || !std::all_of(n.begin(), n.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return Refuse(400, "body: Content-Length is not a number");
        const std::string_view digits = n.substr(std::min(n.find_first_not_of('0'), n.size()));
        if (digits.size() > 12)
            return Refuse(413, "body: at most 64 KiB");
        std::size_t value = 0;
        for (const char c : digits)
            value = value * 10 + static_cast<std::size_t>(c - '0');
        if (value > policy.maxBody)
            return Refuse(413, "body: at most 64 KiB");
        d.body = value;
    }
    if (Writes(head.method)) {
        const auto types = head.All("content-type");
        const std::string type = types.size() == 1 ? Lower(Trim(types[0].substr(0, types[0].find(';')))) : "";
        if (type != "application/json")
            return Refuse(415, "content-type: a write needs Content-Type: application/json");
    } else if (d.body > 0 && head.method != "OPTIONS") {
        // GET and HEAD carry no body here.
        return Refuse(400, "body: this method takes none");
    }
    return d;
}

HeadDecision DecideRaw(std::string_view head, const HeadPolicy& policy)
{
    const auto parsed = ParseHead(head);
    if (!parsed)
        return Refuse(400, "request: not an HTTP/1.1 request head");
    return Decide(*parsed, policy);
}

std::string RefusalResponse(const HeadDecision& decision)
{
    const std::string body = "{\"error\":" + JsonString(decision.error) + "}";
    std::string out = "HTTP/1.1 " + std::to_string(decision.status) + " " + Reason(decision.status) + "\r\n";
    out += "Content-Type: application/json\r\nCache-Control: no-store\r\n";
    if (decision.status == 401)
        out += "WWW-Authenticate: Bearer\r\n";
    out += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    return out;
}

}  // namespace cv::service
