#pragma once

#include "behaviour.h"
#include "config/records.h"
#include "link/serialport.h"
#include "model/model.h"
#include "terminal.h"

#include <QPair>
#include <QTemporaryDir>

#include <memory>

class Configuration;

namespace mockbed {
class Testbed;
}

// A terminal that restarts as fastTiming() expects: 40 ms after the program's second reboot
// frame (before the wait's first try, a step of 50 ms later), deaf for 250 ms, so that tries
// find it silent whatever the load, then back within the wait.
sim::Behaviour quickTerminal();

// A Model wired to a simulated terminal over a mocked serial device, in a temporary working
// directory of its own (where the Model writes its log file). The waits are short.
class SimRig
{
public:
    // The Model's waits for tests: replies come within milliseconds from the simulator.
    static Model::Timing fastTiming();

    explicit SimRig(const sim::Behaviour &behaviour = quickTerminal(),
                    const Model::Timing &timing = fastTiming());
    ~SimRig();

    bool ready() const { return modelObject != nullptr; }
    Model &model() { return *modelObject; }
    SerialPort &port() { return *modelObject->getSerialPort(); }
    sim::Terminal &terminal() { return simulator; }
    sim::Record record() const { return simulator.record(); }
    // The mocked device's port label. Its name is this process's own: QSerialPort locks a
    // port by its name (LCK..NAME), so tests running side by side must not share one.
    QString label() const { return portLabel; }
    bool open() { return port().open(portLabel); }

    // The messages of the log file, in order, without their date stamps.
    QStringList log() const;
    // A file of these bytes in the working directory; returns its path.
    QString writeFile(const QString &name, const QByteArray &bytes) const;
    // The package the Model installs, filled by the test before the installation: a batch of
    // package files (sealed from the contents, written and read once), an accepted hardware
    // configuration matching the simulator's catalogue code.
    Configuration &package() { return *ownPackage; }
    void addBatch(const QList<QPair<QString, QByteArray>> &files);
    void acceptTerminal();
    // Reads `file.path` into the record once, as the package check does.
    static void readContent(Application &file);

private:
    QTemporaryDir dir;
    QString previousDir;
    QString portLabel;
    std::unique_ptr<mockbed::Testbed> bed;
    sim::Terminal simulator;
    std::unique_ptr<Model> modelObject;
    std::shared_ptr<Configuration> ownPackage;
};

// The terminal that vardel-sim's option words describe ("--mute init --damage apps"), on
// quickTerminal()'s restart unless the words say otherwise.
sim::Behaviour behaviourOf(const QString &words);

// Random bytes, from a seed.
QByteArray randomBytes(int size, quint32 seed);
