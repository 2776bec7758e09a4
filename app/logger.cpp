#include "logger.h"

#include <QDateTime>
#include <QFile>
#include <QTextStream>

namespace {
const QString kRule = QStringLiteral("***********************************");
}

const QString logger::startBanner = QLatin1Char('\n') + kRule + QLatin1Char('\n') +
                                    QStringLiteral("Démarrage de l'application") +
                                    QLatin1Char('\n') + kRule + QLatin1Char('\n');
const QString logger::endBanner = QLatin1Char('\n') + kRule + QLatin1Char('\n') +
                                  QStringLiteral("Fin de l'application") + QLatin1Char('\n') +
                                  kRule + QLatin1Char('\n');

logger::logger(QObject *parent, const QString &fileName) : QObject(parent)
{
    if (fileName.isEmpty())
        return;
    file = new QFile(fileName, this);
    // Not checked on purpose: a log that cannot be opened must not stop the program.
    (void)file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
}

logger::~logger()
{
    if (file)
        file->close();
}

QString logger::formatEntry(const QString &value)
{
    return QStringLiteral("== ") +
           QDateTime::currentDateTime().toString(QStringLiteral("dd/MM/yyyy hh:mm:ss")) +
           QStringLiteral(" == ") + value + QLatin1Char('\n');
}

void logger::write(const QString &value)
{
    if (!file || !file->isOpen())
        return;
    std::lock_guard<std::mutex> lock(writeMutex);
    QTextStream stream(file);
    stream.setCodec("UTF-8");
    stream.setGenerateByteOrderMark(false);
    stream << formatEntry(value);
    // The stream flushes into the file when it goes out of scope, while the lock is still held.
}
