#pragma once

#include <QString>

#include <cstddef>

// A QString from a UTF-8 literal, for expected texts: "load Erreur read"_q.
inline QString operator""_q(const char *text, std::size_t size)
{
    return QString::fromUtf8(text, int(size));
}

// The dump that follows a checkCrc or _buff log line ("6 1 54 12 ab") when the simulated
// terminal's acknowledgement (code, byte 1, byte 2, its filler) arrived up to `received` bytes:
// bytes 0 to 2, then the CRC of bytes 0 to 29 (zeros behind what arrived) as computed.
QString ackDump(quint8 code, quint8 accepted, quint8 result, int received = 32);
