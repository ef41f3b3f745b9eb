#pragma once
// The two failures the endpoint's tftp client reports during an upgrade.

#include "nodes/Transcript.h"

namespace cv::nodes {

struct UpgradeFailures {
    bool fileNotFound = false;  // advise putting the firmware file in place
    bool transferTimedOut = false;  // advise running the TFTP server
    bool any() const { return fileNotFound || transferTimedOut; }
    bool operator==(const UpgradeFailures&) const = default;
};

UpgradeFailures CheckUpgradeFailures(const Transcript& transcript);

}  // namespace cv::nodes
