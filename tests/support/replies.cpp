#include "replies.h"

#include "model/model.h"
#include "model/protocol/frames.h"

QString ackDump(quint8 code, quint8 accepted, quint8 result)
{
    QByteArray bytes = QByteArray(1, char(code)) + char(accepted) + char(result) +
                       QByteArrayLiteral("Tarvenix simulated terminal");
    bytes = bytes.leftJustified(frame::kBlockSize, '\0', true);
    auto *reply = reinterpret_cast<quint8 *>(bytes.data());
    Model::computeCrc(reply, frame::kBlockCrcOffset);
    return frame::replyDump(reply);
}
