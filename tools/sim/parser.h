#pragma once

#include "behaviour.h"

#include <QByteArray>

namespace sim {

// Cuts the byte stream that reaches the terminal into frames: short frames (2F ...), 32-byte
// block frames and, while a download is running, 128-byte data blocks. Any byte that cannot
// start a frame whose CRC holds is dropped, so the parser finds the next frame after garbage.
class Parser
{
public:
    static constexpr int kMaxShortPayload = 8;

    void append(const char *data, int size);

    // Takes the next complete frame at the head of what was received. Returns false when more
    // bytes are needed. With `stale` (the line went quiet), a frame that cannot complete any
    // more is dropped as garbage instead of being waited for.
    bool next(bool dataMode, bool stale, FrameKind &kind, QByteArray &bytes);

    int pending() const { return buffer.size() - head; }
    qint64 garbage() const { return dropped; }

private:
    enum class Verdict
    {
        Complete,
        Incomplete,
        Invalid,
    };
    Verdict examine(bool dataMode, FrameKind &kind, int &size) const;

    QByteArray buffer;
    int head = 0;
    qint64 dropped = 0;
};

} // namespace sim
