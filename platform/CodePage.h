#pragma once
// Decoding the 8-bit text of the endpoints' shells in the system code page
// (the locale's character set). Lines going out are encoded by the firmware
// vocabulary alone (nodes::WireBytes).
#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>

namespace platform {

// Decodes successive reads of one connection; keeps the state of a
// multi-byte character split across two reads.
class SystemDecoder {
public:
    SystemDecoder() : decoder_(QStringDecoder::System) { }
    QString Decode(QByteArrayView bytes) { return decoder_.decode(bytes); }
    void Reset() { decoder_.resetState(); }

private:
    QStringDecoder decoder_;
};

}  // namespace platform
