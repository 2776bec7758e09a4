#include "appendfile.h"

#include "system/oserror.h"
#include "system/savedfile.h"
#include "writeall.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

AppendFile::~AppendFile()
{
    if (fd >= 0)
        ::close(fd);
}

bool AppendFile::open(const QString &path, const QString &what, QString &error)
{
    fileName = path;
    name = what;
    const QString shown = QDir::toNativeSeparators(path);
    const auto refuse = [&](const QString &why) {
        error = QStringLiteral("%1 %2 ne peut pas être ouvert : %3").arg(what, shown, why);
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        return false;
    };
    QString linked;
    if (savedfile::isLink(path, linked))
        return refuse(linked);
    const QByteArray bytes = QFile::encodeName(path);
    struct stat before = {};
    const bool existed = ::lstat(bytes.constData(), &before) == 0;
    if (existed && S_ISDIR(before.st_mode))
        return refuse(osErrorText(EISDIR));
    if (existed && !S_ISREG(before.st_mode))
        return refuse(QStringLiteral("ce n'est pas un fichier ordinaire"));
    // Without blocking: a FIFO put in its place meanwhile would wait for a reader for ever (it
    // is refused below, being no file); a link put there meanwhile fails with ELOOP.
    fd = ::open(bytes.constData(),
                O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0644);
    if (fd < 0) {
        const int why = errno;
        if (why == ELOOP && savedfile::isLink(path, linked))
            return refuse(linked);
        return refuse(osErrorText(why));
    }
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return refuse(QStringLiteral("ce n'est pas un fichier ordinaire"));
    (void)::fcntl(fd, F_SETFL, O_RDWR | O_APPEND);
    if (!existed)
        savedfile::syncFolderOf(path);
    // Does the file end with a whole line?
    char last = '\n';
    if (info.st_size > 0 && ::pread(fd, &last, 1, info.st_size - 1) != 1)
        last = '\n';
    lineOpen = last != '\n';
    return true;
}

bool AppendFile::append(const QByteArray &line, QString &error)
{
    const QString shown = QDir::toNativeSeparators(fileName);
    if (fd < 0) {
        errno = EBADF;
        error = QStringLiteral("%1 %2 n'est pas ouvert").arg(name, shown);
        return false;
    }
    QByteArray bytes = line + '\n';
    if (lineOpen)
        bytes.prepend('\n');
    // One write for the whole line: with O_APPEND it lands after whatever the file holds, and
    // a process killed meanwhile leaves either all of it or nothing.
    errno = 0;
    const qsizetype written = writeAll(fd, bytes);
    if (written < bytes.size()) {
        const int why = errno != 0 ? errno : EIO;
        error = QStringLiteral("%1 %2 ne peut pas être écrit : %3")
                    .arg(name, shown, osErrorText(why));
        lineOpen = lineOpen || written > 0;
        errno = why;
        return false;
    }
    lineOpen = false;
    if (::fdatasync(fd) != 0) {
        const int why = errno;
        error = QStringLiteral("%1 %2 ne peut pas être mis sur le disque : %3")
                    .arg(name, shown, osErrorText(why));
        errno = why;
        return false;
    }
    return true;
}
