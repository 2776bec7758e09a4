// Terminal information: hardware configuration record, its check, and the application list.
#include "model.h"

#include "config/configuration.h"
#include "exchange.h"
#include "link/serialport.h"
#include "model/protocol/frames.h"

#include <QThread>

#include <algorithm>

bool Model::getHTerminal()
{
    // The request is the first 32 bytes of the buffer that then receives the 128-byte reply.
    std::array<quint8, frame::kLongBlockSize> buffer{};
    buffer[0] = frame::kCmdGetHTerminal;
    computeCrc(buffer.data(), frame::kBlockCrcOffset);
    QThread::msleep(ulong(qMax(0, timing.hterminalDelayMs)));
    if (!serialPort->write(buffer.data(), frame::kBlockSize))
        return commandFailed(FailureCause::NoAnswer, QStringLiteral("getHTerminal Erreur write"));

    // The whole 128-byte record, however many pieces it arrives in.
    buffer.fill(0);
    quint16 length = frame::kLongBlockSize;
    if (!serialPort->readReply(buffer.data(), length, timing.replyTimeoutMs))
        return commandFailed(FailureCause::NoAnswer,
                             QStringLiteral("getHTerminal Erreur readWithTimeout"));
    if (length == 0)
        return commandFailed(FailureCause::NoAnswer, QStringLiteral("getHTerminal Erreur _length"));
    // Kept for a report as it came, before the check writes its own CRC into the buffer.
    terminalRecordReply = QByteArray(reinterpret_cast<const char *>(buffer.data()), length);
    // A reply that stopped short has no CRC of its own: the zeros behind a shorter frame that
    // ends in its own CRC would pass the check (the CRC of such bytes is 0), so it fails here.
    if (length < frame::kLongBlockSize || !checkCrc(buffer.data(), frame::kLongBlockCrcOffset))
        return commandFailed(FailureCause::BadReply,
                             QStringLiteral("getHTerminal Erreur checkCrc"));
    std::copy_n(buffer.begin(), terminalRecord.size(), terminalRecord.begin());
    terminalRecordRead = true;
    serialPort->clearInput();
    return true;
}

bool Model::checkHTerminalCoherency()
{
    constexpr int c = frame::kCatalogueOffset;
    constexpr int h = frame::kHTermCatalogueOffset;
    const QList<HTerminal *> accepted = package()->getHTerminals();
    for (const HTerminal *hterm : accepted) {
        const auto &record = hterm->record;
        if (record[h] == terminalRecord[c] && record[h + 1] == terminalRecord[c + 1] &&
            record[h + 2] == terminalRecord[c + 2])
            return true;
    }
    return commandFailed(FailureCause::Mismatch,
                         QStringLiteral("checkHTerminalCoherency Erreur code catalogue"));
}

bool Model::getApplications()
{
    auto request = frame::block(frame::kCmdGetApplications);
    computeCrc(request.data(), frame::kBlockCrcOffset);
    if (!serialPort->write(request.data(), frame::kBlockSize))
        return commandFailed(FailureCause::NoAnswer,
                             QStringLiteral("getApplications Erreur write"));

    applications.clear();
    applicationsRead = false;
    std::array<quint8, frame::kBlockSize> record{};
    for (;;) {
        record.fill(0);
        quint16 length = frame::kBlockSize;
        if (!serialPort->read(record.data(), length))
            return commandFailed(exchange::shortRead(length, frame::kBlockSize),
                                 QStringLiteral("getApplications Erreur readWithTimeout"));
        if (length != frame::kBlockSize)
            return commandFailed(FailureCause::BadReply,
                                 QStringLiteral("getApplications Erreur _length != 32"));
        if (!checkCrc(record.data(), frame::kBlockCrcOffset))
            return commandFailed(FailureCause::BadReply,
                                 QStringLiteral("getApplications Erreur checkCrc"));
        const int nameLength = record[1];
        if (nameLength == 0) {
            applicationsRead = true;
            serialPort->clearInput();
            return true;
        }
        // The name and up to six further characters, never beyond byte 29, up to the first 0.
        const int available = frame::kBlockCrcOffset - frame::kEntryOffset;
        const int take = std::min(nameLength + frame::kEntryExtraChars, available);
        const auto *first = record.data() + frame::kEntryOffset;
        const auto *end = std::find(first, first + take, quint8(0));
        applications.append(
            QString::fromLatin1(reinterpret_cast<const char *>(first), int(end - first)));
        QThread::msleep(ulong(qMax(0, timing.applicationPauseMs)));
    }
}
