#include "nodes/UpgradeCheck.h"

#include "nodes/Firmware.h"

namespace cv::nodes {

UpgradeFailures CheckUpgradeFailures(const Transcript& transcript)
{
    return {transcript.contains(kFileNotFound.text()), transcript.contains(kTransferTimedOut.text())};
}

}  // namespace cv::nodes
