// Download of a package file's plain content in numbered data blocks, stop-and-wait.
#include "model.h"

#include "config/advertisement.h"
#include "config/records.h"
#include "crypto/sealedfile.h"
#include "exchange.h"
#include "link/serialport.h"
#include "model/protocol/frames.h"
#include "transfer.h"

#include <QThread>

#include <algorithm>

namespace {

const QString kCommand = QStringLiteral("load");

// ACK_NOK replies to one data block that are answered by sending it again; the next one fails
// the download (the scenario then starts the file again).
constexpr int kMaxNokResends = 16;

// The log line of a sealed file that cannot feed a download.
QString fileErrorLine(SealedFile::Status status)
{
    switch (status) {
    case SealedFile::Status::Unreadable:
    case SealedFile::Status::TooLarge:
        return exchange::errorLine(kCommand, QStringLiteral("_file.open"));
    case SealedFile::Status::LengthExceedsContent:
        return exchange::errorLine(kCommand, QStringLiteral("_file.length"));
    default: // shorter than its header, or not whole cipher blocks
        return exchange::errorLine(kCommand, QStringLiteral("_file.size"));
    }
}

} // namespace

// The content sent is the one the package check read and decrypted, shared by every batch and
// every terminal that sends it: nothing is read from the disk or copied here.
bool Model::load(const Application *file)
{
    const QString progressText =
        QStringLiteral("Téléchargement du fichier : ") + advertisement::fileName(file->path);
    showModule(progressText, 0);
    meter.beginDownload(file->content.plainLength);
    const bool done = startDownload(*file) && sendBlocks(file->content, progressText) &&
                      finalAcknowledgement();
    meter.endDownload(done);
    return done;
}

// The start block and its reply (not followed by clearInput); then the content must be whole
// and its plain length fit in what it holds.
bool Model::startDownload(const Application &file)
{
    auto start = frame::block(frame::kCmdLoad);
    exchange::Step step;
    step.command = kCommand;
    step.readWord = QStringLiteral("read");
    step.lengthWord = QStringLiteral("_length");
    step.delayMs = timing.requestDelayMs;
    step.clearOnSuccess = false;
    exchange::Block reply{};
    if (!exchange::acknowledged(*this, start, reply, step)) {
        meter.download().timeouts += failure == FailureCause::NoAnswer ? 1 : 0;
        meter.download().damaged += failure == FailureCause::BadReply ? 1 : 0;
        return false;
    }
    if (file.status != SealedFile::Status::Ok)
        return commandFailed(FailureCause::Package, fileErrorLine(file.status));
    return true;
}

// Every data block in turn, each once the one before it has been acknowledged.
bool Model::sendBlocks(const SealedFile &sealed, const QString &progressText)
{
    const quint32 plainLength = sealed.plainLength;
    const auto *plain = reinterpret_cast<const quint8 *>(sealed.decrypted.constData());
    DataBlock data{};
    quint32 offset = 0;
    quint16 number = 0; // wraps to 0 after 65535
    while (offset < plainLength) {
        if (cancelRequested)
            return false; // stopped between two blocks: the file is never confirmed
        const int chunk = int(std::min<quint32>(plainLength - offset, frame::kMaxChunk));
        data.fill(0);
        data[0] = frame::kCmdLoad;
        data[1] = quint8(number >> 8);
        data[2] = quint8(number & 0xFF);
        data[3] = quint8(chunk);
        std::copy_n(plain + offset, chunk, data.begin() + frame::kDataOffset);
        computeCrc(data.data(), frame::kLongBlockCrcOffset);
        if (!sendBlock(data, number))
            return false;
        ++meter.download().blocks;
        meter.download().bytes += quint32(chunk);
        ++number;
        offset += quint32(chunk);
        // After the last block the final acknowledgement may already be waiting: keep it.
        if (offset < plainLength)
            serialPort->clearInput();
        showModule(progressText, int(quint64(offset) * 100 / plainLength));
    }
    return true;
}

