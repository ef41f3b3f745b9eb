#include "endpoint/Addressing.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

namespace cv::endpoint {

namespace {

using Ipv4 = std::uint32_t;

// Four decimal octets and nothing else; no leading zeros, which some
// parsers read as octal.
std::optional<Ipv4> Parse(std::string_view text)
{
    Ipv4 value = 0;
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0) {
            if (text.empty() || text.front() != '.')
                return std::nullopt;
            text.remove_prefix(1);
        }
        std::size_t digits = 0;
        unsigned part = 0;
        while (digits < text.size() && digits < 4 && text[digits] >= '0' && text[digits] <= '9')
            part = part * 10 + static_cast<unsigned>(text[digits++] - '0');
        if (digits == 0 || digits > 3 || part > 255 || (digits > 1 && text.front() == '0'))
            return std::nullopt;
        text.remove_prefix(digits);
        value = value << 8 | part;
    }
    if (!text.empty())
        return std::nullopt;
    return value;
}

std::string Dotted(Ipv4 value)
{
    return std::to_string(value >> 24) + '.' + std::to_string(value >> 16 & 0xff) + '.' +
        std::to_string(value >> 8 & 0xff) + '.' + std::to_string(value & 0xff);
}

std::string Subnet(Ipv4 address, Ipv4 mask)
{
    return Dotted(address & mask) + '/' + std::to_string(std::popcount(mask));
}

std::string NotAnAddress(std::string_view field, const std::string& text)
{
    return std::string(field) + " \"" + text + "\" is not a dotted IPv4 address";
}

// Why an address or gateway cannot be a host at all; empty when it can.
std::string NotAHost(Ipv4 value)
{
    if (value >> 24 == 127)
        return "a loopback address";
    if (value == 0xffffffff)
        return "the limited broadcast address";
    if (value >> 28 == 0xe)
        return "a multicast address";
    if (value >> 28 == 0xf)
        return "a reserved address";
    return {};
}

// Empty when value is an ordinary host of its subnet.
std::string EdgeOf(Ipv4 value, Ipv4 mask)
{
    if ((value & ~mask) == 0)
        return "the network address of " + Subnet(value, mask);
    if ((value & ~mask) == ~mask)
        return "the broadcast address of " + Subnet(value, mask);
    return {};
}

std::size_t Rank(const std::vector<std::string>& order, const std::string& name)
{
    return static_cast<std::size_t>(std::find(order.begin(), order.end(), name) - order.begin());
}

}  // namespace

const std::vector<std::string>& AddressCheckNames()
{
    static const std::vector<std::string> names{"netmask", "zero", "unicast", "subnet-edge", "gateway", "own-address"};
    return names;
}

std::vector<AddressProblem> StaticAddressProblems(const std::string& ipaddr, const std::string& netmask,
                                                  const std::string& gateway,
                                                  const std::vector<std::string>& workstationAddresses)
{
    std::vector<AddressProblem> problems;
    auto refuse = [&](std::string check, std::string field, std::string reason) {
        problems.push_back({std::move(check), std::move(field), std::move(reason)});
    };

    // A mask is usable only when it leaves room for an address and a gateway.
    // Kept as a plain value beside a flag: every path below sets both.
    const std::optional<Ipv4> parsedMask = Parse(netmask);
    const Ipv4 maskValue = parsedMask.value_or(0);
    const Ipv4 hostBits = ~maskValue;
    bool maskUsable = false;
    if (!parsedMask) {
        refuse("netmask", "netmask", NotAnAddress("netmask", netmask));
    } else if (maskValue == 0) {
        refuse("zero", "netmask", "netmask is 0.0.0.0");
    } else if ((hostBits & (hostBits + 1)) != 0) {
        refuse("netmask", "netmask", "netmask " + Dotted(maskValue) + " is not contiguous ones followed by zeros");
    } else if (std::popcount(maskValue) > 30) {
        refuse("netmask", "netmask",
               "netmask " + Dotted(maskValue) + " (/" + std::to_string(std::popcount(maskValue)) +
                   ") leaves no room for an address and a gateway");
    } else {
        maskUsable = true;
    }

    // A host value that fails here is reported once and judged no further.
    auto host = [&](const std::string& field, const std::string& text) -> std::optional<Ipv4> {
        const std::optional<Ipv4> value = Parse(text);
        if (!value) {
            refuse("unicast", field, NotAnAddress(field, text));
            return std::nullopt;
        }
        if (*value == 0) {
            refuse("zero", field, field + " is 0.0.0.0");
            return std::nullopt;
        }
        if (const std::string why = NotAHost(*value); !why.empty()) {
            refuse("unicast", field, field + ' ' + Dotted(*value) + " is " + why);
            return std::nullopt;
        }
        return value;
    };
    const std::optional<Ipv4> address = host("ipaddr", ipaddr);
    const std::optional<Ipv4> router = host("gateway", gateway);

    if (address && maskUsable) {
        if (const std::string edge = EdgeOf(*address, maskValue); !edge.empty())
            refuse("subnet-edge", "ipaddr", "ipaddr " + Dotted(*address) + " is " + edge);
    }
    if (address && router) {
        if (*router == *address) {
            refuse("gateway", "gateway", "gateway " + Dotted(*router) + " is the ipaddr itself");
        } else if (maskUsable && (*router & maskValue) != (*address & maskValue)) {
            refuse("gateway", "gateway",
                   "gateway " + Dotted(*router) + " is outside " + Subnet(*address, maskValue) + " (ipaddr " +
                       Dotted(*address) + ", netmask " + Dotted(maskValue) + ")");
        } else if (maskUsable) {
            if (const std::string edge = EdgeOf(*router, maskValue); !edge.empty())
                refuse("subnet-edge", "gateway", "gateway " + Dotted(*router) + " is " + edge);
        }
    }
    if (address) {
        const bool own = std::any_of(workstationAddresses.begin(), workstationAddresses.end(),
                                     [&](const std::string& mine) { return Parse(mine) == address; });
        if (own)
            refuse("own-address", "ipaddr", "ipaddr " + Dotted(*address) + " is this workstation's own address");
    }

    // Checks in their --force order, fields in the order they are typed.
    const std::vector<std::string>& checks = AddressCheckNames();
    const std::vector<std::string> fields{"ipaddr", "netmask", "gateway"};
    std::stable_sort(problems.begin(), problems.end(), [&](const AddressProblem& a, const AddressProblem& b) {
        return std::pair(Rank(checks, a.check), Rank(fields, a.field)) <
            std::pair(Rank(checks, b.check), Rank(fields, b.field));
    });
    return problems;
}

}  // namespace cv::endpoint

namespace cv::endpoint {

std::optional<AddressProblem> UnreachableFrom(const std::string& ipaddr, const std::vector<Card>& cards)
{
    const std::optional<Ipv4> address = Parse(ipaddr);
    if (!address)
        return std::nullopt;  // said by the other checks
    std::string subnets;
    for (const Card& card : cards) {
        const std::optional<Ipv4> own = Parse(card.address), mask = Parse(card.netmask);
        if (!own || !mask || (*own >> 24) == 127)
            continue;
        if ((*own & *mask) == (*address & *mask))
            return std::nullopt;
        subnets += (subnets.empty() ? "" : ", ") + card.address + "/" + std::to_string(std::popcount(*mask));
    }
    if (subnets.empty())
        return std::nullopt;
    return AddressProblem{"unreachable", "ipaddr",
                          "ipaddr " + ipaddr + " is outside every subnet of this workstation (" + subnets +
                              "): after the restart this workstation cannot reach it"};
}

}  // namespace cv::endpoint
