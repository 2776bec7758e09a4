#include "model.h"

#include "app/logger.h"
#include "config/configuration.h"
#include "frames.h"
#include "link/serialport.h"

#include <QDate>
#include <QDir>

Model::Timing Model::initialTiming;

Model::Model()
    : QObject(nullptr), configuration(std::make_shared<Configuration>()), serialPort(new SerialPort)
{
    logFolder = QDir::currentPath();
    const QString logName = logFolder + QDir::separator() +
                            QDate::currentDate().toString(QStringLiteral("yyyyMMdd")) +
                            QStringLiteral("_logs.txt");
    logger = new ::logger(this, logName);
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

void Model::log(const QString &text)
{
    logger->write(logPrefix + text);
    capture.add(logPrefix + text);
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