// One data block until the terminal acknowledges it. A garbled reply is forgiven once per
// block; ACK_NOK up to kMaxNokResends times.
bool Model::sendBlock(const DataBlock &data, quint16 number)
{
    exchange::Block reply{};
    bool resent = false; // the block has been sent again after a problem
    int noks = 0;
    DownloadFigures &figures = meter.download();
    for (;;) {
        if (!serialPort->write(data.data(), frame::kLongBlockSize))
            return commandFailed(FailureCause::NoAnswer, QStringLiteral("load Erreur write"));
        reply.fill(0);
        quint16 length = frame::kBlockSize;
        if (!serialPort->read(reply.data(), length)) {
            ++figures.timeouts;
            return commandFailed(exchange::shortRead(length, frame::kBlockSize),
                                 QStringLiteral("load Erreur read"));
        }

        QString warning;
        // checkCrc leaves the computed CRC in the reply: it is asked once.
        const bool crcHolds = checkCrc(reply.data(), frame::kBlockCrcOffset);
        const bool answersLoad = reply[0] == frame::kCmdLoad && reply[1] == frame::kReplyAccepted;
        figures.damaged += crcHolds && answersLoad ? 0 : 1;
        if (!crcHolds) {
            if (resent)
                return commandFailed(FailureCause::BadReply,
                                     QStringLiteral("load Erreur checkCrc") +
                                         frame::replyDump(reply.data()));
            warning = QStringLiteral("load Warning checkCrc") + frame::replyDump(reply.data());
        } else if (!answersLoad) {
            if (resent)
                return commandFailed(exchange::notAccepted(frame::kCmdLoad, reply[0]),
                                     QStringLiteral("load Erreur _buff") +
                                         frame::replyDump(reply.data()));
            warning = QStringLiteral("load Warning _buff") + frame::replyDump(reply.data());
        } else if (reply[2] == frame::kAckNok) {
            if (++noks > kMaxNokResends)
                return commandFailed(FailureCause::Refused,
                                     QStringLiteral("load Erreur ACK_NOK : bloc %1 refusé après "
                                                    "%2 renvois")
                                         .arg(number)
                                         .arg(kMaxNokResends));
            warning = QStringLiteral("load Warning ACK_NOK");
            ++figures.resends;
        } else if (reply[2] == frame::kResultOk) {
            return true;
        } else {
            return commandFailed(FailureCause::Refused, QStringLiteral("load Erreur ACK_STOP"));
        }
        QThread::msleep(ulong(qMax(0, timing.requestDelayMs)));
        serialPort->clearInput();
        log(warning);
        resent = true;
    }
}

// The terminal's confirmation of the whole file; nothing is written before it. A wrong CRC
// alone is forgiven here.
bool Model::finalAcknowledgement()
{
    exchange::Block reply{};
    quint16 length = frame::kBlockSize;
    DownloadFigures &figures = meter.download();
    if (!serialPort->readReply(reply.data(), length, timing.finalAckTimeoutMs)) {
        ++figures.timeouts;
        return commandFailed(FailureCause::NoAnswer, QStringLiteral("load Erreur readWithTimeout"));
    }
    if (length == 0)
        return commandFailed(FailureCause::NoAnswer, QStringLiteral("load Erreur _lengthToRead"));
    const bool crcHolds = checkCrc(reply.data(), frame::kBlockCrcOffset);
    const bool answersLoad = reply[0] == frame::kCmdLoad && reply[1] == frame::kReplyAccepted;
    figures.damaged += crcHolds && answersLoad ? 0 : 1;
    if (!crcHolds) {
        qCDebug(lcProtocol) << "CRC fails: " << length;
        log(QStringLiteral("load Warning checkCrc") + frame::replyDump(reply.data()));
    }
    if (reply[0] != frame::kCmdLoad || reply[1] != frame::kReplyAccepted ||
        reply[2] != frame::kResultOk)
        return commandFailed(exchange::notAccepted(frame::kCmdLoad, reply[0]),
                             QStringLiteral("load Erreur _buff") + frame::replyDump(reply.data()));
    serialPort->clearInput();
    return true;
}
