// The station's publishing to an MQTT broker (--publish): the link started once the package is
// known, the journal's records and the terminals' progress handed to it, what it says about the
// broker, its end (every signal path goes through closePublishing) and --flush.
#include "station.h"

#include "acklog.h"
#include "model/model.h"
#include "publisher.h"
#include "stationid.h"
#include "system/oserror.h"
#include "system/printable.h"
#include "system/wallclock.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSysInfo>

#include <cstdlib>

#include <mosquitto.h>
#include <mqtt_protocol.h>

namespace {

// After the last terminal, how long the broker has to acknowledge what is outstanding.
constexpr int kCloseGraceMs = 3000;
// How often the end of the link and a stop signal are looked at while it ends.
constexpr int kCloseTickMs = 50;

QString now()
{
    return wallclock::iso(wallclock::now());
}

// How a terminal is named in the summary: its USB serial number, or its port without one.
QString keyOf(const QString &serialNumber, const QString &port)
{
    return serialNumber.isEmpty() ? port : serialNumber;
}

QString startPortOf(const QJsonObject &record)
{
    return record.value(QStringLiteral("startPort"))
        .toString(record.value(QStringLiteral("port")).toString());
}

QString keyOf(const QJsonObject &record)
{
    return keyOf(record.value(QStringLiteral("serialNumber")).toString(), startPortOf(record));
}

// The level of a record's topics, from the record alone: --flush and --republish find the
// topic the run used.
QString levelOf(const QJsonObject &record)
{
    return terminalLevel(record.value(QStringLiteral("serialNumber")).toString(),
                         startPortOf(record),
                         record.value(QStringLiteral("serialNumberShared")).toBool());
}

// What the broker gave as the reason of a refusal, in French for the usual ones.
QString reasonText(int code, const QString &brokerWords)
{
    QString text;
    switch (code) {
    case MQTT_RC_NOT_AUTHORIZED:
        text = QStringLiteral("accès non autorisé par ses règles");
        break;
    case MQTT_RC_TOPIC_NAME_INVALID:
        text = QStringLiteral("sujet refusé");
        break;
    case MQTT_RC_QUOTA_EXCEEDED:
        text = QStringLiteral("quota dépassé");
        break;
    case MQTT_RC_PACKET_TOO_LARGE:
        text = QStringLiteral("message trop grand");
        break;
    case MQTT_RC_PAYLOAD_FORMAT_INVALID:
        text = QStringLiteral("contenu refusé");
        break;
    case MQTT_RC_IMPLEMENTATION_SPECIFIC:
        text = QStringLiteral("refus propre au serveur");
        break;
    default:
        text = QString::fromUtf8(mosquitto_reason_string(code));
        break;
    }
    text += QStringLiteral(", code %1").arg(code);
    if (!brokerWords.isEmpty())
        text += QStringLiteral(" : « %1 »").arg(printable::text(brokerWords));
    return text;
}

// Why a record was not taken, as the summary and the JSON say it.
QString refusalText(const Publisher::Refusal &r)
{
    switch (r.kind) {
    case Publisher::Refusal::Kind::Refused:
        return QStringLiteral("refusé par le serveur : ") + reasonText(r.code, r.reason);
    case Publisher::Refusal::Kind::TooLarge:
        return r.limit > 0 ? QStringLiteral("trop grand pour le serveur : %1 octets, il en "
                                            "accepte %2 au plus")
                                 .arg(r.size)
                                 .arg(r.limit)
                           : QStringLiteral("trop grand : %1 octets").arg(r.size);
    case Publisher::Refusal::Kind::BadTopic:
        return QStringLiteral("sujet refusé par la bibliothèque MQTT (%1)")
            .arg(QString::fromUtf8(mosquitto_strerror(r.code)));
    }
    return QString();
}

// What the broker's link became, for the person.
QString linkText(const Publisher::Event &event, const BrokerAddress &broker)
{
    const QString where = broker.endpoint();
    const QString carryOn = QStringLiteral(" ; la station continue sans lui et réessaie.");
    switch (event.link) {
    case Publisher::Link::Connected:
        return QStringLiteral("serveur MQTT %1 joint.").arg(where);
    case Publisher::Link::Refused:
        return QStringLiteral("le serveur MQTT %1 refuse la connexion (rien n'écoute sur ce "
                              "port)")
                   .arg(where) +
               carryOn;
    case Publisher::Link::UnknownHost:
        return QStringLiteral("le nom du serveur MQTT %1 est inconnu").arg(broker.host) + carryOn;
    case Publisher::Link::Unreachable:
        return QStringLiteral("le serveur MQTT %1 est injoignable (%2)")
                   .arg(where, event.osError == ETIMEDOUT
                                   ? QStringLiteral("pas de réponse en %1 s")
                                         .arg(Publisher::kConnectTimeoutMs / 1000)
                                   : osErrorText(event.osError)) +
               carryOn;
    case Publisher::Link::Tls:
        return QStringLiteral("la connexion TLS au serveur MQTT %1 a échoué (certificat du "
                              "serveur ou autorité refusés)")
                   .arg(where) +
               carryOn;
    case Publisher::Link::BadCredentials:
        return QStringLiteral("le serveur MQTT %1 refuse l'utilisateur ou le mot de passe "
                              "(VARDEL_MQTT_USER, VARDEL_MQTT_PASSWORD)")
                   .arg(where) +
               carryOn;
    case Publisher::Link::NotAuthorised:
        // What mosquitto answers to a wrong password, too.
        return QStringLiteral("le serveur MQTT %1 n'accepte pas cette station : utilisateur ou "
                              "mot de passe refusés, ou accès non autorisé (VARDEL_MQTT_USER, "
                              "VARDEL_MQTT_PASSWORD)")
                   .arg(where) +
               carryOn;
    case Publisher::Link::Rejected:
        return QStringLiteral("le serveur MQTT %1 refuse la connexion (code %2)")
                   .arg(where)
                   .arg(event.code) +
               carryOn;
    case Publisher::Link::Lost:
        return QStringLiteral("connexion au serveur MQTT %1 perdue").arg(where) +
               (event.code > 0 ? QStringLiteral(" (le serveur : %1)")
                                     .arg(reasonText(event.code, QString()))
                               : QString()) +
               carryOn;
    case Publisher::Link::OlderProtocol:
        return QStringLiteral("le serveur MQTT %1 ne parle pas MQTT 5 : la station lui parle "
                              "MQTT 3.1.1, où un enregistrement refusé par ses règles ne se "
                              "distingue pas d'un enregistrement publié.")
            .arg(where);
    case Publisher::Link::RecordRefused:
        return QStringLiteral("le serveur MQTT %1 refuse l'enregistrement de %2 (%3) : il n'est "
                              "pas publié et reste dans le journal ; les suivants refusés pour "
                              "la même raison sont comptés dans le bilan.")
            .arg(where, printable::text(event.refusal.record.key),
                 reasonText(event.refusal.code, event.refusal.reason));
    case Publisher::Link::RecordSetAside:
        return QStringLiteral("l'enregistrement de %1 est mis de côté (%2) : il reste dans le "
                              "journal, les suivants partent.")
            .arg(printable::text(event.refusal.record.key), refusalText(event.refusal));
    case Publisher::Link::AckNotWritten:
        return QStringLiteral("les envois confirmés par le serveur MQTT ne peuvent pas être "
                              "notés à côté du journal (%1) : --flush les enverra à nouveau.")
            .arg(osErrorText(event.osError));
    }
    return QString();
}

QStringList keysOf(const QList<Publisher::Record> &records)
{
    QStringList keys;
    for (const Publisher::Record &r : records)
        keys << printable::text(r.key);
    return keys;
}

QJsonArray recordsJson(const QList<Publisher::Record> &records)
{
    QJsonArray list;
    for (const Publisher::Record &r : records)
        list.append(QJsonObject{{QStringLiteral("id"), r.id}, {QStringLiteral("terminal"), r.key}});
    return list;
}

// "X (reason), Y (reason)" for the person, under a heading that says who refused them;
// [{"id", "terminal", "reason"}] for the JSON.
QString refusalsText(const QList<Publisher::Refusal> &refusals)
{
    QStringList parts;
    for (const Publisher::Refusal &r : refusals)
        parts << QStringLiteral("%1 (%2)").arg(printable::text(r.record.key),
                                               r.kind == Publisher::Refusal::Kind::Refused
                                                   ? reasonText(r.code, r.reason)
                                                   : refusalText(r));
    return parts.join(QStringLiteral(", "));
}

QJsonArray refusalsJson(const QList<Publisher::Refusal> &refusals)
{
    QJsonArray list;
    for (const Publisher::Refusal &r : refusals)
        list.append(QJsonObject{{QStringLiteral("id"), r.record.id},
                                {QStringLiteral("terminal"), r.record.key},
                                {QStringLiteral("reason"), refusalText(r)}});
    return list;
}

Publisher::Settings settingsFor(const StationSettings &options)
{
    Publisher::Settings settings;
    settings.address = options.broker;
    settings.caFile = options.publishCa;
    settings.user = QString::fromUtf8(qgetenv("VARDEL_MQTT_USER"));
    settings.password = QString::fromUtf8(qgetenv("VARDEL_MQTT_PASSWORD"));
    return settings;
}

} // namespace

