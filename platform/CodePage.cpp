#include "platform/CodePage.h"

#include <QStringEncoder>

namespace platform {

QByteArray ToSystemCodePage(QStringView text)
{
    QStringEncoder encoder(QStringEncoder::System);
    return encoder.encode(text);
}

}  // namespace platform
