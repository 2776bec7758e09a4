#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>

// A QString from a UTF-8 literal, for expected texts: "load Erreur read"_q.
inline QString operator""_q(const char *text, std::size_t size)
{
    return QString::fromUtf8(text, int(size));
}

// Expected texts built from the reply bytes a test chose: the dump that follows a checkCrc or
// _buff log line ("6 1 54 12 ab": bytes 0 to 2, then the CRC of bytes 0 to 29 as computed).
namespace replies {

// The acknowledgement block the simulated terminal sends: code, byte 1, byte 2, its filler.
QByteArray ack(quint8 code, quint8 accepted, quint8 result);
QString dump(quint8 code, quint8 accepted, quint8 result);
// The dump of that block when only its first `received` bytes arrived (zeros behind them).
QString partialDump(quint8 code, quint8 accepted, quint8 result, int received);
// A request block: code, byte 1, zeros, CRC.
QByteArray request(quint8 code, quint8 first = 0);

} // namespace replies
