#include "savedfile.h"

#include "oserror.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace savedfile {

namespace {

qint64 writeAll(int fd, const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            break;
        }
        done += n;
    }
    return done;
}

} // namespace

bool isLink(const QString &path, QString &error)
{
    struct stat info = {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISLNK(info.st_mode))
        return false;
    error = QStringLiteral("%1 est un lien symbolique (vers %2) : rien n'est écrit à travers un "
                           "lien ; supprimez-le, ou donnez le fichier qu'il désigne")
                .arg(QDir::toNativeSeparators(path),
                     QDir::toNativeSeparators(QFileInfo(path).symLinkTarget()));
    return true;
}

void syncFolderOf(const QString &path)
{
    const int dir = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
}

bool write(const QString &path, const QByteArray &bytes, Existing existing, QString &error,
           bool *taken)
{
    if (taken)
        *taken = false;
    const QByteArray target = QFile::encodeName(path);
    struct stat before = {};
    const bool exists = ::lstat(target.constData(), &before) == 0;
    if (exists && S_ISLNK(before.st_mode)) {
        (void)isLink(path, error);
        if (taken)
            *taken = existing == Existing::Keep;
        return false;
    }
    if (exists && (existing == Existing::Keep || !S_ISREG(before.st_mode))) {
        error = existing == Existing::Keep ? QStringLiteral("un fichier porte déjà ce nom")
                                           : QStringLiteral("ce n'est pas un fichier ordinaire");
        if (taken)
            *taken = existing == Existing::Keep;
        return false;
    }
    const auto failed = [&](const QString &step, int cause) {
        error = QStringLiteral("%1 (%2)").arg(osErrorText(cause), step);
        return false;
    };
    QByteArray temporary = target + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return failed(QStringLiteral("à la création d'un fichier à côté"), errno);
    // A new file gets the mode an ordinary one would; a replaced one keeps its own.
    mode_t mode = 0;
    if (exists) {
        mode = before.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    int cause = 0;
    QString step;
    if (::fchmod(fd, mode) != 0) {
        cause = errno;
        step = QStringLiteral("en fixant ses droits");
    } else if (writeAll(fd, bytes) < bytes.size()) {
        cause = errno;
        step = QStringLiteral("à l'écriture");
    } else if (::fsync(fd) != 0) {
        cause = errno;
        step = QStringLiteral("à la mise sur le disque");
    }
    if (::close(fd) != 0 && cause == 0) {
        cause = errno;
        step = QStringLiteral("à la fermeture");
    }
    if (cause == 0) {
        if (existing == Existing::Replace) {
            if (::rename(temporary.constData(), target.constData()) != 0) {
                cause = errno;
                step = QStringLiteral("à la mise en place");
            }
        } else if (::link(temporary.constData(), target.constData()) != 0) {
            cause = errno;
            step = QStringLiteral("à la mise en place");
            if (cause == EEXIST && taken)
                *taken = true;
        }
    }
    if (cause != 0 || existing == Existing::Keep)
        (void)::unlink(temporary.constData());
    if (cause != 0) {
        if (cause == EEXIST)
            error = QStringLiteral("un fichier porte déjà ce nom");
        else
            failed(step, cause);
        return false;
    }
    syncFolderOf(path);
    return true;
}

} // namespace savedfile
