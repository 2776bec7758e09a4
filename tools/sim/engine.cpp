#include "engine.h"

#include "model/protocol/frames.h"

#include <algorithm>

namespace sim {

namespace {

constexpr quint8 kAckStop = 0x00; // any code but ACK_OK and ACK_NOK stops a download
constexpr quint8 kRefused = 0x00; // result byte of a refusal

void finishCrc(QByteArray &bytes, int covered, bool damaged)
{
    const quint16 crc = frame::crc16(reinterpret_cast<const quint8 *>(bytes.constData()), covered) ^
                        (damaged ? 0xFFFF : 0);
    bytes[covered] = char(crc & 0xFF);
    bytes[covered + 1] = char(crc >> 8);
}

QByteArray shortReply(quint8 type, quint8 first, quint8 second, bool damaged)
{
    QByteArray bytes(frame::kQueryReplySize, '\0');
    bytes[0] = char(frame::kShortMarker);
    bytes[1] = char(type);
    bytes[2] = 2;
    bytes[3] = char(first);
    bytes[4] = char(second);
    finishCrc(bytes, frame::kQueryReplySize - frame::kCrcSize, damaged);
    return bytes;
}

template<std::size_t N>
bool payloadIs(const QByteArray &bytes, const std::array<quint8, N> &payload)
{
    if (bytes.size() != int(frame::kShortHeaderSize + N + frame::kCrcSize))
        return false;
    return std::equal(payload.begin(), payload.end(),
                      reinterpret_cast<const quint8 *>(bytes.constData()) +
                          frame::kShortHeaderSize);
}

// Bytes first..last-1 are all zero.
bool zeros(const QByteArray &bytes, int first, int last)
{
    return std::all_of(bytes.begin() + first, bytes.begin() + last, [](char c) { return c == 0; });
}

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

} // namespace

Engine::Engine(const Behaviour &behaviour, Clock::time_point origin)
    : b(behaviour), origin(origin), lastReceive(origin), rxFree(origin), txFree(origin),
      restartAt(Clock::time_point::min())
{}

void Engine::anomaly(const QString &text)
{
    rec.anomalies.append(text);
}

void Engine::receive(const char *data, int size, Clock::time_point now, std::vector<Output> &out)
{
    lastReceive = now;
    parser.append(data, size);
    drain(now, false, out);
}

void Engine::idle(Clock::time_point now, std::vector<Output> &out)
{
    drain(now, true, out);
}

Engine::Clock::time_point Engine::idleDeadline() const
{
    return parser.pending() > 0 ? lastReceive + kStaleAfter : Clock::time_point::max();
}

void Engine::drain(Clock::time_point now, bool stale, std::vector<Output> &out)
{
    FrameKind kind;
    QByteArray bytes;
    while (parser.next(downloading, stale, kind, bytes))
        handle(kind, bytes, now, out);
    rec.garbageBytes = parser.garbage();
}

Engine::Clock::time_point Engine::send(const QByteArray &bytes, Clock::time_point ready,
                                       std::vector<Output> &out)
{
    Clock::time_point at = std::max(ready, txFree);
    const int piece = b.bursts     ? std::max(1, b.burstSize)
                      : b.pace9600 ? std::max(1, b.pieceSize)
                                   : int(bytes.size());
    for (int offset = 0; offset < bytes.size(); offset += piece) {
        const QByteArray part = bytes.mid(offset, piece);
        if (offset > 0 && b.bursts)
            at += std::chrono::milliseconds(b.burstGapMs);
        if (b.pace9600)
            at += kByteTime * part.size();
        out.push_back({at, part});
    }
    txFree = at;
    return at;
}

QByteArray Engine::ack(quint8 code, quint8 accepted, quint8 result, bool damaged) const
{
    // Bytes 3 to 29 are not examined by the host: fill them, as a real terminal may.
    static const QByteArray kFiller = QByteArrayLiteral("Tarvenix simulated terminal").left(27);
    QByteArray bytes(frame::kBlockSize, '\0');
    bytes[0] = char(code);
    bytes[1] = char(accepted);
    bytes[2] = char(result);
    bytes.replace(3, kFiller.size(), kFiller);
    finishCrc(bytes, frame::kBlockCrcOffset, damaged);
    return bytes;
}

void Engine::handle(FrameKind kind, const QByteArray &bytes, Clock::time_point now,
                    std::vector<Output> &out)
{
    // On a paced line the frame has only fully arrived once its bytes had their time; then
    // the terminal works on it before it answers.
    Clock::time_point ready = now;
    if (b.pace9600) {
        rxFree = std::max(now, rxFree) + kByteTime * bytes.size();
        ready = rxFree;
    }
    ready += std::chrono::milliseconds(b.workMs);

    Frame frame;
    frame.kind = kind;
    frame.bytes = bytes;
    frame.atMs = std::chrono::duration_cast<std::chrono::milliseconds>(now - origin).count();
    const bool cut = b.cutAtFrame >= 0 && rec.frames.size() >= b.cutAtFrame;
    const bool deaf = restarting(now) || b.silent || cut;

    switch (kind) {
    case FrameKind::Short:
        if (!shortCommand(bytes, frame.command)) {
            anomaly(QStringLiteral("unknown short frame ") + hex(bytes));
            return;
        }
        frame.answered = !deaf && handleShort(bytes, frame.command, ready, out);
        break;
    case FrameKind::Block:
        frame.command = Command(int(Command::Applications) + quint8(bytes[0]) - 1);
        // Any request other than a data block ends a running download.
        if (!deaf)
            endDownload();
        frame.answered = !deaf && handleBlock(frame.command, bytes, ready, out);
        break;
    case FrameKind::Data:
        frame.command = Command::Data;
        rec.blockNumbers.append(quint16((quint8(bytes[1]) << 8) | quint8(bytes[2])));
        frame.answered = !deaf && handleData(bytes, ready, out);
        break;
    }
    rec.frames.append(frame);
}

bool Engine::shortCommand(const QByteArray &bytes, Command &command)
{
    if (payloadIs(bytes, frame::kInitPayload))
        command = Command::Init;
    else if (payloadIs(bytes, frame::kQueryPayload))
        command = Command::Query;
    else if (payloadIs(bytes, frame::kReleaseInitPayload) ||
             payloadIs(bytes, frame::kReleaseQueryPayload))
        command = Command::Release;
    else
        return false;
    return true;
}

bool Engine::handleShort(const QByteArray &bytes, Command command, Clock::time_point ready,
                         std::vector<Output> &out)
{
    const auto type = quint8(bytes[1]);
    if (b.muted.count(command))
        return false;
    const bool damaged = b.damaged.count(command) > 0;
    bool refuse = b.refused.count(command) > 0;
    if (command == Command::Query)
        refuse = refuse || !b.receivingApp;
    if (command == Command::Release)
        resetSession();
    const QByteArray reply = refuse ? shortReply(type, frame::kRefusal0, frame::kRefusal1, damaged)
                                    : shortReply(type, frame::kOk0, frame::kOk1, damaged);
    send(reply, ready, out);
    return true;
}

bool Engine::handleBlock(Command command, const QByteArray &bytes, Clock::time_point ready,
                         std::vector<Output> &out)
{
    const auto code = quint8(bytes[0]);
    if (command == Command::Info)
        return handleAdvertisement(bytes, ready, out);
    const bool authorizationAsk = command == Command::Authorization;
    if (!zeros(bytes, authorizationAsk ? 2 : 1, frame::kBlockCrcOffset) ||
        (authorizationAsk && quint8(bytes[1]) != frame::kAuthorizationAsk))
        anomaly(QStringLiteral("unexpected parameters ") + hex(bytes));
    if (b.muted.count(command))
        return false;
    const bool refused = b.refused.count(command) > 0;
    const bool damaged = b.damaged.count(command) > 0;
    const bool unaccepted = b.unaccepted.count(command) > 0;
    const quint8 accepted = unaccepted ? 0 : frame::kReplyAccepted;

    switch (command) {
    case Command::Applications: {
        // Damage goes to the last application record (to the end record when there is none).
        QByteArray records;
        const QList<AppEntry> entries = refused ? QList<AppEntry>() : b.applications;
        for (int i = 0; i < entries.size(); ++i) {
            QByteArray record(frame::kBlockSize, '\0');
            record[0] = char(code);
            record[1] = char(qMin(entries[i].name.size(), 255));
            const QByteArray text =
                (entries[i].name + entries[i].extra).left(frame::kAdvertTextMax);
            std::copy(text.begin(), text.end(), record.begin() + frame::kEntryOffset);
            finishCrc(record, frame::kBlockCrcOffset, damaged && i + 1 == entries.size());
            records += record;
        }
        records += ack(code, 0, 0, damaged && entries.isEmpty()); // byte 1 = 0: end of list
        send(records, ready, out);
        return true;
    }
    case Command::Authorization:
        if (!refused && !advertised)
            anomaly(QStringLiteral("authorisation asked without an advertisement"));
        authorized = !refused && !damaged && !unaccepted && advertised;
        send(ack(code, accepted,
                 authorized || damaged || unaccepted ? frame::kResultAuthorized : kRefused,
                 damaged),
             ready, out);
        return true;
    case Command::Load:
        if (refused || damaged || unaccepted) {
            send(ack(code, accepted, refused ? kRefused : frame::kResultOk, damaged), ready, out);
            return true;
        }
        return handleLoadStart(ready, out);
    case Command::Reboot: {
        const Clock::time_point done =
            send(ack(code, accepted, refused ? kRefused : frame::kResultOk, damaged), ready, out);
        if (!refused && !unaccepted) {
            resetSession();
            if (b.rebootSilenceMs > 0) {
                restartAt = done + std::chrono::milliseconds(b.restartAfterMs);
                if (activatedList) {
                    restartList = std::move(activatedList);
                    activatedList.reset();
                }
            }
        }
        return true;
    }
    case Command::HTerminal: {
        if (refused) {
            send(ack(code, accepted, kRefused, damaged), ready, out);
            return true;
        }
        QByteArray record = b.record.leftJustified(Behaviour::kRecordSize, '\0', true);
        record.append(frame::kCrcSize, '\0');
        finishCrc(record, frame::kLongBlockCrcOffset, damaged);
        send(record, ready, out);
        return true;
    }
    default: // Activate
        if (!refused && !unaccepted) {
            if (activations < b.applicationsAfter.size() && b.applicationsAfter.at(activations))
                activatedList = b.applicationsAfter.at(activations);
            ++activations;
        }
        send(ack(code, accepted, refused ? kRefused : frame::kResultOk, damaged), ready, out);
        return true;
    }
}

bool Engine::handleAdvertisement(const QByteArray &bytes, Clock::time_point ready,
                                 std::vector<Output> &out)
{
    advertised = false;
    authorized = false;
    const int textLength = quint8(bytes[1]);

    // Length text: six digits, or seven to ten digits and ";". The name follows it.
    Advertisement ad;
    bool valid =
        textLength > 0 && textLength <= frame::kAdvertTextMax &&
        zeros(bytes, 2 + std::min(textLength, frame::kAdvertTextMax), frame::kBlockCrcOffset);
    const QByteArray text = bytes.mid(2, std::min(textLength, frame::kAdvertTextMax));
    const int semicolon = text.indexOf(';');
    const int digits = std::min(semicolon >= 0 ? semicolon : 6, int(text.size()));
    const QByteArray number = text.left(digits);
    const bool numeric =
        std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
    const qulonglong length = number.toULongLong();
    valid = valid && numeric && length <= 0xFFFFFFFFull &&
            (semicolon < 0 ? digits == 6 : digits >= 7 && digits <= 10);
    ad.lengthText = text.left(semicolon >= 0 ? semicolon + 1 : digits);
    ad.name = text.mid(ad.lengthText.size());
    ad.length = quint32(length);
    valid = valid && !ad.name.isEmpty();
    if (!valid)
        anomaly(QStringLiteral("malformed advertisement ") + hex(bytes));

    const bool damaged = b.damaged.count(Command::Info) > 0;
    const bool muted = b.muted.count(Command::Info) > 0;
    const bool unaccepted = b.unaccepted.count(Command::Info) > 0;
    ad.accepted = valid && !damaged && !muted && !unaccepted && !b.refused.count(Command::Info);
    rec.advertisements.append(ad);
    if (muted)
        return false;
    if (ad.accepted) {
        advertised = true;
        advert = ad;
    }
    send(ack(quint8(bytes[0]), unaccepted ? 0 : frame::kReplyAccepted,
             ad.accepted || damaged || unaccepted ? frame::kResultOk : kRefused, damaged),
         ready, out);
    return true;
}

bool Engine::handleLoadStart(Clock::time_point ready, std::vector<Output> &out)
{
    if (!advertised || !authorized) {
        anomaly(QStringLiteral("download started without advertisement and authorisation"));
        send(ack(frame::kCmdLoad, frame::kReplyAccepted, kRefused, false), ready, out);
        return true;
    }
    // One download per advertisement and authorisation.
    advertised = false;
    authorized = false;
    Download download;
    download.name = advert.name;
    download.length = advert.length;
    rec.downloads.append(download);
    downloading = true;
    position = 0;
    lastAccepted.clear();
    const QByteArray ok = ack(frame::kCmdLoad, frame::kReplyAccepted, frame::kResultOk, false);
    if (advert.length == 0)
        finishDownload(ok, ready, out);
    else
        send(ok, ready, out);
    return true;
}

bool Engine::handleData(const QByteArray &bytes, Clock::time_point ready, std::vector<Output> &out)
{
    Download &download = rec.downloads.last();
    const auto number = quint16((quint8(bytes[1]) << 8) | quint8(bytes[2]));
    const int chunk = quint8(bytes[3]);
    const quint32 remaining = download.length - quint32(download.content.size());
    const int expectedChunk = int(std::min<quint32>(remaining, frame::kMaxChunk));
    const QByteArray okReply = ack(frame::kCmdLoad, frame::kReplyAccepted, frame::kResultOk, false);

    // The same block again after its acknowledgement was lost: acknowledge it again.
    if (position > 0 && number == quint16(position - 1) && bytes == lastAccepted) {
        send(okReply, ready, out);
        return true;
    }
    if (number != quint16(position) || chunk != expectedChunk ||
        !zeros(bytes, frame::kDataOffset + std::min(chunk, frame::kMaxChunk),
               frame::kLongBlockCrcOffset)) {
        anomaly(QStringLiteral("data block %1 of %2: number %3, chunk %4 (expected %5)")
                    .arg(position)
                    .arg(QString::fromLatin1(download.name))
                    .arg(number)
                    .arg(chunk)
                    .arg(expectedChunk));
        endDownload();
        send(ack(frame::kCmdLoad, frame::kReplyAccepted, kAckStop, false), ready, out);
        return true;
    }

    BlockReply fault = BlockReply::Ok;
    if (b.nokForever)
        fault = BlockReply::Nok;
    else if (b.muted.count(Command::Data))
        fault = BlockReply::Mute;
    else if (b.refused.count(Command::Data))
        fault = BlockReply::Stop;
    else if (b.damaged.count(Command::Data))
        fault = BlockReply::BadCrc;
    const auto script = b.blockFaults.find(position);
    if (fault == BlockReply::Ok && script != b.blockFaults.end()) {
        fault = script->takeFirst();
        if (script->isEmpty())
            b.blockFaults.erase(script);
    }

    switch (fault) {
    case BlockReply::Mute:
        return false;
    case BlockReply::Nok:
        send(ack(frame::kCmdLoad, frame::kReplyAccepted, frame::kAckNok, false), ready, out);
        return true;
    case BlockReply::BadCrc:
        send(ack(frame::kCmdLoad, frame::kReplyAccepted, frame::kResultOk, true), ready, out);
        return true;
    case BlockReply::BadHeader:
        send(ack(frame::kCmdLoad, 0x00, frame::kResultOk, false), ready, out);
        return true;
    case BlockReply::Stop:
        endDownload();
        send(ack(frame::kCmdLoad, frame::kReplyAccepted, kAckStop, false), ready, out);
        return true;
    case BlockReply::Late:
        ready += std::chrono::milliseconds(b.lateMs);
        break;
    case BlockReply::Ok:
        break;
    }
    download.content.append(bytes.constData() + frame::kDataOffset, chunk);
    ++position;
    lastAccepted = bytes;
    if (quint32(download.content.size()) == download.length)
        finishDownload(okReply, ready, out);
    else
        send(okReply, ready, out);
    return true;
}

// The last acknowledgement of a download, then its final acknowledgement.
void Engine::finishDownload(QByteArray lastReply, Clock::time_point ready, std::vector<Output> &out)
{
    rec.downloads.last().complete = true;
    endDownload();
    FinalAck final = b.finalAck;
    if (!b.finalAckScript.isEmpty())
        final = b.finalAckScript.takeFirst();
    QByteArray finalReply;
    if (final != FinalAck::None)
        finalReply = ack(frame::kCmdLoad, frame::kReplyAccepted,
                         final == FinalAck::BadCode ? kRefused : frame::kResultOk,
                         final == FinalAck::BadCrc);
    if (b.finalAckWithLastReply) {
        send(lastReply + finalReply, ready, out);
        return;
    }
    const Clock::time_point done = send(lastReply, ready, out);
    if (!finalReply.isEmpty())
        send(finalReply, done + std::chrono::milliseconds(b.finalAckDelayMs), out);
}

void Engine::endDownload()
{
    downloading = false;
    lastAccepted.clear();
}

bool Engine::restarting(Clock::time_point now)
{
    if (restartAt == Clock::time_point::min() || now < restartAt)
        return false;
    if (restartList) {
        b.applications = *restartList;
        restartList.reset();
    }
    return now < restartAt + std::chrono::milliseconds(b.rebootSilenceMs);
}

void Engine::resetSession()
{
    advertised = false;
    authorized = false;
    endDownload();
}

} // namespace sim
