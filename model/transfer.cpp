#include "transfer.h"

#include "config/advertisement.h"

Q_LOGGING_CATEGORY(lcProtocol, "vardel.protocol")

namespace transfer {

QString fileName(const QString &path)
{
    return advertisement::fileName(path);
}

QByteArray lengthText(quint32 plainLength)
{
    return advertisement::lengthText(plainLength);
}

} // namespace transfer
