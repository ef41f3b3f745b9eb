#include "net/Session.h"

#include "lan/Discovery.h"
#include "platform/MessageBox.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// Without its two sockets the program cannot find any endpoint at all; it
// says which step failed and ends.
[[noreturn]] void Fatal(const cv::lan::DiscoveryFailure& failure)
{
    std::fprintf(stderr, "%s\n", cv::lan::Describe(failure).c_str());
    std::fflush(stderr);
    std::fflush(stdout);
    ::_exit(1);
}

}  // namespace

bool Discover(CMyAsyncSocket& socket, QWidget* owner)
{
    const cv::lan::DiscoveryResult result = cv::lan::Discover();
    if (result.failure)
        Fatal(*result.failure);
    if (result.replies.empty()) {
        platform::MessageBox(owner, QString::fromUtf8(net_text::kNoDeviceFound),
                             platform::MB_OK | platform::MB_ICONINFORMATION);
        return false;
    }
    socket.m_strPeerAddress = QString::fromStdString(result.lastResponder());
    return true;
}
