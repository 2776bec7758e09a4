#pragma once

#include <QByteArray>

#include <algorithm>
#include <climits>

#include <poll.h>
#include <unistd.h>

// The terminal's end of a mocked serial line: the pty master behind the device node.
class PtyPeer
{
public:
    explicit PtyPeer(int masterFd) : fd(masterFd) {}

    bool send(const QByteArray &bytes)
    {
        return ::write(fd, bytes.constData(), size_t(bytes.size())) == ssize_t(bytes.size());
    }
    // Waits at most timeoutMs between chunks for `count` bytes; returns what arrived.
    QByteArray receive(int count, int timeoutMs)
    {
        QByteArray out;
        char buffer[4096];
        pollfd p{fd, POLLIN, 0};
        while (out.size() < count && ::poll(&p, 1, timeoutMs) > 0) {
            const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, size_t(count - out.size())));
            if (n <= 0)
                break;
            out.append(buffer, int(n));
        }
        return out;
    }
    // Discards whatever is waiting.
    void drain() { receive(INT_MAX, 0); }

private:
    int fd;
};
