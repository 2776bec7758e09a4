#include "advertisement.h"

#include <QDir>

namespace advertisement {

QString fileName(const QString &path)
{
    const int cut = qMax(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QDir::separator()));
    return path.mid(cut + 1).toUpper();
}

QByteArray lengthText(quint32 plainLength)
{
    constexpr quint32 kSixDigitsMax = 999999;
    const QByteArray digits = QByteArray::number(plainLength);
    if (plainLength <= kSixDigitsMax)
        return digits.rightJustified(6, '0');
    return digits + ';';
}

Advertisement of(const QString &path, quint32 plainLength)
{
    Advertisement result;
    result.name = fileName(path);
    result.encodedName = result.name.toLocal8Bit();
    result.lengthText = lengthText(plainLength);
    return result;
}

} // namespace advertisement
