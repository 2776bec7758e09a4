#pragma once

#include <QByteArray>

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
        QByteArray out(count, '\0');
        int got = 0;
        pollfd p{fd, POLLIN, 0};
        while (got<count && ::poll(&p, 1, timeoutMs)> 0) {
            const ssize_t n = ::read(fd, out.data() + got, size_t(count - got));
            if (n <= 0)
                break;
            got += int(n);
        }
        return out.left(got);
    }

private:
    int fd;
};
