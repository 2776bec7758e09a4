#include "exchange.h"

#include "link/serialport.h"
#include "model.h"

#include <QThread>

namespace exchange {

QString errorLine(const QString &command, const QString &word)
{
    return command + QStringLiteral(" Erreur ") + word;
}

FailureCause shortRead(quint16 missing, quint16 wanted)
{
    return missing >= wanted ? FailureCause::NoAnswer : FailureCause::BadReply;
}

FailureCause notAccepted(quint8 requestCode, quint8 replyCode)
{
    return replyCode == requestCode ? FailureCause::Refused : FailureCause::BadReply;
}

bool acknowledged(Model &model, Block &request, Block &reply, const Step &step)
{
    SerialPort &port = *model.getSerialPort();
    Model::computeCrc(request.data(), frame::kBlockCrcOffset);
    QThread::msleep(ulong(qMax(0, step.delayMs)));
    if (!port.write(request.data(), frame::kBlockSize))
        return model.commandFailed(FailureCause::NoAnswer,
                                   errorLine(step.command, QStringLiteral("write")));
    QThread::msleep(ulong(qMax(0, step.afterWriteMs)));

    reply.fill(0);
    quint16 length = frame::kBlockSize;
    if (!port.read(reply.data(), length))
        return model.commandFailed(shortRead(length, frame::kBlockSize),
                                   errorLine(step.command, step.readWord));
    if (length == 0)
        return model.commandFailed(FailureCause::NoAnswer,
                                   errorLine(step.command, step.lengthWord));
    if (!Model::checkCrc(reply.data(), frame::kBlockCrcOffset))
        return model.commandFailed(FailureCause::BadReply,
                                   errorLine(step.command, QStringLiteral("checkCrc")) +
                                       frame::replyDump(reply.data()));
    if (reply[0] != request[0] || reply[1] != frame::kReplyAccepted || reply[2] != step.result)
        return model.commandFailed(notAccepted(request[0], reply[0]),
                                   errorLine(step.command, QStringLiteral("_buff")) +
                                       frame::replyDump(reply.data()));
    if (step.clearOnSuccess)
        port.clearInput();
    return true;
}

} // namespace exchange