// The broker's settings, the authority's file and the file of acknowledged ids, checked with
// the other outputs: before any terminal is touched.
bool Station::preparePublishing(QString &error)
{
    if (options.publishUrl.isEmpty())
        return true;
    const QByteArray user = qgetenv("VARDEL_MQTT_USER");
    if (user.isEmpty() && !qgetenv("VARDEL_MQTT_PASSWORD").isEmpty()) {
        error = QStringLiteral("VARDEL_MQTT_PASSWORD est donné sans VARDEL_MQTT_USER.");
        return false;
    }
    if (!checkCredentials(error))
        return false;
    if (stationId.isEmpty() && !options.flush && !options.republish) {
        error = QStringLiteral("cette machine n'a pas d'identifiant lisible (/etc/machine-id) : "
                               "donnez celui de la station, --station-id NOM.");
        return false;
    }
    if (!options.publishCa.isEmpty()) {
        QFile ca(options.publishCa);
        if (!QFileInfo(options.publishCa).isFile() || !ca.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("l'autorité du serveur MQTT %1 ne peut pas être lue.")
                        .arg(QDir::toNativeSeparators(options.publishCa));
            return false;
        }
    }
    if (!options.journalFile.isEmpty()) {
        acks = std::make_unique<AckLog>();
        if (!acks->open(AckLog::pathFor(options.journalFile), error)) {
            error += QLatin1Char('.');
            return false;
        }
    }
    return true;
}

