#include "acklog.h"

#include "app/oserror.h"
#include "writeall.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

AckLog::~AckLog()
{
    if (fd >= 0)
        ::close(fd);
}

QString AckLog::pathFor(const QString &journalPath)
{
    return journalPath + QStringLiteral(".acked");
}

bool AckLog::open(const QString &path, QString &error)
{
    const QByteArray name = QFile::encodeName(path);
    fd = ::open(name.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    struct stat info = {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = QStringLiteral("le fichier des envois confirmés %1 ne peut pas être ouvert : %2")
                    .arg(QDir::toNativeSeparators(path),
                         fd < 0 ? osErrorText(errno)
                                : QStringLiteral("ce n'est pas un fichier ordinaire"));
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        return false;
    }
    (void)::fcntl(fd, F_SETFL, O_RDWR | O_APPEND);
    char last = '\n';
    if (info.st_size > 0 && ::pread(fd, &last, 1, info.st_size - 1) != 1)
        last = '\n';
    lineOpen = last != '\n';
    return true;
}

bool AckLog::append(const QString &id)
{
    if (fd < 0) {
        errno = EBADF;
        return false;
    }
    QByteArray line = id.toUtf8() + '\n';
    if (lineOpen)
        line.prepend('\n');
    const qsizetype written = writeAll(fd, line);
    if (written < line.size()) {
        lineOpen = lineOpen || written > 0;
        return false;
    }
    lineOpen = false;
    return ::fdatasync(fd) == 0;
}

QSet<QString> AckLog::read(const QString &path)
{
    QSet<QString> ids;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return ids;
    QByteArray text = file.readAll();
    // The last line counts only when whole.
    const int end = text.lastIndexOf('\n');
    text.truncate(end + 1);
    for (const QByteArray &line : text.split('\n')) {
        if (!line.isEmpty())
            ids.insert(QString::fromUtf8(line));
    }
    return ids;
}
