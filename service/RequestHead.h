#pragma once
// The head of an HTTP request (request line and headers), read and judged
// before any byte of its body is: who may ask, from where, and how much.
// Plain functions over bytes, so that the decision can be fuzzed and
// tested without a socket.
#include "service/Roles.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cv::service {

struct RequestHead {
    std::string method;
    std::string target;  // as sent: path and query
    std::string version;
    // Names in lower case, values without surrounding blanks, in order.
    std::vector<std::pair<std::string, std::string>> headers;

    // Every value of a header, in order.
    std::vector<std::string_view> All(std::string_view name) const;
    // The path split at '/', each piece percent-decoded, empty ones left out
    // (as the API's router reads it).
    std::vector<std::string> Segments() const;
    // The decoded value of one query parameter.
    std::optional<std::string> Query(std::string_view name) const;
};

// How many bytes the head takes (its blank line included), or 0 while the
// blank line has not come.
std::size_t HeadLength(std::string_view bytes);
// nullopt: not a request head this service reads.
std::optional<RequestHead> ParseHead(std::string_view head);

struct HeadPolicy {
    // Who a bearer token belongs to; nullopt for one that is no token of
    // ours (or no lookup: no tokens at all).
    std::function<std::optional<Identity>(std::string_view token)> lookup;
    // A request without a token: the role it gets (loopback's trust), or
    // None when every request but the page's files needs a token.
    Role anonymous = Role::None;
    // The literal address the service listens on ("0.0.0.0" and "::" take
    // any address), and names given with --allow-host, lower case.
    std::string listen;
    std::vector<std::string> hosts;
    std::size_t maxBody = 0;
};

struct HeadDecision {
    int status = 0;  // 0: the request goes on to its handler
    std::string error;  // for the JSON body of a refusal
    bool stream = false;  // the event stream: answered for as long as it lasts
    std::size_t body = 0;  // bytes of body to come
    Identity who;  // who asks, for the history
    bool ok() const { return status == 0; }
};

// In this order: a head that cannot be read (400), a Host that is not ours
// (421), an Origin that is not ours (403), no valid token (401), a role
// that may not do this (403, naming the role it needs), a body of
// unknown length (411) or over the bound (413), a write that is not JSON
// (415).
HeadDecision Decide(const RequestHead& head, const HeadPolicy& policy);
// Decide for the raw head; a head that does not parse is a 400.
HeadDecision DecideRaw(std::string_view head, const HeadPolicy& policy);
// The whole answer to a refused request, closing the connection.
std::string RefusalResponse(const HeadDecision& decision);

}  // namespace cv::service
