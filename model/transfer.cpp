#include "transfer.h"

#include <QDir>

Q_LOGGING_CATEGORY(lcProtocol, "vardel.protocol")

namespace transfer {

QString fileName(const QString &path)
{
    return path.mid(path.lastIndexOf(QDir::separator()) + 1).toUpper();
}

QByteArray lengthText(quint32 plainLength)
{
    constexpr quint32 kSixDigitsMax = 999999;
    const QByteArray digits = QByteArray::number(plainLength);
    if (plainLength <= kSixDigitsMax)
        return digits.rightJustified(6, '0');
    return digits + ';';
}

} // namespace transfer
