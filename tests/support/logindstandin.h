#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// logind as python3-dbusmock plays it (its "logind" template), alone on a private D-Bus daemon
// of this test's own. Its Inhibit hands out a real pipe and forgets the inhibitor once every
// copy of the descriptor is closed; ListInhibitors shows the ones still held.
class LogindStandIn
{
public:
    LogindStandIn() = default;
    ~LogindStandIn();
    LogindStandIn(const LogindStandIn &) = delete;
    LogindStandIn &operator=(const LogindStandIn &) = delete;

    // Starts the bus and the stand-in, and waits until logind's name is on the bus.
    [[nodiscard]] bool start();
    // The bus address, for DBUS_SYSTEM_BUS_ADDRESS.
    QString address() const { return busAddress; }
    // The inhibitors held now, each "what|who|why|mode"; empty and `ok` false when the
    // stand-in did not answer.
    QStringList inhibitors(bool *ok = nullptr) const;

private:
    QTemporaryDir dir;
    QProcess bus;
    QProcess logind;
    QString busAddress;
};
