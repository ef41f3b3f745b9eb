#pragma once
// The pairing link as a QR code a phone can read off the terminal: two
// rows of modules per line in Unicode half blocks. A plain function over
// libqrencode: text in, lines out.
#include <string>
#include <string_view>
#include <vector>

namespace cv::service {

// The quiet zone around the symbol, in modules, as QR readers expect.
inline constexpr int kQrQuietZone = 4;

// Drawn for a terminal's usual light text on a dark background: light
// modules (and the quiet zone) are the text colour, dark ones blank.
// Empty when the text cannot be encoded (empty, or too long for a symbol).
std::vector<std::string> QrLines(std::string_view text);

}  // namespace cv::service
