#include "model.h"

#include "config/configuration.h"
#include "link/serialport.h"
#include "model/installation/logtexts.h"
#include "model/protocol/frames.h"
#include "system/logger.h"
#include "system/wallclock.h"

#include <QDate>
#include <QDir>
#include <QLoggingCategory>

#include <cstdio>

namespace {

// Every wait, by its name in a timing text.
struct NamedWait
{
    const char *name;
    int Model::Timing::*wait;
};
constexpr NamedWait kWaits[] = {
    {"requestDelayMs", &Model::Timing::requestDelayMs},
    {"shortDelayMs", &Model::Timing::shortDelayMs},
    {"perFileActivationMs", &Model::Timing::perFileActivationMs},
    {"hterminalDelayMs", &Model::Timing::hterminalDelayMs},
    {"replyTimeoutMs", &Model::Timing::replyTimeoutMs},
    {"finalAckTimeoutMs", &Model::Timing::finalAckTimeoutMs},
    {"releaseTimeoutMs", &Model::Timing::releaseTimeoutMs},
    {"applicationPauseMs", &Model::Timing::applicationPauseMs},
    {"rebootWaitMinMs", &Model::Timing::rebootWaitMinMs},
    {"rebootStepMs", &Model::Timing::rebootStepMs},
    {"rebootTryTimeoutMs", &Model::Timing::rebootTryTimeoutMs},
    {"searchPauseMs", &Model::Timing::searchPauseMs},
    {"settleMs", &Model::Timing::settleMs},
    {"openRetryMs", &Model::Timing::openRetryMs},
    {"exactReadTimeoutMs", &Model::Timing::exactReadTimeoutMs},
};

Model::Timing startingTiming()
{
    Model::Timing timing;
#ifdef VARDEL_TEST_TIMINGS
    // The test suite's seam: compiled only into its own builds (the Debian package check looks
    // for this name in what it ships). A text that cannot be read stops the program at once
    // rather than letting it run with waits nobody asked for.
    const QString text = qEnvironmentVariable("VARDEL_TEST_TIMINGS");
    QString error;
    if (!text.isEmpty() && !timing.apply(text, error)) {
        std::fprintf(stderr, "VARDEL_TEST_TIMINGS: %s\n", qPrintable(error));
        std::_Exit(125);
    }
#endif
    return timing;
}

} // namespace

Model::Timing Model::initialTiming = startingTiming();

bool Model::Timing::apply(const QString &text, QString &error)
{
    Timing changed = *this;
    for (const QString &item : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const int equals = item.indexOf(QLatin1Char('='));
        const QString name = item.left(equals).trimmed();
        bool number = false;
        const int value = equals < 0 ? -1 : item.mid(equals + 1).trimmed().toInt(&number);
        const NamedWait *known = nullptr;
        for (const NamedWait &wait : kWaits)
            known = name == QLatin1String(wait.name) ? &wait : known;
        if (!known) {
            error = QStringLiteral("unknown wait \"%1\"").arg(name);
            return false;
        }
        if (!number || value < 0) {
            error = QStringLiteral("\"%1\" is not a number of milliseconds").arg(item);
            return false;
        }
        changed.*(known->wait) = value;
    }
    *this = changed;
    return true;
}

Model::Timing Model::defaultTiming()
{
    return initialTiming;
}

Model::Model()
    : QObject(nullptr), configuration(std::make_shared<Configuration>()), serialPort(new SerialPort)
{
    // The log of the working directory, one file per day: past midnight, entries go to the new
    // day's file.
    logFolder = QDir::currentPath();
    logger = new ::logger(this, ::logger::Daily{logFolder});
    timing = initialTiming;
    serialPort->setReadTimeout(timing.exactReadTimeoutMs);
    serialPort->setObserver(&recorder);
    qRegisterMetaType<InstallProgress>();
    qRegisterMetaType<InstallResult>();
}

Model::~Model()
{
    delete serialPort;
}

void Model::setTimingForTests(const Timing &waits)
{
    timing = waits;
    serialPort->setReadTimeout(timing.exactReadTimeoutMs);
}

void Model::log(const QString &text)
{
    write(logPrefix + text, false);
}

void Model::logProgress(const QString &bar, const QString &text, int value)
{
    write(logPrefix + logtexts::progress(bar, text, value), true);
}

void Model::write(const QString &text, bool progress)
{
    // One time for the file and for the report's copy: the same stamp, the same day's file.
    const QDateTime at = wallclock::now();
    logger->write(text, at);
    capture.add(text, at, progress);
}

QString Model::logFailure() const
{
    return logger->failure();
}

bool Model::commandFailed(FailureCause cause, const QString &logLine)
{
    log(logLine);
    failure = cause;
    return false;
}

QString Model::getImage() const
{
    return package()->getImage();
}

QByteArray Model::getPicture() const
{
    return package()->terminal->picture;
}

QString Model::getTitle() const
{
    return package()->getTitle();
}

QString Model::getDescription() const
{
    return package()->getDescription();
}

QStringList Model::getFoundTerminals() const
{
    return serialPort->getPorts();
}

int Model::getPreferredIndex() const
{
    return serialPort->getPreferredIndex();
}

void Model::computeCrc(quint8 *buffer, int n)
{
    const quint16 crc = frame::crc16(buffer, n);
    buffer[n] = static_cast<quint8>(crc & 0xFF);
    buffer[n + 1] = static_cast<quint8>(crc >> 8);
}

bool Model::checkCrc(quint8 *buffer, int n)
{
    const quint8 low = buffer[n];
    const quint8 high = buffer[n + 1];
    computeCrc(buffer, n);
    return buffer[n] == low && buffer[n + 1] == high;
}
