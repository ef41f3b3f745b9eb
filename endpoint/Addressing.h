#pragma once
// Refusing a static address before it is sent: once an endpoint takes an
// address it cannot be reached at, only a walk to its reset button brings it
// back. Pure, so every front end refuses the same triples for the same reasons.
#include <optional>
#include <string>
#include <vector>

namespace cv::endpoint {

// One reason a static setting would strand an endpoint. `check` is the
// name an operator gives to --force to let this one through deliberately.
struct AddressProblem {
    std::string check;  // one of AddressCheckNames()
    std::string field;  // "ipaddr", "netmask" or "gateway"
    std::string reason;  // a sentence fragment naming the value(s), e.g.
                         // "gateway 198.18.0.254 is outside 198.18.2.0/24 (ipaddr 198.18.2.2, netmask 255.255.255.0)"
};

// The names --force accepts, in the order they are checked:
// "netmask", "zero", "unicast", "subnet-edge", "gateway", "own-address".
const std::vector<std::string>& AddressCheckNames();

// Every problem of a static ipaddr / netmask / gateway triple, given the
// workstation's own addresses, in the order of AddressCheckNames(). A text
// that is not dotted IPv4 is reported under "netmask" or "unicast". A field
// that is unusable in itself (zero, not unicast, a bad mask) is reported once,
// and the checks that would need it are skipped.
std::vector<AddressProblem> StaticAddressProblems(const std::string& ipaddr, const std::string& netmask,
                                                  const std::string& gateway,
                                                  const std::vector<std::string>& workstationAddresses);

// A card of the workstation: its address and netmask, dotted.
struct Card {
    std::string address, netmask;
};
// An address in none of the workstation's subnets (check "unreachable"):
// after the restart this workstation could not reach it. Nullopt when one
// subnet holds it, or when no card has a usable netmask.
std::optional<AddressProblem> UnreachableFrom(const std::string& ipaddr, const std::vector<Card>& cards);

}  // namespace cv::endpoint
