// Session opening: initialisation, receiving-application check and the release sweep.
#include "model.h"

#include "frames.h"
#include "link/serialport.h"

namespace {

const quint8 *bytes(const QByteArray &frameBytes)
{
    return reinterpret_cast<const quint8 *>(frameBytes.constData());
}

} // namespace

bool Model::initializeTerminalOnce(int timeoutMs)
{
    static const QByteArray request = frame::shortFrame(frame::kTypeControl, frame::kInitPayload);
    if (!serialPort->write(bytes(request), quint16(request.size()))) {
        log(QStringLiteral("initializeTerminal Erreur write"));
        return false;
    }
    quint8 reply[frame::kInitReplySize] = {};
    quint16 length = frame::kInitReplySize;
    if (!serialPort->readWithTimeout(reply, length, timeoutMs)) {
        log(QStringLiteral("initializeTerminal Erreur readWithTimeout"));
        return false;
    }
    if (length == 0) {
        log(QStringLiteral("initializeTerminal Erreur length"));
        return false;
    }
    // Any answer counts: the content is not examined.
    serialPort->clearInput();
    return true;
}

bool Model::initializeTerminal()
{
    constexpr int kAttempts = 3;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (initializeTerminalOnce(timing.replyTimeoutMs))
            return true;
    }
    log(QStringLiteral("initializeTerminal Erreur tentatives"));
    return false;
}

bool Model::isVardelOnTerminal()
{
    static const QByteArray request = frame::shortFrame(frame::kTypeQuery, frame::kQueryPayload);
    if (!serialPort->write(bytes(request), quint16(request.size()))) {
        log(QStringLiteral("isVardelOnTerminal Erreur write"));
        return false;
    }
    // The whole 7-byte reply, however many pieces it arrives in.
    quint8 reply[frame::kQueryReplySize] = {};
    quint16 length = frame::kQueryReplySize;
    if (!serialPort->readReply(reply, length, timing.replyTimeoutMs)) {
        log(QStringLiteral("isVardelOnTerminal Erreur readWithTimeout"));
        return false;
    }
    if (length == 0) {
        log(QStringLiteral("isVardelOnTerminal Erreur _length"));
        return false;
    }
    if (reply[3] == frame::kRefusal0 && reply[4] == frame::kRefusal1) {
        log(QStringLiteral("isVardelOnTerminal Erreur _buff"));
        return false;
    }
    for (int i = 0; i + 1 < length; ++i) {
        if (reply[i] == frame::kOk0 && reply[i + 1] == frame::kOk1) {
            serialPort->clearInput();
            return true;
        }
    }
    return false; // neither "OK" nor the refusal: no log line
}

void Model::releaseTerminals()
{
    static const QByteArray first =
        frame::shortFrame(frame::kTypeControl, frame::kReleaseInitPayload);
    static const QByteArray second =
        frame::shortFrame(frame::kTypeQuery, frame::kReleaseQueryPayload);
    quint8 reply[frame::kReleaseReplySize];

    // Every result is ignored: a terminal that does not answer is simply passed over.
    const QStringList labels = serialPort->getPorts();
    for (const QString &label : labels) {
        serialPort->close();
        if (!serialPort->open(label))
            continue;
        if (!serialPort->write(bytes(first), quint16(first.size())))
            continue;
        quint16 length = frame::kReleaseReplySize;
        if (!serialPort->readWithTimeout(reply, length, timing.releaseTimeoutMs))
            continue;
        if (serialPort->write(bytes(second), quint16(second.size()))) {
            length = frame::kReleaseReplySize;
            (void)serialPort->readWithTimeout(reply, length, timing.releaseTimeoutMs);
        }
    }
    serialPort->close();
}
