#include "simrig.h"

#include "config/configuration.h"
#include "link/serialport.h"
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

SerialPort &SimRig::port()
{
    return *modelObject->getSerialPort();
}

bool SimRig::open()
{
    return port().open(portLabel);
}

QStringList SimRig::log() const
{
    const QStringList names = QDir(dir.path()).entryList({QStringLiteral("*_logs.txt")});
    QStringList messages;
    if (names.isEmpty())
        return messages;
    QFile file(QDir(dir.path()).filePath(names.first()));
    if (!file.open(QIODevice::ReadOnly))
        return messages;
    const QString text = QString::fromUtf8(file.readAll());
    static const QRegularExpression stamp(
        QStringLiteral("^== \\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d == "),
        QRegularExpression::MultilineOption);
    auto it = stamp.globalMatch(text);
    QList<QRegularExpressionMatch> matches;
    while (it.hasNext())
        matches.append(it.next());
    for (int i = 0; i < matches.size(); ++i) {
        const int from = matches[i].capturedEnd();
        const int to = i + 1 < matches.size() ? matches[i + 1].capturedStart() : text.size();
        messages << text.mid(from, to - from - 1); // without the entry's line break
    }
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

Application *SimRig::application(const QString &path)
{
    applications.append(new Application(path));
    return applications.last();
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
    connect(
        &model, &Model::setModuleProgression, this,
        [this](const QString &text, int value) {
            std::lock_guard<std::mutex> lock(mutex);
            moduleSteps.append({text, value});
        },
        Qt::DirectConnection);
    connect(
        &model, &Model::setTotalProgression, this,
        [this](const QString &text, int value) {
            std::lock_guard<std::mutex> lock(mutex);
            totalSteps.append({text, value});
        },
        Qt::DirectConnection);
}

QList<QPair<QString, int>> ProgressLog::module() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return moduleSteps;
}

QList<QPair<QString, int>> ProgressLog::total() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return totalSteps;
}

QList<int> ProgressLog::totalValues() const
{
    QList<int> values;
    for (const auto &step : total())
        values << step.second;
    return values;
}

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, '\0');
    for (char &c : bytes)
        c = char(random.bounded(256));
    return bytes;
}
