#pragma once

#include "brokeraddress.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <memory>
#include <thread>
#include <vector>

class AckLog;

// A station's link to an MQTT broker (libmosquitto), on a thread of its own: the run's loop
// only hands it records and progress, under a lock held for a copy, so that the network never
// slows or blocks a terminal. Each connection is a fresh client; a record is published again on
// every connection until the broker acknowledges it (PUBACK), in the order given: a consumer
// drops duplicates by the record's "id". The broker decides nothing: a record it never
// acknowledged stays in the journal (see AckLog) and in tally().unsent.
//
// It speaks MQTT 5, whose acknowledgements carry a reason code: a record the broker refuses (its
// access rules) is not taken for published. A broker that does not know MQTT 5 is spoken to in
// MQTT 3.1.1 from then on (said once). A record the broker will never take (larger than the
// maximum packet size its CONNACK announces, a topic libmosquitto refuses) is set aside with
// its reason and never holds up the records behind it.
//
// Topics, under the address's prefix (levels made by terminalLevel() and stationLevel()):
//   terminals/<level>  each record, QoS 1, retained: the terminal's latest result
//   progress/<level>   stage and percent while it runs, QoS 0, at most once a second per level
//   stations/<level>   the station's own state, QoS 1, retained; the last will says "offline"
class Publisher
{
public:
    // How the link stands, as values: the station words them.
    enum class Link
    {
        Connected,      // the broker accepted the connection (CONNACK 0)
        Refused,        // nothing listens there (ECONNREFUSED)
        UnknownHost,    // the name does not resolve
        Unreachable,    // no route, or no answer within kConnectTimeoutMs
        Tls,            // the TLS handshake failed (certificate, authority, protocol)
        BadCredentials, // CONNACK 4 (MQTT 5: 134): user name or password refused
        NotAuthorised,  // CONNACK 5 (MQTT 5: 135)
        Rejected,       // another CONNACK refusal (client id, unavailable...)
        Lost,           // a working connection went away (code: the broker's reason, if any)
        AckNotWritten,  // the file of acknowledged ids could not be written (osError)
        OlderProtocol,  // the broker does not speak MQTT 5: MQTT 3.1.1 from now on
        RecordRefused,  // the broker refused a record (refusal): the first of each reason
        RecordSetAside, // a record the broker would never take (refusal)
    };

    // One record, as the summary names it.
    struct Record
    {
        QString id;
        QString key; // the terminal's name: serial number, or port without one
    };
    // A record the broker did not take, and why, as values.
    struct Refusal
    {
        enum class Kind
        {
            Refused,  // its PUBACK's reason code (MQTT 5), e.g. 135: not authorised
            TooLarge, // its packet is larger than the broker's maximum (size, limit)
            BadTopic, // libmosquitto refuses its topic (code: libmosquitto's error)
        };
        Record record;
        Kind kind = Kind::Refused;
        int code = 0;
        QString reason; // the broker's own words (MQTT 5 reason string), when it gave some
        qint64 size = 0;
        qint64 limit = 0;
    };
    struct Event
    {
        Link link = Link::Connected;
        int osError = 0; // errno where the system gave one
        int code = 0;    // the CONNACK code, a DISCONNECT's reason or libmosquitto's error number
        Refusal refusal; // RecordRefused, RecordSetAside
    };

    struct Tally
    {
        int published = 0;    // acknowledged by the broker
        QList<Record> waited; // acknowledged, but only after a reconnection
        QList<Record> unsent; // never acknowledged, in order
        QList<Refusal> refused;  // acknowledged with a refusal: not published
        QList<Refusal> setAside; // never sent: the broker would not take them
    };

    struct Settings
    {
        BrokerAddress address;
        QString caFile;   // mqtts: the authority of the broker's certificate; empty: the system's
        QString user;     // empty: none
        QString password;
        QString station;  // the station's topic level (stationLevel()); empty: no announcement
        QByteArray online;  // published retained on every connection
        QByteArray will;    // left with the broker, published by it if the station vanishes
    };

    static constexpr int kConnectTimeoutMs = 5000; // from the socket to CONNACK
    static constexpr int kFirstRetryMs = 500;      // doubled after each failure...
    static constexpr int kLastRetryMs = 4000;      // ... up to this
    // A connection is steady once it has lasted this long or the broker has acknowledged a
    // record on it: only then is the wait before the next try short again, and a later loss a
    // new outage to tell.
    static constexpr int kSteadyMs = 2000;
    static constexpr int kProgressGapMs = 1000;    // between two progress messages of one key
    static constexpr int kKeepAliveSeconds = 10;

    Publisher(Settings settings, std::unique_ptr<AckLog> acks);
    ~Publisher(); // aborts; the thread is joined if it has ended, left to end alone otherwise
    Publisher(const Publisher &) = delete;
    Publisher &operator=(const Publisher &) = delete;

    void start();
    // A journal record (with its "id") to PREFIX/terminals/<level>, `key` naming it in the
    // summary; `retain` false for one older than a record of that terminal the broker already
    // holds (--flush); `acknowledged`: its id is already beside the journal (--republish).
    void publishRecord(const QString &level, const QString &key, const QJsonObject &record,
                       bool retain = true, bool acknowledged = false);
    // The latest progress at `level`: sent when a second has passed since the last one, dropped
    // when the link is down or a record of that level came meanwhile.
    void publishProgress(const QString &level, const QJsonObject &progress);
    // What happened to the link since the last call: one failure per outage, not one per retry.
    std::vector<Event> takeEvents();

    // Ends the link: once connected, announces `offline` (when the station announces itself)
    // and waits up to graceMs for the
    // broker to acknowledge what is outstanding; without a connection (and none being made),
    // ends at once. Returns at once: see isClosed().
    void close(int graceMs, const QByteArray &offline);
    void abort(); // ends now
    bool isClosed() const;
    bool allAcknowledged() const;
    // Joins the thread once closed; false when it is still running (stuck in a name lookup):
    // it is then left to end on its own, and the process must not wait for it.
    bool join();
    Tally tally() const;

    QString recordTopic(const QString &level) const;

private:
    struct State;
    std::shared_ptr<State> state;
    std::thread thread;
};
