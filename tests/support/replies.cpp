#include "replies.h"

#include "model/frames.h"

namespace replies {

namespace {

void appendCrc(QByteArray &bytes)
{
    const quint16 crc = frame::crc16(reinterpret_cast<const quint8 *>(bytes.constData()), 30);
    bytes.append(char(crc & 0xFF));
    bytes.append(char(crc >> 8));
}

} // namespace

QByteArray ack(quint8 code, quint8 accepted, quint8 result)
{
    QByteArray bytes;
    bytes.append(char(code));
    bytes.append(char(accepted));
    bytes.append(char(result));
    bytes.append(QByteArrayLiteral("Tarvenix simulated terminal").left(27));
    appendCrc(bytes);
    return bytes;
}

QString dump(quint8 code, quint8 accepted, quint8 result)
{
    return partialDump(code, accepted, result, 32);
}

QString partialDump(quint8 code, quint8 accepted, quint8 result, int received)
{
    QByteArray bytes = ack(code, accepted, result).left(received);
    if (received < 32) {
        bytes = bytes.leftJustified(30, '\0', true);
        appendCrc(bytes);
    }
    return QStringLiteral("%1 %2 %3 %4 %5")
        .arg(code, 0, 16)
        .arg(accepted, 0, 16)
        .arg(result, 0, 16)
        .arg(quint8(bytes[30]), 0, 16)
        .arg(quint8(bytes[31]), 0, 16);
}

QByteArray request(quint8 code, quint8 first)
{
    QByteArray bytes(30, '\0');
    bytes[0] = char(code);
    bytes[1] = char(first);
    appendCrc(bytes);
    return bytes;
}

} // namespace replies
