#include "service/PairingCode.h"

#include <qrencode.h>

#include <memory>

namespace cv::service {

std::vector<std::string> QrLines(std::string_view text)
{
    if (text.empty())
        return {};
    const std::string data(text);
    // 8-bit mode: a URL's lower case and symbols are not in the alphanumeric
    // set. Level L: the largest link that still fits a small terminal.
    const std::unique_ptr<QRcode, decltype(&QRcode_free)> code(QRcode_encodeString8bit(data.c_str(), 0, QR_ECLEVEL_L),
                                                               &QRcode_free);
    if (!code)
        return {};
    const int n = code->width;
    const int side = n + 2 * kQrQuietZone;
    // Light outside the symbol; bit 0 of each module is "dark".
    const auto light = [&](int row, int col) {
        row -= kQrQuietZone;
        col -= kQrQuietZone;
        if (row < 0 || col < 0 || row >= n || col >= n)
            return true;
        return (code->data[row * n + col] & 1) == 0;
    };
    std::vector<std::string> lines;
    for (int row = 0; row < side; row += 2) {
        std::string line;
        for (int col = 0; col < side; ++col) {
            const bool top = light(row, col), bottom = row + 1 >= side || light(row + 1, col);
            line += top && bottom ? "\u2588" : top ? "\u2580" : bottom ? "\u2584" : " ";
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace cv::service
