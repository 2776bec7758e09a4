#include "logindstandin.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QProcessEnvironment>
#include <QThread>

namespace {

// Generous: python3 starts slowly on a loaded machine.
constexpr int kStartMs = 30000;

// Neither the sanitizer runtime nor umockdev: they are for the programs under test.
QProcessEnvironment cleanEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("LD_PRELOAD"));
    environment.remove(QStringLiteral("UMOCKDEV_DIR"));
    return environment;
}

} // namespace

LogindStandIn::~LogindStandIn()
{
    for (QProcess *process : {&logind, &bus}) {
        if (process->state() != QProcess::NotRunning) {
            process->terminate();
            if (!process->waitForFinished(5000)) {
                process->kill();
                process->waitForFinished(5000);
            }
        }
    }
}

bool LogindStandIn::start()
{
    if (!dir.isValid())
        return false;
    bus.setProcessEnvironment(cleanEnvironment());
    bus.start(QStringLiteral("dbus-daemon"),
              {QStringLiteral("--session"), QStringLiteral("--nofork"),
               QStringLiteral("--print-address=1"),
               QStringLiteral("--address=unix:path=") + dir.filePath(QStringLiteral("bus"))});
    QDeadlineTimer deadline(kStartMs);
    while (!bus.canReadLine()) {
        if (!bus.waitForReadyRead(int(qMax<qint64>(deadline.remainingTime(), 1))) ||
            deadline.hasExpired())
            return false;
    }
    busAddress = QString::fromUtf8(bus.readLine()).trimmed();

    QProcessEnvironment environment = cleanEnvironment();
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), busAddress);
    logind.setProcessEnvironment(environment);
    logind.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Debian's own Python, which python3-dbusmock installs into (not one first on PATH).
    logind.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--system"),
                  QStringLiteral("--template"), QStringLiteral("logind")});
    if (!logind.waitForStarted(kStartMs))
        return false;

    // The name appears once the template is loaded: asked again until then, or until the
    // stand-in has died.
    const QString name = QStringLiteral("logind-standin-watch");
    bool registered = false;
    {
        QDBusConnection connection = QDBusConnection::connectToBus(busAddress, name);
        while (connection.isConnected() && logind.state() == QProcess::Running &&
               !deadline.hasExpired()) {
            registered = connection.interface()->isServiceRegistered(
                QStringLiteral("org.freedesktop.login1"));
            if (registered)
                break;
            logind.waitForFinished(50); // returns early only if it died
        }
    }
    QDBusConnection::disconnectFromBus(name);
    return registered;
}

QStringList LogindStandIn::inhibitors(bool *ok) const
{
    const QString name = QStringLiteral("logind-standin-list");
    QStringList held;
    bool answered = false;
    {
        QDBusConnection connection = QDBusConnection::connectToBus(busAddress, name);
        const QDBusMessage reply = connection.call(QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("ListInhibitors")));
        if (reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 1) {
            answered = true;
            // a(ssssuu): what, who, why, mode, uid, pid
            const QDBusArgument list = reply.arguments().first().value<QDBusArgument>();
            list.beginArray();
            while (!list.atEnd()) {
                QString what, who, why, mode;
                uint uid = 0, pid = 0;
                list.beginStructure();
                list >> what >> who >> why >> mode >> uid >> pid;
                list.endStructure();
                held << QStringList{what, who, why, mode}.join(QLatin1Char('|'));
            }
            list.endArray();
        }
    }
    QDBusConnection::disconnectFromBus(name);
    if (ok)
        *ok = answered;
    return held;
}
