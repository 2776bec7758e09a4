#include "stationid.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMessageAuthenticationCode>

namespace stationid {

QString fromMachineId(const QByteArray &machineId)
{
    const QByteArray id = machineId.trimmed().toLower();
    if (id.size() != 32 || QByteArray::fromHex(id).toHex() != id || id == QByteArray(32, '0'))
        return QString();
    const QByteArray mac = QMessageAuthenticationCode::hash(QByteArrayLiteral("vardel-station"),
                                                            id, QCryptographicHash::Sha256);
    return QString::fromLatin1(mac.left(8).toHex());
}

QString fromMachine()
{
    for (const char *path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        QFile file(QString::fromLatin1(path));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QString id = fromMachineId(file.read(64));
        if (!id.isEmpty())
            return id;
    }
    return QString();
}

} // namespace stationid
