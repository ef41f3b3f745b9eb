// Whatever a TFTP server (or anything else on the LAN) sends back to the
// check: it must never crash, and must call a transfer served only for
// the first data block.
#include "lan/Tftp.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view datagram(reinterpret_cast<const char*>(data), size);
    const auto reply = cv::lan::ReadTftpReply(datagram);
    if (!reply)
        return 0;
    if (size < 4)
        std::abort();
    const bool firstBlock = data[0] == 0 && data[1] == 3 && data[2] == 0 && data[3] == 1;
    if (reply->ok() != firstBlock)
        std::abort();
    if (reply->message.size() > size - 4 || reply->message.find('\0') != std::string::npos)
        std::abort();
    return 0;
}
