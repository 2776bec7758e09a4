#include "logger.h"

#include "oserror.h"
#include "printable.h"
#include "wallclock.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <cerrno>
#include <map>
#include <mutex>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

// One open log file and the lock that keeps its entries whole.
struct logger::SharedFile
{
    QFile file;
    std::mutex mutex; // std::mutex rather than QMutex: visible to ThreadSanitizer
    QString failure;  // the first failure to open or write, under mutex
};

namespace {

const QString kRule = QStringLiteral("***********************************");

QString failureText(const QString &what, const QString &fileName, const QString &why)
{
    return what + QDir::toNativeSeparators(QFileInfo(fileName).absoluteFilePath()) +
           QStringLiteral(" (") + why + QLatin1Char(')');
}

bool isFifo(const QString &fileName)
{
#ifdef Q_OS_UNIX
    struct stat info = {};
    return ::stat(QFile::encodeName(fileName).constData(), &info) == 0 && S_ISFIFO(info.st_mode);
#else
    Q_UNUSED(fileName);
    return false;
#endif
}

// The log files open in this process, by absolute path; a file closes with its last writer.
std::shared_ptr<logger::SharedFile> openShared(const QString &fileName)
{
    static std::mutex registryMutex;
    static std::map<QString, std::weak_ptr<logger::SharedFile>> registry;
    const QString key = QFileInfo(fileName).absoluteFilePath();
    std::lock_guard<std::mutex> lock(registryMutex);
    if (auto shared = registry[key].lock())
        return shared;
    auto shared = std::make_shared<logger::SharedFile>();
    shared->file.setFileName(fileName);
    // A file that will not open does not stop the program: its entries are lost, and the
    // failure is kept for the program to tell. A FIFO in its place is not opened: that would
    // wait for a reader for ever.
    errno = 0;
    if (isFifo(fileName)) {
        shared->failure = failureText(QStringLiteral("le fichier de log ne peut pas être ouvert : "),
                                      fileName, QStringLiteral("un tube nommé porte ce nom"));
    } else if (!shared->file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        const int error = QFileInfo(fileName).isDir() ? EISDIR : errno;
        shared->failure =
            failureText(QStringLiteral("le fichier de log ne peut pas être ouvert : "), fileName,
                        osErrorText(error));
    }
    registry[key] = shared;
    return shared;
}

} // namespace

const QString logger::startBanner = QLatin1Char('\n') + kRule + QLatin1Char('\n') +
                                    QStringLiteral("Démarrage de l'application") +
                                    QLatin1Char('\n') + kRule + QLatin1Char('\n');
const QString logger::endBanner = QLatin1Char('\n') + kRule + QLatin1Char('\n') +
                                  QStringLiteral("Fin de l'application") + QLatin1Char('\n') +
                                  kRule + QLatin1Char('\n');

logger::logger(QObject *parent, const QString &fileName) : QObject(parent)
{
    if (!fileName.isEmpty())
        file = openShared(fileName);
}

logger::logger(QObject *parent, const Daily &daily) : QObject(parent), folder(daily.folder)
{
    // Opened now, so that a log that cannot be written is known before anything happens.
    file = openShared(dailyFileName(folder, wallclock::now().date()));
}

logger::~logger() = default;

QString logger::dailyFileName(const QString &folder, const QDate &day)
{
    return folder + QDir::separator() + day.toString(QStringLiteral("yyyyMMdd")) +
           QStringLiteral("_logs.txt");
}

QString logger::formatEntry(const QString &value)
{
    return formatEntry(value, wallclock::now());
}

QString logger::formatEntry(const QString &value, const QDateTime &at)
{
    return QStringLiteral("== ") + at.toString(QStringLiteral("dd/MM/yyyy hh:mm:ss")) +
           QStringLiteral(" == ") + printable::lines(value) + QLatin1Char('\n');
}

QString logger::failure() const
{
    std::shared_ptr<SharedFile> current;
    QString earlier;
    {
        std::lock_guard<std::mutex> lock(choosing);
        current = file;
        earlier = earlierFailure;
    }
    if (!current)
        return earlier;
    std::lock_guard<std::mutex> lock(current->mutex);
    return current->failure.isEmpty() ? earlier : current->failure;
}

std::shared_ptr<logger::SharedFile> logger::fileFor(const QDateTime &at)
{
    std::lock_guard<std::mutex> lock(choosing);
    if (folder.isEmpty() || !file)
        return file;
    const QString name = dailyFileName(folder, at.date());
    if (file->file.fileName() != name) {
        // A new day: the day before's file closes with its last writer.
        {
            std::lock_guard<std::mutex> fileLock(file->mutex);
            if (earlierFailure.isEmpty())
                earlierFailure = file->failure;
        }
        file = openShared(name);
    }
    return file;
}

void logger::write(const QString &value)
{
    write(value, wallclock::now());
}

void logger::write(const QString &value, const QDateTime &at)
{
    const std::shared_ptr<SharedFile> file = fileFor(at);
    if (!file)
        return;
    std::lock_guard<std::mutex> lock(file->mutex);
    if (!file->file.isOpen())
        return;
    QTextStream stream(&file->file);
    stream.setCodec("UTF-8");
    stream.setGenerateByteOrderMark(false);
    stream << formatEntry(value, at);
    // Into the file now, while the lock is held; the first entry that does not reach it (a
    // full disk) is remembered.
    errno = 0;
    stream.flush();
    const bool written = stream.status() == QTextStream::Ok && file->file.flush();
    if (!written && file->failure.isEmpty())
        file->failure =
            failureText(QStringLiteral("le fichier de log ne peut pas être écrit : "),
                        file->file.fileName(), osErrorText(errno));
}
