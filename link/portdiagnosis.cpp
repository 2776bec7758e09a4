#include "portdiagnosis.h"

#include "portinfo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSet>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstring>

qint64 PortDiagnosis::lockFilePid(const QByteArray &content)
{
    // Binary: four bytes, not all of them text.
    if (content.size() == 4 && !content.contains('\n') &&
        !std::all_of(content.begin(), content.end(), [](char c) { return c >= ' ' && c <= '~'; })) {
        qint32 binary = 0;
        std::memcpy(&binary, content.constData(), sizeof binary);
        return binary > 0 ? binary : 0;
    }
    // Text: the first word of the first line ("4321", "      4321", "4321 minicom root").
    const int end = content.indexOf('\n');
    const QByteArray line = (end < 0 ? content : content.left(end)).simplified();
    bool ok = false;
    const qint64 pid = line.split(' ').constFirst().toLongLong(&ok);
    return ok && pid > 0 ? pid : 0;
}

#ifdef Q_OS_UNIX

namespace {

Q_LOGGING_CATEGORY(lcDiagnosis, "vardel.portdiagnosis")

// Folders where serial programs put their lock files (LCK..NAME); Qt's serial port uses the
// first writable one of these.
const char *const kLockFolders[] = {"/var/lock",         "/etc/locks", "/var/spool/locks",
                                    "/var/spool/uucp",   "/tmp",       "/var/tmp",
                                    "/var/lock/lockdev", "/run/lock"};

QString processName(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(comm.readLine().trimmed());
}

bool processAlive(qint64 pid)
{
    // EPERM: the process exists but belongs to someone else.
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// A lock file of a live process for this port, in any of the usual folders.
bool findLockHolder(const QString &portName, PortDiagnosis &diagnosis)
{
    QSet<QString> seen;
    for (const char *folder : kLockFolders) {
        const QString path =
            QFileInfo(QString::fromLatin1(folder) + QStringLiteral("/LCK..") + portName)
                .canonicalFilePath();
        if (path.isEmpty() || seen.contains(path))
            continue;
        seen.insert(path);
        QFile lock(path);
        if (!lock.open(QIODevice::ReadOnly))
            continue;
        const QByteArray content = lock.read(256);
        const qint64 pid = PortDiagnosis::lockFilePid(content);
        qCDebug(lcDiagnosis) << "lock file" << path << "names process" << pid;
        if (pid == 0 || !processAlive(pid))
            continue; // stale: the next open removes it
        diagnosis.holderPid = pid;
        diagnosis.holderName = processName(pid);
        if (diagnosis.holderName.isEmpty()) // Qt writes the program's name on the second line
            diagnosis.holderName = QString::fromUtf8(content.split('\n').value(1).trimmed());
        return true;
    }
    return false;
}

// The process that has the device `node` open, looked for in every process's open files (the
// system shows another user's only to root), else a running ModemManager, which opens new
// ports exclusively to probe them.
void findOpenHolder(dev_t node, PortDiagnosis &diagnosis)
{
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    QString modemManager;
    for (const QString &pid : pids) {
        bool numeric = false;
        const qint64 id = pid.toLongLong(&numeric);
        if (!numeric || id == ::getpid())
            continue;
        const QString fdFolder = QStringLiteral("/proc/") + pid + QStringLiteral("/fd/");
        const QStringList fds = QDir(fdFolder).entryList(QDir::AllEntries | QDir::System |
                                                         QDir::Hidden | QDir::NoDotAndDotDot);
        for (const QString &fd : fds) {
            struct stat target;
            if (::stat(QFile::encodeName(fdFolder + fd).constData(), &target) == 0 &&
                S_ISCHR(target.st_mode) && target.st_rdev == node) {
                diagnosis.holderPid = id;
                diagnosis.holderName = processName(id);
                return;
            }
        }
        if (modemManager.isEmpty() && processName(id) == QLatin1String("ModemManager"))
            modemManager = pid;
    }
    if (!modemManager.isEmpty()) {
        diagnosis.holderPid = modemManager.toLongLong();
        diagnosis.holderName = QStringLiteral("ModemManager");
        diagnosis.holderGuessed = true;
    }
}

void describeAccess(const struct stat &node, PortDiagnosis &diagnosis)
{
    // The reentrant look-ups: other threads may be asking the user database too.
    char buffer[16384];
    // access(2) judges by the real user, so name that one.
    passwd user;
    passwd *foundUser = nullptr;
    diagnosis.user =
        ::getpwuid_r(::getuid(), &user, buffer, sizeof buffer, &foundUser) == 0 && foundUser
            ? QString::fromLocal8Bit(user.pw_name)
            : QString::number(::getuid());
    group owner;
    group *foundGroup = nullptr;
    diagnosis.group =
        ::getgrgid_r(node.st_gid, &owner, buffer, sizeof buffer, &foundGroup) == 0 && foundGroup
            ? QString::fromLocal8Bit(owner.gr_name)
            : QString::number(node.st_gid);
    diagnosis.groupMayUse = (node.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
}

// The status of the device node itself when `path` is a link to it (as a mocked device's node
// is): its own owner, mode and device number. A link is followed by hand, one step, because
// stat() may report the link's own mode for a mocked node.
bool nodeStatus(const QByteArray &path, struct stat &node)
{
    char target[PATH_MAX];
    const ssize_t length = ::readlink(path.constData(), target, sizeof target - 1);
    if (length <= 0)
        return ::stat(path.constData(), &node) == 0;
    target[length] = '\0';
    QByteArray resolved(target);
    if (!resolved.startsWith('/'))
        resolved = path.left(path.lastIndexOf('/') + 1) + resolved;
    return ::stat(resolved.constData(), &node) == 0;
}

bool listed(const QString &portName)
{
    const QList<PortInfo> available = PortInfo::available();
    for (const PortInfo &info : available)
        if (info.name == portName)
            return true;
    return false;
}

} // namespace

qint64 PortDiagnosis::findProcess(const QString &name)
{
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (numeric && processName(pid) == name)
            return pid;
    }
    return 0;
}

PortDiagnosis PortDiagnosis::of(const QString &portName)
{
    PortDiagnosis diagnosis;
    diagnosis.device = QStringLiteral("/dev/") + portName;
    const QByteArray path = QFile::encodeName(diagnosis.device);

    struct stat node;
    if (!nodeStatus(path, node) || !listed(portName)) {
        diagnosis.cause = Cause::Gone;
        return diagnosis;
    }
    if (findLockHolder(portName, diagnosis)) {
        diagnosis.cause = Cause::Busy;
        return diagnosis;
    }
    if (::access(path.constData(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM)) {
        describeAccess(node, diagnosis);
        diagnosis.cause = Cause::NoPermission;
        return diagnosis;
    }
    // The node's own answer. No configuration is applied, and the descriptor is closed at once.
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const int error = errno;
    if (fd >= 0) {
        ::close(fd);
        return diagnosis; // it opens now: the cause has passed
    }
    qCDebug(lcDiagnosis) << "open" << diagnosis.device << "fails:" << std::strerror(error);
    switch (error) {
    case EBUSY:
        findOpenHolder(node.st_rdev, diagnosis);
        diagnosis.cause = Cause::Busy;
        break;
    case EACCES:
    case EPERM:
        describeAccess(node, diagnosis);
        diagnosis.cause = Cause::NoPermission;
        break;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        diagnosis.cause = Cause::Gone;
        break;
    default:
        break;
    }
    return diagnosis;
}

#else

PortDiagnosis PortDiagnosis::of(const QString &portName)
{
    PortDiagnosis diagnosis;
    diagnosis.device = portName;
    return diagnosis;
}

qint64 PortDiagnosis::findProcess(const QString &)
{
    return 0;
}

#endif
