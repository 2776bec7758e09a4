// Session opening: initialisation, receiving-application check and the release sweep.
#include "model.h"

#include "link/serialport.h"
#include "model/protocol/frames.h"

namespace {

const quint8 *bytes(const QByteArray &frameBytes)
{
    return reinterpret_cast<const quint8 *>(frameBytes.constData());
}

} // namespace

bool Model::initializeTerminalOnce(int timeoutMs)
{
    static const QByteArray request = frame::shortFrame(frame::kTypeControl, frame::kInitPayload);
    if (!serialPort->write(bytes(request), quint16(request.size())))
        return commandFailed(FailureCause::NoAnswer,
                             QStringLiteral("initializeTerminal Erreur write"));
    quint8 reply[frame::kInitReplySize] = {};
    quint16 length = frame::kInitReplySize;
    if (!serialPort->readWithTimeout(reply, length, timeoutMs))
        return commandFailed(FailureCause::NoAnswer,
                             QStringLiteral("initializeTerminal Erreur readWithTimeout"));
    if (length == 0)
        return commandFailed(FailureCause::NoAnswer,
                             QStringLiteral("initializeTerminal Erreur length"));
    // Any answer counts: the content is not examined.
    serialPort->clearInput();
    return true;
}

Model::InitAnswer Model::answerInitialisation(int timeoutMs)
{
    static const QByteArray request = frame::shortFrame(frame::kTypeControl, frame::kInitPayload);
    if (!serialPort->write(bytes(request), quint16(request.size()))) {
        noteFailure(FailureCause::NoAnswer);
        return InitAnswer::None;
    }
    // Marker, type and payload length; then the payload and the CRC, however many pieces they
    // come in. The reply must fit the buffer the session's initialisation reads it into.
    quint8 reply[frame::kInitReplySize] = {};
    quint16 length = frame::kShortHeaderSize;
    if (!serialPort->readReply(reply, length, timeoutMs)) {
        noteFailure(FailureCause::NoAnswer);
        return InitAnswer::None;
    }
    const int payload = reply[2];
    const int whole = frame::kShortHeaderSize + payload + frame::kCrcSize;
    quint16 rest = quint16(whole - frame::kShortHeaderSize);
    if (length < frame::kShortHeaderSize || reply[0] != frame::kShortMarker ||
        reply[1] != frame::kTypeControl || whole > frame::kInitReplySize ||
        !serialPort->readReply(reply + frame::kShortHeaderSize, rest, timeoutMs) ||
        rest < whole - frame::kShortHeaderSize ||
        !checkCrc(reply, frame::kShortHeaderSize + payload)) {
        noteFailure(FailureCause::BadReply);
        return InitAnswer::Garbled;
    }
    serialPort->clearInput();
    return InitAnswer::Valid;
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
    if (!serialPort->write(bytes(request), quint16(request.size())))
        return commandFailed(FailureCause::NoAnswer,
                             QStringLiteral("isVardelOnTerminal Erreur write"));
    // The whole 7-byte reply, however many pieces it arrives in.
    quint8 reply[frame::kQueryReplySize] = {};
    quint16 length = frame::kQueryReplySize;
    if (!serialPort->readReply(reply, length, timing.replyTimeoutMs))
        return commandFailed(FailureCause::NoAnswer,
                             QStringLiteral("isVardelOnTerminal Erreur readWithTimeout"));
    if (length == 0)
        return commandFailed(FailureCause::NoAnswer,
                             QStringLiteral("isVardelOnTerminal Erreur _length"));
    if (reply[3] == frame::kRefusal0 && reply[4] == frame::kRefusal1)
        return commandFailed(FailureCause::Refused,
                             QStringLiteral("isVardelOnTerminal Erreur _buff"));
    for (int i = 0; i + 1 < length; ++i) {
        if (reply[i] == frame::kOk0 && reply[i + 1] == frame::kOk1) {
            serialPort->clearInput();
            return true;
        }
    }
    noteFailure(FailureCause::BadReply); // neither "OK" nor the refusal: no log line
    return false;
}

void Model::releaseTerminals()
{
    release(serialPort->getPorts());
}

void Model::releaseAfter(const InstallResult &result)
{
    QStringList labels = serialPort->getPorts();
    if (!result.port.isEmpty() && !labels.contains(result.port))
        labels << result.port;
    release(labels);
}

void Model::release(const QStringList &labels)
{
    static const QByteArray first =
        frame::shortFrame(frame::kTypeControl, frame::kReleaseInitPayload);
    static const QByteArray second =
        frame::shortFrame(frame::kTypeQuery, frame::kReleaseQueryPayload);
    quint8 reply[frame::kReleaseReplySize];

    // Every result is ignored: a terminal that does not answer is simply passed over.
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
