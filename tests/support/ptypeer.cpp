#include "ptypeer.h"

#include <QElapsedTimer>

#include <poll.h>
#include <unistd.h>

bool PtyPeer::send(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

QByteArray PtyPeer::receive(int count, int timeoutMs)
{
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (out.size() < count) {
        const int left = timeoutMs - int(timer.elapsed());
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, left) <= 0)
            break;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, size_t(qMin<int>(count - out.size(), sizeof buffer)));
        if (n <= 0)
            break;
        out.append(buffer, int(n));
    }
    return out;
}

void PtyPeer::drain()
{
    char buffer[4096];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
        if (::read(fd, buffer, sizeof buffer) <= 0)
            break;
    }
}
