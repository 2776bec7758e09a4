// Download of a package file's plain content in numbered data blocks, stop-and-wait.
#include "model.h"

#include "config/records.h"
#include "crypto/sealedfile.h"
#include "exchange.h"
#include "frames.h"
#include "link/serialport.h"
#include "transfer.h"

#include <QThread>

#include <algorithm>

namespace {

const QString kCommand = QStringLiteral("load");

// The log line of a sealed file that cannot feed a download.
QString fileErrorLine(SealedFile::Status status)
{
    switch (status) {
    case SealedFile::Status::Unreadable:
        return exchange::errorLine(kCommand, QStringLiteral("_file.open"));
    case SealedFile::Status::LengthExceedsContent:
        return exchange::errorLine(kCommand, QStringLiteral("_file.length"));
    default: // shorter than its header, or not whole cipher blocks
        return exchange::errorLine(kCommand, QStringLiteral("_file.size"));
    }
}

} // namespace

bool Model::load(Application *file)
{
    const QString name = transfer::fileName(file->path);
    const QString progressText = QStringLiteral("Téléchargement du fichier : ") + name;
    emit setModuleProgression(progressText, 0);

    // Start block. Its reply is not followed by clearInput.
    auto start = frame::block(frame::kCmdLoad);
    exchange::Step step;
    step.command = kCommand;
    step.readWord = QStringLiteral("read");
    step.lengthWord = QStringLiteral("_length");
    step.delayMs = timing.requestDelayMs;
    step.clearOnSuccess = false;
    exchange::Block reply{};
    if (!exchange::acknowledged(*this, start, reply, step))
        return false;

    // The whole file, decrypted. Its plain length must fit in what it holds.
    SealedFile sealed;
    const SealedFile::Status status = SealedFile::read(file->path, sealed, true);
    if (status != SealedFile::Status::Ok) {
        log(fileErrorLine(status));
        return false;
    }
    const quint32 plainLength = sealed.plainLength;
    const auto *plain = reinterpret_cast<const quint8 *>(sealed.decrypted.constData());

    std::array<quint8, frame::kLongBlockSize> data{};
    quint32 offset = 0;
    quint16 number = 0; // wraps to 0 after 65535
    int chunk = 0;
    bool build = true;   // a new block is due (not a resend)
    bool resent = false; // the current block has been sent again after a problem
    while (offset < plainLength) {
        if (build) {
            chunk = int(std::min<quint32>(plainLength - offset, frame::kMaxChunk));
            data.fill(0);
            data[0] = frame::kCmdLoad;
            data[1] = quint8(number >> 8);
            data[2] = quint8(number & 0xFF);
            data[3] = quint8(chunk);
            std::copy_n(plain + offset, chunk, data.begin() + frame::kDataOffset);
            computeCrc(data.data(), frame::kLongBlockCrcOffset);
            build = false;
            resent = false;
        }
        if (!serialPort->write(data.data(), frame::kLongBlockSize)) {
            log(QStringLiteral("load Erreur write"));
            return false;
        }
        reply.fill(0);
        quint16 length = frame::kBlockSize;
        if (!serialPort->read(reply.data(), length)) {
            log(QStringLiteral("load Erreur read"));
            return false;
        }

        // A garbled reply is forgiven once per block; ACK_NOK any number of times.
        QString warning;
        if (!checkCrc(reply.data(), frame::kBlockCrcOffset)) {
            if (resent) {
                log(QStringLiteral("load Erreur checkCrc") + frame::replyDump(reply.data()));
                return false;
            }
            warning = QStringLiteral("load Warning checkCrc") + frame::replyDump(reply.data());
        } else if (reply[0] != frame::kCmdLoad || reply[1] != frame::kReplyAccepted) {
            if (resent) {
                log(QStringLiteral("load Erreur _buff") + frame::replyDump(reply.data()));
                return false;
            }
            warning = QStringLiteral("load Warning _buff") + frame::replyDump(reply.data());
        } else if (reply[2] == frame::kAckNok) {
            warning = QStringLiteral("load Warning ACK_NOK");
        } else if (reply[2] == frame::kResultOk) {
            ++number;
            offset += quint32(chunk);
            // After the last block the final acknowledgement may already be waiting: keep it.
            if (offset < plainLength)
                serialPort->clearInput();
            emit setModuleProgression(progressText, int(quint64(offset) * 100 / plainLength));
            build = true;
            continue;
        } else {
            log(QStringLiteral("load Erreur ACK_STOP"));
            return false;
        }
        QThread::msleep(ulong(qMax(0, timing.requestDelayMs)));
        serialPort->clearInput();
        log(warning);
        resent = true;
    }
    sealed = SealedFile(); // the decrypted copy is not needed any more

    // Final acknowledgement of the whole file; nothing is written before it.
    reply.fill(0);
    quint16 length = frame::kBlockSize;
    if (!serialPort->readWithTimeout(reply.data(), length, timing.finalAckTimeoutMs)) {
        log(QStringLiteral("load Erreur readWithTimeout"));
        return false;
    }
    if (length == 0) {
        log(QStringLiteral("load Erreur _lengthToRead"));
        return false;
    }
    if (!checkCrc(reply.data(), frame::kBlockCrcOffset)) {
        qCDebug(lcProtocol) << "CRC fails: " << length;
        log(QStringLiteral("load Warning checkCrc") + frame::replyDump(reply.data()));
    }
    if (reply[0] != frame::kCmdLoad || reply[1] != frame::kReplyAccepted ||
        reply[2] != frame::kResultOk) {
        log(QStringLiteral("load Erreur _buff") + frame::replyDump(reply.data()));
        return false;
    }
    serialPort->clearInput();
    return true;
}
