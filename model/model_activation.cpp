// Activation of the downloaded applications and reboot of the terminal.
#include "model.h"

#include "exchange.h"
#include "link/serialport.h"
#include "model/protocol/frames.h"

#include <QThread>

#include <limits>

bool Model::activateApplications(qint32 count)
{
    // Half a second per downloaded file before the answer is read (none for a count <= 0).
    const qint64 perFile = qint64(qMax(0, count)) * qMax(0, timing.perFileActivationMs);
    exchange::Step step;
    step.command = QStringLiteral("activateApplications");
    step.readWord = QStringLiteral("readWithTimeout");
    step.lengthWord = QStringLiteral("_length");
    step.delayMs = timing.shortDelayMs;
    step.afterWriteMs = int(qMin<qint64>(perFile, std::numeric_limits<int>::max()));
    auto request = frame::block(frame::kCmdActivate);
    exchange::Block reply{};
    return exchange::acknowledged(*this, request, reply, step);
}

bool Model::rebootTerminal()
{
    auto block = frame::block(frame::kCmdReboot);
    computeCrc(block.data(), frame::kBlockCrcOffset);
    QThread::msleep(ulong(qMax(0, timing.shortDelayMs)));
    if (!serialPort->write(block.data(), frame::kBlockSize))
        return commandFailed(FailureCause::NoAnswer, QStringLiteral("rebootTerminal Erreur write"));
    block.fill(0); // it now receives the reply
    quint16 length = frame::kBlockSize;
    if (!serialPort->readReply(block.data(), length, timing.replyTimeoutMs))
        return commandFailed(FailureCause::NoAnswer,
                             QStringLiteral("rebootTerminal Erreur readWithTimeout"));
    if (length == 0)
        return commandFailed(FailureCause::NoAnswer,
                             QStringLiteral("rebootTerminal Erreur _length"));
    if (!checkCrc(block.data(), frame::kBlockCrcOffset))
        return commandFailed(FailureCause::BadReply,
                             QStringLiteral("rebootTerminal Erreur checkCrc") +
                                 frame::replyDump(block.data()));
    if (block[0] != frame::kCmdReboot || block[1] != frame::kReplyAccepted ||
        block[2] != frame::kResultOk)
        return commandFailed(exchange::notAccepted(frame::kCmdReboot, block[0]),
                             QStringLiteral("rebootTerminal Erreur _buff") +
                                 frame::replyDump(block.data()));
    serialPort->clearInput();
    return true;
}
