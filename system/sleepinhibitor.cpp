#include "sleepinhibitor.h"

#include <QAtomicInt>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QLoggingCategory>

#include <fcntl.h>
#include <unistd.h>

namespace {

Q_LOGGING_CATEGORY(lcSleep, "vardel.sleep")

// logind answers at once; a bus that does not answer must not hold the start button for long.
constexpr int kCallTimeoutMs = 5000;

const QString kLogind = QStringLiteral("org.freedesktop.login1");

} // namespace

const char *const SleepInhibitor::kDefaultSystemBus = "unix:path=/run/dbus/system_bus_socket";
const char *const SleepInhibitor::kWhat = "sleep:idle:handle-lid-switch";
const QString SleepInhibitor::kWho = QStringLiteral("Vardel");
const QString SleepInhibitor::kWhy = QStringLiteral("Mise à jour d'un terminal en cours");

SleepInhibitor::~SleepInhibitor()
{
    release();
}

SleepInhibitor::Outcome SleepInhibitor::acquire()
{
    if (isHeld())
        return Outcome::Held;
    detail.clear();
    // A connection of its own, to the bus the environment names now, closed once the answer is
    // in: the lock is the descriptor, not the connection.
    static QAtomicInt connections;
    const QString name = QStringLiteral("vardel-sleep-%1").arg(connections.fetchAndAddRelaxed(1));
    const QString address =
        qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS", QString::fromLatin1(kDefaultSystemBus));
    Outcome outcome = Outcome::NoSystemBus;
    {
        QDBusConnection bus = QDBusConnection::connectToBus(address, name);
        if (!bus.isConnected()) {
            detail = bus.lastError().name() + QStringLiteral(": ") + bus.lastError().message();
        } else {
            QDBusMessage call = QDBusMessage::createMethodCall(
                kLogind, QStringLiteral("/org/freedesktop/login1"),
                QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
            call << QString::fromLatin1(kWhat) << kWho << kWhy << QStringLiteral("block");
            const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
            const QList<QVariant> arguments = reply.arguments();
            if (reply.type() == QDBusMessage::ReplyMessage && arguments.size() == 1 &&
                arguments.first().canConvert<QDBusUnixFileDescriptor>()) {
                const auto lock = arguments.first().value<QDBusUnixFileDescriptor>();
                // The reply's copy goes with the reply: keep one of our own.
                fd = lock.isValid() ? ::fcntl(lock.fileDescriptor(), F_DUPFD_CLOEXEC, 0) : -1;
                outcome = fd >= 0 ? Outcome::Held : Outcome::Refused;
                if (fd < 0)
                    detail = QStringLiteral("no file descriptor in the answer");
            } else {
                const QString error = reply.errorName();
                detail = error + QStringLiteral(": ") + reply.errorMessage();
                outcome =
                    error == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
                            error == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")
                        ? Outcome::NoLogind
                        : Outcome::Refused;
            }
        }
    }
    QDBusConnection::disconnectFromBus(name);
    qCInfo(lcSleep).noquote() << (fd >= 0 ? QStringLiteral("sleep inhibited on ")
                                          : QStringLiteral("sleep not inhibited on "))
                              << address << detail;
    return outcome;
}

void SleepInhibitor::release()
{
    if (fd < 0)
        return;
    ::close(fd);
    fd = -1;
    qCInfo(lcSleep) << "sleep allowed again";
}
