#pragma once

#include <QByteArray>

#include <cerrno>
#include <unistd.h>

// Writes the whole of `bytes` to `fd`, again after an interruption; returns how many bytes
// went, fewer than all when the descriptor refused more (errno then says why).
inline qsizetype writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}
