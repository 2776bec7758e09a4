// The station's publishing to an MQTT broker (--publish): the link started once the package is
// known, the journal's records and the terminals' progress handed to it, what it says about the
// broker, its end (every signal path goes through closePublishing) and --flush.
#include "station.h"

#include "acklog.h"
#include "app/oserror.h"
#include "app/wallclock.h"
#include "console.h"
#include "model/model.h"
#include "progressview.h"
#include "publisher.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSysInfo>

#include <cstdlib>

namespace {

// After the last terminal, how long the broker has to acknowledge what is outstanding.
constexpr int kCloseGraceMs = 3000;
// How often the end of the link and a stop signal are looked at while it ends.
constexpr int kCloseTickMs = 50;

QString now()
{
    return wallclock::iso(wallclock::now());
}

// The key of a terminal's topics: its USB serial number, or its port without one.
QString keyOf(const QString &serialNumber, const QString &port)
{
    return serialNumber.isEmpty() ? port : serialNumber;
}

QString keyOf(const QJsonObject &record)
{
    return keyOf(record.value(QStringLiteral("serialNumber")).toString(),
                 record.value(QStringLiteral("startPort")).toString(
                     record.value(QStringLiteral("port")).toString()));
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
        return QStringLiteral("connexion au serveur MQTT %1 perdue").arg(where) + carryOn;
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
        keys << r.key;
    return keys;
}

QJsonArray recordsJson(const QList<Publisher::Record> &records)
{
    QJsonArray list;
    for (const Publisher::Record &r : records)
        list.append(QJsonObject{{QStringLiteral("id"), r.id}, {QStringLiteral("terminal"), r.key}});
    return list;
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

// The link, started once the package is known: the station announces what it installs.
void Station::startPublishing()
{
    if (options.publishUrl.isEmpty() || options.list || publisher)
        return;
    Publisher::Settings settings;
    settings.address = options.broker;
    settings.caFile = options.publishCa;
    settings.user = QString::fromUtf8(qgetenv("VARDEL_MQTT_USER"));
    settings.password = QString::fromUtf8(qgetenv("VARDEL_MQTT_PASSWORD"));
    settings.station = QSysInfo::machineHostName();
    const QString host = settings.station;
    const QJsonObject about = report::packageJson(package);
    const auto stationState = [about, host](const QString &state, const QString &reason) {
        QJsonObject message = about;
        message.insert(QStringLiteral("state"), state);
        message.insert(QStringLiteral("host"), host);
        message.insert(QStringLiteral("since"), now());
        if (!reason.isEmpty())
            message.insert(QStringLiteral("reason"), reason);
        return QJsonDocument(message).toJson(QJsonDocument::Compact);
    };
    settings.online = stationState(QStringLiteral("online"), QString());
    settings.will = QJsonDocument(QJsonObject{{QStringLiteral("state"), QStringLiteral("offline")},
                                              {QStringLiteral("host"), settings.station},
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
        publisher->publishRecord(keyOf(record), record);
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
        publisher->publishProgress(
            keyOf(terminal.serialNumber, terminal.port),
            QJsonObject{{QStringLiteral("host"), host},
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
        const QString line = QStringLiteral("vardel-station : ") + text;
        if (view)
            view->message(line);
        else
            console::err(line + QLatin1Char('\n'));
    }
}

// The end of the link, on every way out of a run: "offline" announced, a few seconds for the
// broker to acknowledge what is outstanding; a stop signal ends the wait at once.
void Station::closePublishing()
{
    if (!publisher || publishClosed)
        return;
    publishClosed = true;
    publisher->close(kCloseGraceMs, offlineState ? offlineState() : QByteArray());
    QElapsedTimer clock;
    clock.start();
    while (!publisher->isClosed() && clock.elapsed() < kCloseGraceMs + 2000) {
        if (stopSignals.wait(kCloseTickMs) != StopSignals::Event::None)
            publisher->abort();
    }
    sayPublisherEvents();
    if (!publisher->join())
        abandoned = true; // stuck in a name lookup: the process ends without it
    const Publisher::Tally tally = publisher->tally();
    publishing = QJsonObject{{QStringLiteral("broker"), options.broker.text()},
                             {QStringLiteral("published"), tally.published},
                             {QStringLiteral("publishedAfterWaiting"), recordsJson(tally.waited)},
                             {QStringLiteral("unsent"), recordsJson(tally.unsent)}};
    if (tally.unsent.isEmpty()) {
        publishLines = QStringLiteral("Serveur MQTT %1 : %2 enregistrement(s) publié(s)")
                           .arg(options.broker.text())
                           .arg(tally.published);
        if (!tally.waited.isEmpty())
            publishLines += QStringLiteral(", dont %1 après une attente : %2")
                                .arg(tally.waited.size())
                                .arg(keysOf(tally.waited).join(QStringLiteral(", ")));
        publishLines += QLatin1Char('.');
    } else {
        publishLines =
            QStringLiteral("Serveur MQTT %1 : %2 enregistrement(s) publié(s), %3 non transmis : "
                           "%4.\n")
                .arg(options.broker.text())
                .arg(tally.published)
                .arg(tally.unsent.size())
                .arg(keysOf(tally.unsent).join(QStringLiteral(", "))) +
            (options.journalFile.isEmpty()
                 ? QStringLiteral("Sans --journal, ils ne sont gardés nulle part.")
                 : QStringLiteral("Ils restent dans le journal : vardel-station --journal %1 "
                                  "--publish %2 --flush les enverra.")
                       .arg(options.journalFile, options.publishUrl));
        station->log(QStringLiteral("Publication : %1 enregistrement(s) non transmis").arg(tally.unsent.size()));
    }
}

// --flush: the journal's records that the broker never acknowledged, sent in order; a record of
// a terminal that has a later one in the journal goes without the retain flag, so that the
// broker keeps the latest. Ends once all are acknowledged, after --wait seconds, or on a signal.
int Station::flush()
{
    QList<QJsonObject> records;
    QString error;
    if (!Journal::read(options.journalFile, records, error)) {
        console::err(QStringLiteral("vardel-station : ") + error + QStringLiteral(".\n"));
        return kNothingStarted;
    }
    const QString ackPath = AckLog::pathFor(options.journalFile);
    const QSet<QString> acknowledged = AckLog::read(ackPath);
    QHash<QString, int> last; // the index of each terminal's latest record
    for (int i = 0; i < records.size(); ++i)
        last.insert(keyOf(records.at(i)), i);
    QList<int> pending;
    for (int i = 0; i < records.size(); ++i) {
        if (!acknowledged.contains(records.at(i).value(QStringLiteral("id")).toString()))
            pending << i;
    }
    if (pending.isEmpty()) {
        console::out(QStringLiteral("Rien à envoyer : le serveur a confirmé les %1 "
                                    "enregistrement(s) du journal.\n")
                         .arg(records.size()));
        return kAllUpdated;
    }
    if (!preparePublishing(error)) {
        console::err(QStringLiteral("vardel-station : ") + error + QLatin1Char('\n'));
        return kNothingStarted;
    }
    Publisher::Settings settings;
    settings.address = options.broker;
    settings.caFile = options.publishCa;
    settings.user = QString::fromUtf8(qgetenv("VARDEL_MQTT_USER"));
    settings.password = QString::fromUtf8(qgetenv("VARDEL_MQTT_PASSWORD"));
    publisher = std::make_unique<Publisher>(std::move(settings), std::move(acks));
    for (int i : pending)
        publisher->publishRecord(keyOf(records.at(i)), records.at(i), last.value(keyOf(records.at(i))) == i);
    publisher->start();
    const qint64 deadline = qint64(std::max(options.waitSeconds, 1)) * 1000;
    QElapsedTimer clock;
    clock.start();
    while (!publisher->allAcknowledged() && clock.elapsed() < deadline) {
        if (stopSignals.wait(kCloseTickMs) != StopSignals::Event::None)
            break;
        sayPublisherEvents();
    }
    closePublishing();
    console::out(publishLines + QLatin1Char('\n'));
    return publisher->tally().unsent.isEmpty() ? kAllUpdated : kSomeFailed;
}
