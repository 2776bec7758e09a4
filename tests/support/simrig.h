#pragma once

#include "behaviour.h"
#include "config/records.h"
#include "link/serialport.h"
#include "model/model.h"
#include "terminal.h"

#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <mutex>
#include <string>

namespace mockbed {
class Testbed;
}

// A Model wired to a simulated terminal over a mocked serial device, in a temporary working
// directory of its own (where the Model writes its log file). The waits are short.
class SimRig
{
public:
    // The mocked device's port label. Its name is this process's own: QSerialPort locks a
    // port by its name (LCK..NAME), so tests running side by side must not share one.
    QString label() const { return portLabel; }

    // The Model's waits for tests: replies come within milliseconds from the simulator.
    static Model::Timing fastTiming();

    explicit SimRig(const sim::Behaviour &behaviour = sim::Behaviour(),
                    const Model::Timing &timing = fastTiming());
    ~SimRig();
    SimRig(const SimRig &) = delete;
    SimRig &operator=(const SimRig &) = delete;

    bool ready() const { return started; }
    Model &model() { return *modelObject; }
    SerialPort &port() { return *modelObject->getSerialPort(); }
    sim::Terminal &terminal() { return simulator; }
    sim::Record record() const { return simulator.record(); }
    bool open() { return port().open(portLabel); }

    // The messages of the log file, in order, without their date stamps.
    QStringList log() const;

    // Files in the working directory: raw bytes, or a sealed package file of `plain`.
    QString writeFile(const QString &name, const QByteArray &bytes) const;
    QString writeSealed(const QString &name, const QByteArray &plain) const;
    // An application entry owned by the rig.
    Application *application(const QString &path)
    {
        applications.append(new Application(path));
        return applications.last();
    }

    // A batch of package files (sealed from the contents) appended to the configuration, and
    // an accepted hardware configuration matching the simulator's catalogue code.
    void addBatch(const QList<QPair<QString, QByteArray>> &files);
    void acceptTerminal();

private:
    QTemporaryDir dir;
    QString previousDir;
    std::string deviceName;
    QString portLabel;
    std::unique_ptr<mockbed::Testbed> bed;
    sim::Terminal simulator;
    std::unique_ptr<Model> modelObject;
    QList<Application *> applications;
    bool started = false;
};

// Both progress channels of a Model, as (text, value) pairs, from any thread.
class ProgressLog : public QObject
{
    Q_OBJECT
public:
    explicit ProgressLog(Model &model);
    QList<QPair<QString, int>> module() const { return copy(moduleSteps); }
    QList<QPair<QString, int>> total() const { return copy(totalSteps); }
    QList<int> totalValues() const
    {
        QList<int> values;
        for (const auto &step : total())
            values << step.second;
        return values;
    }

private:
    QList<QPair<QString, int>> copy(const QList<QPair<QString, int>> &steps) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return steps;
    }
    mutable std::mutex mutex;
    QList<QPair<QString, int>> moduleSteps;
    QList<QPair<QString, int>> totalSteps;
};

// Random bytes, from a seed the test prints.
QByteArray randomBytes(int size, quint32 seed);

Q_DECLARE_METATYPE(sim::Behaviour)
