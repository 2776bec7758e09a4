#include "simrig.h"

#include "config/configuration.h"
#include "mockbed.h"
#include "options.h"
#include "replies.h"
#include "sealing.h"
#include "model/model.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTest>

Model::Timing SimRig::fastTiming()
{
    Model::Timing t;
    t.requestDelayMs = t.perFileActivationMs = t.hterminalDelayMs = 2;
    t.shortDelayMs = t.applicationPauseMs = 1;
    t.replyTimeoutMs = t.finalAckTimeoutMs = 400;
    t.releaseTimeoutMs = 200;
    t.rebootWaitMinMs = 1500;
    t.rebootStepMs = 50;
    t.rebootTryTimeoutMs = 1000; // a terminal that answers late under load has not restarted
    t.searchPauseMs = 10;
    t.settleMs = 1000; // a block acknowledged 2500 ms late comes within it after a 2000 ms time-out
    t.openRetryMs = 200;
    return t;
}

SimRig::SimRig(const sim::Behaviour &behaviour, const Model::Timing &timing)
    : previousDir(QDir::currentPath()), bed(std::make_unique<mockbed::Testbed>()),
      simulator(behaviour)
{
    mockbed::Device device;
    device.name = "ttyACM" + std::to_string(QCoreApplication::applicationPid());
    portLabel = QString::fromStdString(device.name) + QStringLiteral(" - (Terminal USB)");
    if (!dir.isValid() || !QDir::setCurrent(dir.path()) || !bed->add(device))
        return;
    const int master = bed->masterFd(device.name);
    if (master < 0 || !simulator.start(master, true))
        return;
    modelObject = std::make_unique<Model>(); // its log file goes to the working directory
    modelObject->setTimingForTests(timing);
    ownPackage = std::make_shared<Configuration>();
    modelObject->usePackage(ownPackage);
}

SimRig::~SimRig()
{
    modelObject.reset(); // closes the port
    ownPackage.reset();
    simulator.stop();
    bed.reset();
    QDir::setCurrent(previousDir);
}

QStringList SimRig::log() const
{
    const QStringList names = QDir(dir.path()).entryList({QStringLiteral("*_logs.txt")});
    return names.isEmpty() ? QStringList() : logMessages(QDir(dir.path()).filePath(names.first()));
}

QString SimRig::writeFile(const QString &name, const QByteArray &bytes) const
{
    QFile file(QDir(dir.path()).filePath(name));
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    return file.fileName();
}

void SimRig::addBatch(const QList<QPair<QString, QByteArray>> &files)
{
    auto *batch = new Batch;
    batch->id = ownPackage->batches.size() + 1;
    for (const auto &file : files) {
        auto *application = new Application(writeFile(file.first, sealing::seal(file.second)));
        readContent(*application);
        batch->files.append(application);
    }
    ownPackage->batches.append(batch);
}

void SimRig::readContent(Application &file)
{
    QByteArray bytes;
    regularfile::Failure failure;
    if (regularfile::read(file.path, SealedFile::kMaxFileSize, bytes, failure))
        file.setContent(bytes);
    else
        file.setUnreadable(failure);
}

void SimRig::acceptTerminal()
{
    const QByteArray record = simulator.behaviour().record;
    auto *hterm = new HTerminal;
    for (int i = 0; i < 3; ++i)
        hterm->record[8 + i] = quint8(record[10 + i]);
    ownPackage->hterms.append(hterm);
}

sim::Behaviour quickTerminal()
{
    sim::Behaviour behaviour;
    behaviour.restartAfterMs = 40;
    behaviour.rebootSilenceMs = 250;
    return behaviour;
}

sim::Behaviour behaviourOf(const QString &words)
{
    sim::Options options;
    QString error;
    // The parser wants to know where the terminal is served; nothing is opened here.
    const QString restart = QStringLiteral("--restart-after %1 --reboot-silence %2 ")
                                .arg(quickTerminal().restartAfterMs)
                                .arg(quickTerminal().rebootSilenceMs);
    const QStringList all = (restart + words + QStringLiteral(" --tty -"))
                                .split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QTest::qVerify(sim::parseOptions(all, options, error), "parseOptions", qPrintable(error),
                   __FILE__, __LINE__);
    return options.behaviour;
}

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, '\0');
    for (char &c : bytes)
        c = char(random.bounded(256));
    return bytes;
}