// A user name and password go over plain mqtt:// only to this machine, or when
// --publish-insecure says the network may read them: nothing is sent otherwise.
bool Station::checkCredentials(QString &error) const
{
    const bool credentials = !qgetenv("VARDEL_MQTT_USER").isEmpty();
    if (!credentials || options.broker.tls || options.broker.isLoopback() ||
        options.publishInsecure)
        return true;
    const QString host = options.broker.host.contains(QLatin1Char(':'))
                             ? QLatin1Char('[') + options.broker.host + QLatin1Char(']')
                             : options.broker.host;
    error = QStringLiteral("le nom d'utilisateur et le mot de passe (VARDEL_MQTT_USER, "
                           "VARDEL_MQTT_PASSWORD) partiraient en clair vers %1, que tout le "
                           "réseau entre les deux peut lire : rien n'est envoyé. Utilisez "
                           "mqtts://%2/%3 (TLS), ou --publish-insecure si ce réseau est sûr.")
                .arg(options.broker.endpoint(), host, options.broker.prefix);
    return false;
}

// The link, started once the package is known: the station announces what it installs.
void Station::startPublishing()
{
    if (options.publishUrl.isEmpty() || options.list || publisher)
        return;
    Publisher::Settings settings = settingsFor(options);
    const QString host = QSysInfo::machineHostName();
    const QString id = stationId;
    settings.station = stationLevel(host, id);
    const QJsonObject about = report::packageJson(package);
    const auto stationState = [about, host, id](const QString &state, const QString &reason) {
        QJsonObject message = about;
        message.insert(QStringLiteral("state"), state);
        message.insert(QStringLiteral("host"), host);
        message.insert(QStringLiteral("station"), id);
        message.insert(QStringLiteral("since"), now());
        if (!reason.isEmpty())
            message.insert(QStringLiteral("reason"), reason);
        return QJsonDocument(message).toJson(QJsonDocument::Compact);
    };
    settings.online = stationState(QStringLiteral("online"), QString());
    settings.will = QJsonDocument(QJsonObject{{QStringLiteral("state"), QStringLiteral("offline")},
                                              {QStringLiteral("host"), host},
                                              {QStringLiteral("station"), id},
                                              {QStringLiteral("reason"), QStringLiteral("lost")}})
                        .toJson(QJsonDocument::Compact);
    offlineState = [stationState] {
        return stationState(QStringLiteral("offline"), QStringLiteral("end"));
    };
    publisher = std::make_unique<Publisher>(std::move(settings), std::move(acks));
    publisher->start();
    station->log(QStringLiteral("Publication sur ") + options.broker.text());
}

