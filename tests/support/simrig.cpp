#include "simrig.h"

#include "config/configuration.h"
#include "mockbed.h"
#include "sealing.h"
#include "testseam.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>

Model::Timing SimRig::fastTiming()
{
    Model::Timing timing;
    timing.requestDelayMs = 2;
    timing.shortDelayMs = 1;
    timing.perFileActivationMs = 2;
    timing.hterminalDelayMs = 2;
    timing.replyTimeoutMs = 400;
    timing.finalAckTimeoutMs = 400;
    timing.releaseTimeoutMs = 200;
    timing.applicationPauseMs = 1;
    timing.rebootWaitMinMs = 300;
    timing.rebootStepMs = 50;
    timing.searchPauseMs = 10;
    return timing;
}

SimRig::SimRig(const sim::Behaviour &behaviour, const Model::Timing &timing)
    : previousDir(QDir::currentPath()),
      deviceName("ttyACM" + std::to_string(QCoreApplication::applicationPid())),
      portLabel(QString::fromStdString(deviceName) + QStringLiteral(" - (Terminal USB)")),
      bed(std::make_unique<mockbed::Testbed>()), simulator(behaviour)
{
    mockbed::Device device;
    device.name = deviceName;
    if (!dir.isValid() || !QDir::setCurrent(dir.path()) || !bed->add(device))
        return;
    const int master = bed->masterFd(deviceName);
    if (master < 0 || !simulator.start(master, true))
        return;
    modelObject = std::make_unique<Model>(nullptr); // its log file goes to the working directory
    TestSeam::setTiming(*modelObject, timing);
    started = true;
}

SimRig::~SimRig()
{
    modelObject.reset(); // closes the port
    simulator.stop();
    bed.reset();
    qDeleteAll(applications);
    QDir::setCurrent(previousDir);
}

QStringList SimRig::log() const
{
    const QStringList names = QDir(dir.path()).entryList({QStringLiteral("*_logs.txt")});
    QFile file(QDir(dir.path()).filePath(names.value(0)));
    if (names.isEmpty() || !file.open(QIODevice::ReadOnly))
        return {};
    // Each entry: a date stamp at the start of a line, the message, a line break.
    static const QRegularExpression stamp(
        QStringLiteral("(^|\n)== \\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d == "));
    QStringList messages = QString::fromUtf8(file.readAll()).split(stamp);
    messages.removeFirst(); // nothing comes before the first entry
    if (!messages.isEmpty())
        messages.last().chop(1);
    return messages;
}

QString SimRig::writeFile(const QString &name, const QByteArray &bytes) const
{
    const QString path = QDir(dir.path()).filePath(name);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    return path;
}

QString SimRig::writeSealed(const QString &name, const QByteArray &plain) const
{
    return writeFile(name, sealing::seal(plain));
}

void SimRig::addBatch(const QList<QPair<QString, QByteArray>> &files)
{
    auto *batch = new Batch;
    batch->id = modelObject->getConfiguration()->batches.size() + 1;
    for (const auto &file : files)
        batch->files.append(new Application(writeSealed(file.first, file.second)));
    modelObject->getConfiguration()->batches.append(batch);
}

void SimRig::acceptTerminal()
{
    const QByteArray record = simulator.behaviour().record;
    auto *hterm = new HTerminal;
    for (int i = 0; i < 3; ++i)
        hterm->record[8 + i] = quint8(record[10 + i]);
    modelObject->getConfiguration()->hterms.append(hterm);
}

ProgressLog::ProgressLog(Model &model)
{
    const auto keep = [this](QList<QPair<QString, int>> &steps) {
        return [this, &steps](const QString &text, int value) {
            std::lock_guard<std::mutex> lock(mutex);
            steps.append({text, value});
        };
    };
    connect(&model, &Model::setModuleProgression, this, keep(moduleSteps), Qt::DirectConnection);
    connect(&model, &Model::setTotalProgression, this, keep(totalSteps), Qt::DirectConnection);
}

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, '\0');
    for (char &c : bytes)
        c = char(random.bounded(256));
    return bytes;
}
