#pragma once

#include "stationsettings.h"

#include <QString>

// What the workshop window (vardel --atelier, "Outils > Atelier…") keeps beside the station's
// engine: its journal, in the folder of the log, and the broker it publishes to, read from a
// small settings file. The keys are vardel-station's options without their dashes, and are
// checked as vardel-station checks them:
//
//     # the workshop's broker
//     publish = mqtts://broker.example/vardel
//     publish-ca = atelier-ca.pem
//     publish-insecure = false
//     station-id = atelier-3
//
// One "key = value" a line; blank lines and lines starting with '#' are skipped. The user name
// and password are never in the file: the station takes them from VARDEL_MQTT_USER and
// VARDEL_MQTT_PASSWORD, as vardel-station does.
namespace workshopsettings {

// The journal's name, in the log's folder.
inline constexpr char kJournalName[] = "atelier_journal.jsonl";
// The settings file's name, under the user's or the system's configuration folders.
inline constexpr char kFileName[] = "vardel/atelier.conf";

// FOLDER/atelier_journal.jsonl.
QString journalIn(const QString &folder);

// The settings file in use: the first "vardel/atelier.conf" of the configuration folders
// (~/.config, then /etc/xdg, or as XDG_CONFIG_HOME and XDG_CONFIG_DIRS say), or the user's
// own path for it when none exists.
QString file();

// Reads `path` into `settings` (publishUrl and broker, publishCa, publishInsecure, stationId).
// A file that does not exist is no error: nothing is published. False with `error` (French,
// naming the file and the line) when the file exists but cannot be read, or holds a line that
// is not "key = value", an unknown or repeated key, an empty value, a broker address
// vardel-station would refuse, publish-ca without an mqtts:// address, publish-ca or
// publish-insecure without publish, or publish-insecure other than true or false. On failure
// `settings` is left as it was. A relative publish-ca is taken from the file's folder.
[[nodiscard]] bool read(const QString &path, StationSettings &settings, QString &error);

} // namespace workshopsettings