void Station::publishRecord(const QJsonObject &record)
{
    if (publisher)
        publisher->publishRecord(levelOf(record), keyOf(record), record);
}

// Whether another port of the station has reported this serial number during the run (in a
// listing, or as the terminal of another job): its terminals are then told apart by their port,
// in their records and topics. Once shared, a number stays so for the run: two terminals never
// share a topic. Noted on the run's thread, after each listing and each new job; read from any
// thread (a job makes its record on its own).
void Station::noteSharedSerials()
{
    QMap<QString, int> seen; // ports and jobs that report each number
    for (const PortInfo &port : board.listing())
        ++seen[port.serialNumber];
    QMap<QString, int> jobs;
    for (const Entry &entry : entries)
        ++jobs[entry.job->terminal().serialNumber];
    QSet<QString> shared;
    for (auto it = jobs.begin(); it != jobs.end(); ++it) {
        if (!it.key().isEmpty() && (it.value() > 1 || seen.value(it.key()) > 1))
            shared.insert(it.key());
    }
    std::lock_guard<std::mutex> lock(sharedMutex);
    sharedSerials.unite(shared);
}

bool Station::serialShared(const QString &serialNumber) const
{
    std::lock_guard<std::mutex> lock(sharedMutex);
    return !serialNumber.isEmpty() && sharedSerials.contains(serialNumber);
}

// The running terminals' stage and percent, as values.
void Station::publishProgress(const QList<JobView> &now)
{
    if (!publisher)
        return;
    const QString host = QSysInfo::machineHostName();
    for (int i = 0; i < now.size() && i < int(entries.size()); ++i) {
        const JobView &row = now.at(i);
        if (row.state != JobView::State::Running)
            continue;
        const Entry &entry = entries.at(size_t(i));
        const InstallProgress &p = row.progress;
        const FoundTerminal &terminal = entry.job->terminal();
        const bool shared = serialShared(terminal.serialNumber);
        publisher->publishProgress(
            terminalLevel(terminal.serialNumber, terminal.port, shared),
            QJsonObject{{QStringLiteral("host"), host},
                        {QStringLiteral("station"), stationId},
                        {QStringLiteral("serialNumber"), terminal.serialNumber},
                        {QStringLiteral("port"), row.port},
                        {QStringLiteral("stage"), stageKey(p.stage)},
                        {QStringLiteral("batch"), p.batch},
                        {QStringLiteral("batchCount"), p.batchCount},
                        {QStringLiteral("file"), p.file},
                        {QStringLiteral("fileCount"), p.fileCount},
                        {QStringLiteral("fileName"), p.fileName},
                        {QStringLiteral("percent"), p.percent}});
    }
}

// What the link said since the last look: in the log, and for the person.
void Station::sayPublisherEvents()
{
    if (!publisher)
        return;
    for (const Publisher::Event &event : publisher->takeEvents()) {
        const QString text = linkText(event, options.broker);
        station->log(QStringLiteral("Publication : ") + text);
        if (event.link == Publisher::Link::Connected && !linkTrouble)
            continue; // all is well: the log is enough
        linkTrouble = event.link != Publisher::Link::Connected;
        observer.linkChanged(event, text);
    }
}

