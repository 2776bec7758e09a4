#include "replies.h"

#include "model/frames.h"

namespace replies {

namespace {

// Bytes 0 to 29 (zeros behind what is given), then their CRC, low byte first.
QByteArray withCrc(QByteArray bytes)
{
    bytes = bytes.leftJustified(30, '\0', true);
    const quint16 crc = frame::crc16(reinterpret_cast<const quint8 *>(bytes.constData()), 30);
    return bytes + char(crc & 0xFF) + char(crc >> 8);
}

} // namespace

QByteArray ack(quint8 code, quint8 accepted, quint8 result)
{
    return withCrc(QByteArray(1, char(code)) + char(accepted) + char(result) +
                   QByteArrayLiteral("Tarvenix simulated terminal"));
}

QString dump(quint8 code, quint8 accepted, quint8 result)
{
    return partialDump(code, accepted, result, 32);
}

QString partialDump(quint8 code, quint8 accepted, quint8 result, int received)
{
    const QByteArray bytes = withCrc(ack(code, accepted, result).left(received));
    return QStringLiteral("%1 %2 %3 %4 %5")
        .arg(code, 0, 16)
        .arg(accepted, 0, 16)
        .arg(result, 0, 16)
        .arg(quint8(bytes[30]), 0, 16)
        .arg(quint8(bytes[31]), 0, 16);
}

QByteArray request(quint8 code, quint8 first)
{
    return withCrc(QByteArray(1, char(code)) + char(first));
}

} // namespace replies
