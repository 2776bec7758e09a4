#include "exchange.h"

#include "link/serialport.h"
#include "model.h"

#include <QThread>

namespace exchange {

QString errorLine(const QString &command, const QString &word)
{
    return command + QStringLiteral(" Erreur ") + word;
}

bool acknowledged(Model &model, Block &request, Block &reply, const Step &step)
{
    SerialPort &port = *model.getSerialPort();
    Model::computeCrc(request.data(), frame::kBlockCrcOffset);
    QThread::msleep(ulong(qMax(0, step.delayMs)));
    if (!port.write(request.data(), frame::kBlockSize)) {
        model.log(errorLine(step.command, QStringLiteral("write")));
        return false;
    }
    QThread::msleep(ulong(qMax(0, step.afterWriteMs)));

    reply.fill(0);
    quint16 length = frame::kBlockSize;
    if (!port.read(reply.data(), length)) {
        model.log(errorLine(step.command, step.readWord));
        return false;
    }
    if (length == 0) {
        model.log(errorLine(step.command, step.lengthWord));
        return false;
    }
    if (!Model::checkCrc(reply.data(), frame::kBlockCrcOffset)) {
        model.log(errorLine(step.command, QStringLiteral("checkCrc")) +
                  frame::replyDump(reply.data()));
        return false;
    }
    if (reply[0] != request[0] || reply[1] != frame::kReplyAccepted || reply[2] != step.result) {
        model.log(errorLine(step.command, QStringLiteral("_buff")) +
                  frame::replyDump(reply.data()));
        return false;
    }
    if (step.clearOnSuccess)
        port.clearInput();
    return true;
}

} // namespace exchange
