#pragma once

#include <QString>

// A station's id, stable across its runs and its host name: what tells apart two PCs cloned
// from one image, which share a host name. Made from the machine's id (/etc/machine-id, as
// systemd makes it for each installation) through HMAC-SHA256 keyed with it over the
// program's own name: the machine's id itself is never shown nor published (machine-id(5)
// asks for this). Sixteen hexadecimal digits; empty when the machine has no readable id
// (--station-id then names the station).
namespace stationid {

QString fromMachine();
// The id made from a machine id's text as machine-id(5) writes it (32 hexadecimal digits and
// a newline); empty when `machineId` is not such a text.
QString fromMachineId(const QByteArray &machineId);

} // namespace stationid
