#include "logger.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <map>
#include <mutex>

// One open log file and the lock that keeps its entries whole.
struct logger::SharedFile
{
    QFile file;
    std::mutex mutex; // std::mutex rather than QMutex: visible to ThreadSanitizer
};

namespace {

const QString kRule = QStringLiteral("***********************************");

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
    // Not checked on purpose: a log that cannot be opened must not stop the program.
    (void)shared->file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
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

logger::~logger() = default;

QString logger::formatEntry(const QString &value)
{
    return QStringLiteral("== ") +
           QDateTime::currentDateTime().toString(QStringLiteral("dd/MM/yyyy hh:mm:ss")) +
           QStringLiteral(" == ") + value + QLatin1Char('\n');
}

void logger::write(const QString &value)
{
    if (!file)
        return;
    std::lock_guard<std::mutex> lock(file->mutex);
    if (!file->file.isOpen())
        return;
    QTextStream stream(&file->file);
    stream.setCodec("UTF-8");
    stream.setGenerateByteOrderMark(false);
    stream << formatEntry(value);
    // The stream flushes into the file when it goes out of scope, while the lock is still held.
}
