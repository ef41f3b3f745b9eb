#pragma once
// Conversion between the window's UTF-16 text and the 8-bit text of the
// endpoints' shells, in the system code page (the locale's character set).
#include <QByteArray>
#include <QString>
#include <QStringDecoder>
#include <array>
#include <cstddef>
#include <cstring>
#include <optional>

namespace platform {

QByteArray ToSystemCodePage(QStringView text);

// A zero-filled line buffer of fixed size. A line that does not fit with its
// terminating zero is refused whole: a shell line is never sent cut short.
template <std::size_t N>
class LineBuffer {
public:
    LineBuffer() { bytes_.fill(0); }

    bool Assign(QStringView text) { return AssignBytes(ToSystemCodePage(text)); }

    bool AssignBytes(const QByteArray& bytes)
    {
        bytes_.fill(0);
        if (bytes.size() >= static_cast<qsizetype>(N))
            return false;
        std::memcpy(bytes_.data(), bytes.constData(), static_cast<std::size_t>(bytes.size()));
        return true;
    }

    const char* data() const { return bytes_.data(); }
    // Bytes before the first zero.
    int Length() const { return static_cast<int>(::strnlen(bytes_.data(), N)); }
    // The same with the terminating zero, which some lines send too.
    int LengthWithZero() const { return Length() + 1; }

private:
    std::array<char, N> bytes_{};
};

// Decodes successive reads of one connection; keeps the state of a
// multi-byte character split across two reads.
class SystemDecoder {
public:
    SystemDecoder() : decoder_(QStringDecoder::System) {}
    QString Decode(QByteArrayView bytes) { return decoder_.decode(bytes); }
    void Reset() { decoder_.resetState(); }

private:
    QStringDecoder decoder_;
};

}  // namespace platform
