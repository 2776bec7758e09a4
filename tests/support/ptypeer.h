#pragma once

#include <QByteArray>

// The terminal's end of a mocked serial line: the pty master behind the device node.
class PtyPeer
{
public:
    explicit PtyPeer(int masterFd) : fd(masterFd) {}

    bool send(const QByteArray &bytes);
    // Waits at most timeoutMs for `count` bytes; returns what arrived.
    QByteArray receive(int count, int timeoutMs);
    // Discards whatever is waiting.
    void drain();

private:
    int fd;
};
