#include "regularfile.h"

#include <QFile>
#include <QFileInfo>

#include <new>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace regularfile {
namespace {

#ifdef Q_OS_UNIX
Type typeOf(mode_t mode)
{
    if (S_ISREG(mode))
        return Type::Regular;
    if (S_ISFIFO(mode))
        return Type::Fifo;
    if (S_ISCHR(mode))
        return Type::CharacterDevice;
    if (S_ISBLK(mode))
        return Type::BlockDevice;
    if (S_ISDIR(mode))
        return Type::Directory;
    if (S_ISSOCK(mode))
        return Type::Socket;
    return Type::Other;
}

bool systemFailure(int error, Failure &failure)
{
    failure.reason = error == ENOENT ? Failure::Reason::Missing : Failure::Reason::System;
    failure.system = qt_error_string(error);
    return false;
}
#endif

bool notRegular(Type type, Failure &failure)
{
    failure.reason = Failure::Reason::NotRegular;
    failure.type = type;
    return false;
}

} // namespace

bool open(const QString &path, QFile &file, Failure &failure)
{
    failure = Failure();
    file.setFileName(path);
#ifdef Q_OS_UNIX
    // A look first, which opens nothing: opening a device can act on it (a serial line raises
    // its modem lines), and opening a FIFO for reading waits for a writer.
    const QByteArray name = QFile::encodeName(path);
    struct stat status;
    if (::stat(name.constData(), &status) != 0)
        return systemFailure(errno, failure);
    if (!S_ISREG(status.st_mode))
        return notRegular(typeOf(status.st_mode), failure);
    // The path may have been replaced since: open without blocking, and look again at what
    // was opened.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return systemFailure(errno, failure);
    if (::fstat(fd, &status) != 0) {
        const int error = errno;
        ::close(fd);
        return systemFailure(error, failure);
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        return notRegular(typeOf(status.st_mode), failure);
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK); // no effect on a regular file
    if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        failure.reason = Failure::Reason::System;
        failure.system = file.errorString();
        return false;
    }
    failure.size = status.st_size;
    return true;
#else
    const QFileInfo info(path);
    if (!info.exists()) {
        failure.reason = Failure::Reason::Missing;
        return false;
    }
    if (!info.isFile())
        return notRegular(info.isDir() ? Type::Directory : Type::Other, failure);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        failure.reason = Failure::Reason::System;
        failure.system = file.errorString();
        return false;
    }
    failure.size = file.size();
    return true;
#endif
}

bool read(const QString &path, qint64 limit, QByteArray &data, Failure &failure)
{
    data.clear();
    QFile file;
    if (!open(path, file, failure))
        return false;
    const qint64 size = failure.size;
    failure.limit = limit;
    if (size > limit) {
        failure.reason = Failure::Reason::TooLarge;
        return false;
    }
    try {
        data.resize(int(size));
    } catch (const std::bad_alloc &) {
        failure.reason = Failure::Reason::NoMemory;
        return false;
    }
    // Exactly the size the file had when it was opened: a file that changes while it is read
    // is refused rather than read half old, half new.
    qint64 got = 0;
    while (got < size) {
        const qint64 n = file.read(data.data() + got, size - got);
        if (n <= 0) {
            failure.reason = Failure::Reason::System;
            failure.system = n < 0 ? file.errorString()
                                   : QStringLiteral("the file became shorter while it was read");
            data.clear();
            return false;
        }
        got += n;
    }
    char probe;
    const qint64 more = file.read(&probe, 1);
    if (more != 0) {
        failure.reason = Failure::Reason::System;
        failure.system = more < 0 ? file.errorString()
                                  : QStringLiteral("the file grew while it was read");
        data.clear();
        return false;
    }
    return true;
}

bool readHead(const QString &path, int count, QByteArray &data, Failure &failure)
{
    data.clear();
    QFile file;
    if (!open(path, file, failure))
        return false;
    data = file.read(count);
    if (file.error() != QFileDevice::NoError) {
        failure.reason = Failure::Reason::System;
        failure.system = file.errorString();
        return false;
    }
    return true;
}

QString typeName(Type type)
{
    switch (type) {
    case Type::Regular:
        return QStringLiteral("a regular file");
    case Type::Fifo:
        return QStringLiteral("a FIFO");
    case Type::CharacterDevice:
        return QStringLiteral("a character device");
    case Type::BlockDevice:
        return QStringLiteral("a block device");
    case Type::Directory:
        return QStringLiteral("a directory");
    case Type::Socket:
        return QStringLiteral("a socket");
    case Type::Other:
        break;
    }
    return QStringLiteral("something else");
}

QString describe(const Failure &failure)
{
    switch (failure.reason) {
    case Failure::Reason::None:
        break;
    case Failure::Reason::Missing:
        return QStringLiteral("does not exist");
    case Failure::Reason::NotRegular:
        return QStringLiteral("is not a regular file but %1").arg(typeName(failure.type));
    case Failure::Reason::TooLarge:
        return QStringLiteral("has %1 bytes, more than the %2 bytes that can be read")
            .arg(failure.size)
            .arg(failure.limit);
    case Failure::Reason::NoMemory:
        return QStringLiteral("has %1 bytes, more than the memory available can hold")
            .arg(failure.size);
    case Failure::Reason::System:
        return QStringLiteral("cannot be read: %1").arg(failure.system);
    }
    return QString();
}

QString typeNameFr(Type type)
{
    switch (type) {
    case Type::Regular:
        return QStringLiteral("un fichier ordinaire");
    case Type::Fifo:
        return QStringLiteral("un tube nommé (FIFO)");
    case Type::CharacterDevice:
        return QStringLiteral("un périphérique en mode caractère");
    case Type::BlockDevice:
        return QStringLiteral("un périphérique en mode bloc");
    case Type::Directory:
        return QStringLiteral("un répertoire");
    case Type::Socket:
        return QStringLiteral("une socket");
    case Type::Other:
        break;
    }
    return QStringLiteral("un objet d'un autre type");
}

QString describeFr(const Failure &failure)
{
    switch (failure.reason) {
    case Failure::Reason::None:
        break;
    case Failure::Reason::Missing:
        return QStringLiteral("est introuvable");
    case Failure::Reason::NotRegular:
        return QStringLiteral("n'est pas un fichier ordinaire mais %1").arg(typeNameFr(failure.type));
    case Failure::Reason::TooLarge:
        return QStringLiteral("fait %1 octets, plus que les %2 octets admis")
            .arg(failure.size)
            .arg(failure.limit);
    case Failure::Reason::NoMemory:
        return QStringLiteral("fait %1 octets, plus que la mémoire disponible")
            .arg(failure.size);
    case Failure::Reason::System:
        return QStringLiteral("ne peut pas être lu : %1").arg(failure.system);
    }
    return QString();
}

} // namespace regularfile
