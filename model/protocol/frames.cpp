#include "frames.h"

namespace frame {

quint16 crc16(const quint8 *data, int n)
{
    quint16 crc = 0x0000;
    for (int i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? static_cast<quint16>((crc >> 1) ^ 0x8408u)
                             : static_cast<quint16>(crc >> 1);
    }
    return crc;
}

QByteArray shortFrame(quint8 type, const quint8 *payload, int length)
{
    QByteArray out(kShortHeaderSize + length + kCrcSize, '\0');
    auto *bytes = reinterpret_cast<quint8 *>(out.data());
    bytes[0] = kShortMarker;
    bytes[1] = type;
    bytes[2] = static_cast<quint8>(length);
    for (int i = 0; i < length; ++i)
        bytes[kShortHeaderSize + i] = payload[i];
    const quint16 crc = crc16(bytes, kShortHeaderSize + length);
    bytes[kShortHeaderSize + length] = static_cast<quint8>(crc & 0xFF);
    bytes[kShortHeaderSize + length + 1] = static_cast<quint8>(crc >> 8);
    return out;
}

std::array<quint8, kBlockSize> block(quint8 code)
{
    std::array<quint8, kBlockSize> b{};
    b[0] = code;
    return b;
}

QString replyDump(const quint8 *reply)
{
    const auto hex = [](quint8 v) { return QString::number(v, 16); };
    return hex(reply[0]) + QLatin1Char(' ') + hex(reply[1]) + QLatin1Char(' ') + hex(reply[2]) +
           QLatin1Char(' ') + hex(reply[30]) + QLatin1Char(' ') + hex(reply[31]);
}

} // namespace frame
