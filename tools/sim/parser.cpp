#include "parser.h"

#include "model/protocol/frames.h"

namespace sim {

namespace {

bool crcHolds(const quint8 *bytes, int covered)
{
    const quint16 crc = frame::crc16(bytes, covered);
    return bytes[covered] == quint8(crc & 0xFF) && bytes[covered + 1] == quint8(crc >> 8);
}

} // namespace

void Parser::append(const char *data, int size)
{
    // Compact now and then, so that a long download does not grow the buffer.
    if (head > 0 && head >= buffer.size() / 2) {
        buffer.remove(0, head);
        head = 0;
    }
    buffer.append(data, size);
}

Parser::Verdict Parser::examine(bool dataMode, FrameKind &kind, int &size) const
{
    const int available = buffer.size() - head;
    if (available <= 0)
        return Verdict::Incomplete;
    const auto *p = reinterpret_cast<const quint8 *>(buffer.constData()) + head;

    if (p[0] == frame::kShortMarker) {
        if (available < frame::kShortHeaderSize)
            return Verdict::Incomplete;
        if (p[1] != frame::kTypeControl && p[1] != frame::kTypeQuery)
            return Verdict::Invalid;
        if (p[2] == 0 || p[2] > kMaxShortPayload)
            return Verdict::Invalid;
        size = frame::kShortHeaderSize + p[2] + frame::kCrcSize;
        if (available < size)
            return Verdict::Incomplete;
        kind = FrameKind::Short;
        return crcHolds(p, size - frame::kCrcSize) ? Verdict::Complete : Verdict::Invalid;
    }

    // A data block carries a chunk of 1 or more bytes in byte 3, where the start block of a
    // download (same code) has a zero: that tells the two apart before the CRC.
    if (dataMode && p[0] == frame::kCmdLoad) {
        if (available < frame::kDataOffset)
            return Verdict::Incomplete;
        if (p[3] != 0) {
            size = frame::kLongBlockSize;
            if (available < size)
                return Verdict::Incomplete;
            kind = FrameKind::Data;
            return crcHolds(p, frame::kLongBlockCrcOffset) ? Verdict::Complete : Verdict::Invalid;
        }
    }

    if (p[0] >= frame::kCmdGetApplications && p[0] <= frame::kCmdGetHTerminal) {
        size = frame::kBlockSize;
        if (available < size)
            return Verdict::Incomplete;
        kind = FrameKind::Block;
        return crcHolds(p, frame::kBlockCrcOffset) ? Verdict::Complete : Verdict::Invalid;
    }
    return Verdict::Invalid;
}

bool Parser::next(bool dataMode, bool stale, FrameKind &kind, QByteArray &bytes)
{
    for (;;) {
        int size = 0;
        switch (examine(dataMode, kind, size)) {
        case Verdict::Complete:
            bytes = buffer.mid(head, size);
            head += size;
            return true;
        case Verdict::Incomplete:
            if (!stale || pending() == 0)
                return false;
            break; // the rest will not come: this byte is garbage
        case Verdict::Invalid:
            break;
        }
        ++head;
        ++dropped;
    }
}

} // namespace sim
