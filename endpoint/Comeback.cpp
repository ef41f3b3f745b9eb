#include "endpoint/Comeback.h"

#include "endpoint/Mac.h"

#include <cctype>

namespace cv::endpoint {

bool SameMac(std::string_view a, std::string_view b)
{
    if (const auto ma = Mac::Parse(a), mb = Mac::Parse(b); ma && mb)
        return *ma == *mb;
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

Comeback::Comeback(std::string address, std::string mac, Clock::time_point deadline, bool mayMove)
    : address_(std::move(address)),
      mac_(std::move(mac)),
      mayMove_(mayMove),
      deadline_(deadline)
{ }

Comeback::Action Comeback::Next(Clock::time_point now)
{
    switch (phase_) {
    case Phase::Found: return {Do::Found, found_};
    case Phase::Other: return {Do::Other, address_};
    case Phase::Probe: break;
    case Phase::Scan: return {Do::Scan, {}};
    case Phase::Read:
        if (!toRead_.empty())
            return {Do::ReadMac, toRead_.front()};
        phase_ = Phase::Probe;
        break;
    }
    // A round ends here: one more only while there is time.
    if (now >= deadline_)
        return {Do::Lost, {}};
    // Another endpoint took the old address: only a scan can find it.
    if (known_.count(address_)) {
        phase_ = Phase::Scan;
        return {Do::Scan, {}};
    }
    return {Do::Probe, address_};
}

void Comeback::Probed(bool back)
{
    if (back && mac_.empty()) {
        found_ = address_;
        phase_ = Phase::Found;
    } else if (back) {
        // A new lease may have gone to another endpoint: its MAC says.
        toRead_ = {address_};
        phase_ = Phase::Read;
    } else {
        phase_ = mac_.empty() || !mayMove_ ? Phase::Probe : Phase::Scan;
    }
}

void Comeback::Scanned(const std::vector<std::string>& addresses)
{
    toRead_.clear();
    for (const auto& a : addresses)
        if (a != address_ && !known_.count(a))
            toRead_.push_back(a);
    phase_ = Phase::Read;
}

void Comeback::MacRead(const std::string& address, const std::optional<std::string>& mac)
{
    std::erase(toRead_, address);
    if (!mac)
        return;  // not up yet: asked again next round
    known_[address] = *mac;
    if (SameMac(*mac, mac_)) {
        found_ = address;
        phase_ = Phase::Found;
    } else if (!mayMove_ && address == address_) {
        // Answering is not being it: the one we restarted is elsewhere or gone.
        other_ = *mac;
        phase_ = Phase::Other;
    }
}

}  // namespace cv::endpoint