// The end of the link, on every way out of a run: "offline" announced, a few seconds for the
// broker to acknowledge what is outstanding; a stop ends the wait at once.
void Station::closePublishing()
{
    if (!publisher || publishClosed)
        return;
    publishClosed = true;
    publisher->close(kCloseGraceMs, offlineState ? offlineState() : QByteArray());
    QElapsedTimer clock;
    clock.start();
    while (!publisher->isClosed() && clock.elapsed() < kCloseGraceMs + 2000) {
        if (stops.wait(kCloseTickMs) != StopRequests::Event::None)
            publisher->abort();
    }
    sayPublisherEvents();
    if (!publisher->join())
        abandoned = true; // stuck in a name lookup: the process ends without it
    const Publisher::Tally tally = publisher->tally();
    publishing = QJsonObject{{QStringLiteral("broker"), options.broker.text()},
                             {QStringLiteral("published"), tally.published},
                             {QStringLiteral("publishedAfterWaiting"), recordsJson(tally.waited)},
                             {QStringLiteral("unsent"), recordsJson(tally.unsent)},
                             {QStringLiteral("refused"), refusalsJson(tally.refused)},
                             {QStringLiteral("setAside"), refusalsJson(tally.setAside)}};
    // The first line as before MQTT 5: what was published, what waited, what never went; then
    // what the broker refused, and what it would never take.
    publishLines = QStringLiteral("Serveur MQTT %1 : %2 enregistrement(s) publié(s)")
                       .arg(options.broker.text())
                       .arg(tally.published);
    if (!tally.waited.isEmpty())
        publishLines += QStringLiteral(", dont %1 après une attente : %2")
                            .arg(tally.waited.size())
                            .arg(keysOf(tally.waited).join(QStringLiteral(", ")));
    if (!tally.unsent.isEmpty())
        publishLines += QStringLiteral(", %1 non transmis : %2")
                            .arg(tally.unsent.size())
                            .arg(keysOf(tally.unsent).join(QStringLiteral(", ")));
    publishLines += QLatin1Char('.');
    if (!tally.refused.isEmpty())
        publishLines += QStringLiteral("\n%1 refusé(s) par le serveur : %2.")
                            .arg(tally.refused.size())
                            .arg(refusalsText(tally.refused));
    if (!tally.setAside.isEmpty())
        publishLines += QStringLiteral("\n%1 mis de côté : %2.")
                            .arg(tally.setAside.size())
                            .arg(refusalsText(tally.setAside));
    const int left = tally.unsent.size() + tally.refused.size() + tally.setAside.size();
    if (left > 0) {
        publishLines += QLatin1Char('\n') +
                        (options.journalFile.isEmpty()
                             ? QStringLiteral("Sans --journal, ils ne sont gardés nulle part.")
                             : QStringLiteral("Ils restent dans le journal : vardel-station "
                                              "--journal %1 --publish %2 --flush les enverra "
                                              "à nouveau.")
                                   .arg(options.journalFile, shownAddress(options.publishUrl)));
        station->log(QStringLiteral("Publication : %1 enregistrement(s) non transmis, %2 "
                                    "refusé(s), %3 mis de côté")
                         .arg(tally.unsent.size())
                         .arg(tally.refused.size())
                         .arg(tally.setAside.size()));
    }
}

// --flush: the journal's records that the broker never acknowledged, sent in order; a record of
// a terminal that has a later one in the journal goes without the retain flag, so that the
// broker keeps the latest. --republish: every record of the journal, acknowledged or not, the
// same way: what a broker that lost its retained messages needs to hold them again. Ends once
// all are acknowledged, after --wait seconds, or on a signal.
int Station::flush()
{
    QList<QJsonObject> records;
    QString error;
    if (!Journal::read(options.journalFile, records, error)) {
        observer.refused(StationObserver::Refusal::JournalUnavailable, error + QLatin1Char('.'));
        return kNothingStarted;
    }
    const QString ackPath = AckLog::pathFor(options.journalFile);
    const QSet<QString> acknowledged = AckLog::read(ackPath);
    QHash<QString, int> last; // the index of each terminal's latest record
    for (int i = 0; i < records.size(); ++i)
        last.insert(levelOf(records.at(i)), i);
    QList<int> pending;
    for (int i = 0; i < records.size(); ++i) {
        if (options.republish ||
            !acknowledged.contains(records.at(i).value(QStringLiteral("id")).toString()))
            pending << i;
    }
    if (pending.isEmpty()) {
        observer.nothingToFlush(records.size());
        return kAllUpdated;
    }
    if (!preparePublishing(error)) {
        observer.refused(StationObserver::Refusal::PublishingUnready, error);
        return kNothingStarted;
    }
    publisher = std::make_unique<Publisher>(settingsFor(options), std::move(acks));
    for (int i : pending) {
        const QJsonObject &record = records.at(i);
        const QString id = record.value(QStringLiteral("id")).toString();
        publisher->publishRecord(levelOf(record), keyOf(record), record,
                                 last.value(levelOf(record)) == i, acknowledged.contains(id));
    }
    publisher->start();
    const qint64 deadline = qint64(std::max(options.waitSeconds, 1)) * 1000;
    QElapsedTimer clock;
    clock.start();
    while (!publisher->allAcknowledged() && clock.elapsed() < deadline) {
        if (stops.wait(kCloseTickMs) != StopRequests::Event::None)
            break;
        sayPublisherEvents();
    }
    closePublishing();
    const Publisher::Tally tally = publisher->tally();
    observer.flushed(pending.size(), tally, publishLines);
    const bool left = !tally.unsent.isEmpty() || !tally.refused.isEmpty() ||
                      !tally.setAside.isEmpty();
    return left ? kSomeFailed : kAllUpdated;
}
