#pragma once

#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <cstddef>

// A QString from a UTF-8 literal, for expected texts: "load Erreur read"_q.
inline QString operator""_q(const char *text, std::size_t size)
{
    return QString::fromUtf8(text, int(size));
}

// The dump that follows a checkCrc or _buff log line ("6 1 54 12 ab") after the simulated
// terminal's acknowledgement (code, byte 1, byte 2, its filler): bytes 0 to 2, then the CRC of
// bytes 0 to 29 as computed.
QString ackDump(quint8 code, quint8 accepted, quint8 result);

// The messages of a log file, in order, without their date stamps; none when it cannot be read.
inline QStringList logMessages(const QString &path)
{
    static const QRegularExpression stamp(
        "(^|\n)== \\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d == "_q);
    QFile file(path);
    QStringList messages;
    if (file.open(QIODevice::ReadOnly))
        messages = QString::fromUtf8(file.readAll()).split(stamp);
    if (messages.size() < 2) // nothing comes before the first entry
        return {};
    messages.removeFirst();
    messages.last().chop(1);
    return messages;
}
