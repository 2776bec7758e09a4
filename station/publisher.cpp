#include "publisher.h"

#include "acklog.h"

#include <QJsonDocument>
#include <QLoggingCategory>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>

Q_LOGGING_CATEGORY(lcPublisher, "vardel.station.publisher")

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long the thread blocks in one turn: in select() on the broker's socket, or on the
// condition when there is no connection. A record handed over waits at most this long.
constexpr int kTurnMs = 100;

void initialiseLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); }); // never cleaned up: a left thread may use it
}

Publisher::Link failureOf(int rc, int osError)
{
    switch (rc) {
    case MOSQ_ERR_EAI:
    case MOSQ_ERR_LOOKUP:
        return Publisher::Link::UnknownHost;
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE:
    case MOSQ_ERR_OCSP:
        return Publisher::Link::Tls;
    default:
        break;
    }
    switch (osError) {
    case ECONNREFUSED:
        return Publisher::Link::Refused;
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ETIMEDOUT:
    case EADDRNOTAVAIL:
        return Publisher::Link::Unreachable;
    default:
        return Publisher::Link::Lost;
    }
}

} // namespace

struct Publisher::State
{
    // A record on its way: owned by the thread.
    struct Pending
    {
        Record record;
        QByteArray topic;
        QByteArray payload;
        bool retain = true;
        bool waited = false; // queued while the link was down, or lost in flight
        int mid = -1;        // in flight under this message id of the current client
        bool acked = false;  // acknowledged, refused or set aside: done with
        bool known = false;  // its id is already beside the journal (--republish)
    };
    struct Progress
    {
        QByteArray payload;
        bool fresh = false;
        Clock::time_point sent{};
    };

    Settings settings;
    std::unique_ptr<AckLog> acks;

    // Shared with the run's thread, under `mutex`.
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::vector<Pending> incoming;
    std::map<QString, Progress> progress;
    std::vector<Event> events;
    QList<Record> outstanding; // handed over and not yet acknowledged, in order
    Tally done;                // published and waited
    bool closing = false;
    QByteArray offline; // the station's last message
    bool aborted = false;
    bool finished = false;
    Clock::time_point closeBy{};

    // The thread's own.
    mosquitto *client = nullptr;
    bool connected = false;
    bool steady = false; // see kSteadyMs
    Clock::time_point connectStarted{};
    Clock::time_point connectedAt{};
    int refusal = -1;        // the CONNACK code of a refused connection
    int brokerReason = 0;    // the reason code of the broker's DISCONNECT, if it sent one
    bool mqtt5 = true;       // until the broker shows it does not speak it
    bool olderSaid = false;
    qint64 maxPacket = 0;    // announced by the broker's CONNACK (MQTT 5); 0: none
    std::set<int> refusalsSaid; // reason codes already told
    std::deque<Pending> queue;
    bool announce = false; // "online" is due on the new connection
    int onlineMid = -1;
    int offlineMid = -1;
    bool offlineAcked = false;
    int retryMs = kFirstRetryMs;
    Clock::time_point nextAttempt{};
    bool outageSaid = false; // a failure was reported since the last steady connection
    bool ackFailureSaid = false;

    void run();
    bool turn();
    void connect();
    void drop(Link link, int osError, int code);
    void markSteady();
    void settle(Pending &p, const Refusal *refusal);
    void setAside(Pending &p, Refusal::Kind kind, int code, qint64 size);
    qint64 packetSize(const Pending &p) const;
    void sendRecords();
    void sendProgress();
    bool shouldEnd(const Clock::time_point &now, bool announcesEnd);
    void say(const Event &event);
    QByteArray stationTopicBytes() const
    {
        return (settings.address.prefix + QStringLiteral("/stations/") + settings.station)
            .toUtf8();
    }

    static void onConnect(mosquitto *, void *self, int rc, int flags,
                          const mosquitto_property *properties);
    static void onPublish(mosquitto *, void *self, int mid, int reason,
                          const mosquitto_property *properties);
    static void onDisconnect(mosquitto *, void *self, int rc, const mosquitto_property *);
};

void Publisher::State::say(const Event &event)
{
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(event);
}

void Publisher::State::onConnect(mosquitto *, void *self, int rc, int,
                                 const mosquitto_property *properties)
{
    auto *s = static_cast<State *>(self);
    if (rc != 0) {
        s->refusal = rc;
        return;
    }
    s->connected = true;
    s->steady = false;
    s->connectedAt = Clock::now();
    s->brokerReason = 0;
    s->announce = true; // not from here: libmosquitto holds its own locks around a callback
    uint32_t most = 0;
    s->maxPacket = properties && mosquitto_property_read_int32(
                                     properties, MQTT_PROP_MAXIMUM_PACKET_SIZE, &most, false)
                       ? qint64(most)
                       : 0;
    if (!s->outageSaid) {
        // A first connection, or one after a steady one: nothing to take back.
        s->steady = true;
        s->say({Link::Connected, 0, 0, {}});
    }
    qCInfo(lcPublisher) << "connected to" << s->settings.address.text() << "MQTT"
                        << (s->mqtt5 ? 5 : 4) << "maximum packet" << s->maxPacket;
}

void Publisher::State::onDisconnect(mosquitto *, void *self, int rc, const mosquitto_property *)
{
    // libmosquitto's own errors are small numbers; a DISCONNECT's reason codes start at 128.
    if (rc >= MQTT_RC_UNSPECIFIED)
        static_cast<State *>(self)->brokerReason = rc;
}

// The record is done with: acknowledged (refusal null) or not taken.
void Publisher::State::settle(Pending &p, const Refusal *refusal)
{
    p.acked = true;
    p.mid = -1;
    if (!refusal && !p.known && acks && !acks->append(p.record.id) && !ackFailureSaid) {
        ackFailureSaid = true;
        say({Link::AckNotWritten, errno, 0, {}});
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (!refusal) {
        ++done.published;
        if (p.waited)
            done.waited << p.record;
    } else if (refusal->kind == Refusal::Kind::Refused) {
        done.refused << *refusal;
    } else {
        done.setAside << *refusal;
    }
    for (int i = 0; i < outstanding.size(); ++i) {
        if (outstanding.at(i).id == p.record.id) {
            outstanding.removeAt(i);
            break;
        }
    }
}

void Publisher::State::setAside(Pending &p, Refusal::Kind kind, int code, qint64 size)
{
    Refusal refusal;
    refusal.record = p.record;
    refusal.kind = kind;
    refusal.code = code;
    refusal.size = size;
    refusal.limit = maxPacket;
    qCInfo(lcPublisher) << "set aside" << p.record.id << int(kind) << code << size << maxPacket;
    settle(p, &refusal);
    say({Link::RecordSetAside, 0, code, refusal});
}

void Publisher::State::onPublish(mosquitto *, void *self, int mid, int reason,
                                 const mosquitto_property *properties)
{
    auto *s = static_cast<State *>(self);
    if (mid == s->offlineMid) {
        s->offlineAcked = true;
        return;
    }
    for (Pending &p : s->queue) {
        if (p.mid != mid || p.acked)
            continue;
        s->markSteady(); // the broker answers: the link works
        if (reason < MQTT_RC_UNSPECIFIED) { // 0, or 16: no subscriber yet, which is fine
            s->settle(p, nullptr);
            return;
        }
        Refusal refusal;
        refusal.record = p.record;
        refusal.code = reason;
        char *words = nullptr;
        if (properties &&
            mosquitto_property_read_string(properties, MQTT_PROP_REASON_STRING, &words, false)) {
            refusal.reason = QString::fromUtf8(words);
            ::free(words);
        }
        qCInfo(lcPublisher) << "refused" << p.record.id << reason << refusal.reason;
        s->settle(p, &refusal);
        if (s->refusalsSaid.insert(reason).second)
            s->say({Link::RecordRefused, 0, reason, refusal});
        return;
    }
}

void Publisher::State::markSteady()
{
    if (!connected || steady)
        return;
    steady = true;
    retryMs = kFirstRetryMs;
    outageSaid = false;
    say({Link::Connected, 0, 0, {}});
}

void Publisher::State::connect()
{
    client = mosquitto_new(nullptr, true, this);
    if (!client) {
        drop(Link::Lost, ENOMEM, MOSQ_ERR_NOMEM);
        return;
    }
    refusal = -1;
    maxPacket = 0;
    brokerReason = 0;
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION,
                         mqtt5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_connect_v5_callback_set(client, &State::onConnect);
    mosquitto_publish_v5_callback_set(client, &State::onPublish);
    mosquitto_disconnect_v5_callback_set(client, &State::onDisconnect);
    const BrokerAddress &a = settings.address;
    if (!settings.station.isEmpty() && !settings.will.isEmpty()) {
        mosquitto_will_set(client, stationTopicBytes().constData(), int(settings.will.size()),
                           settings.will.constData(), 1, true);
    }
    if (!settings.user.isEmpty())
        mosquitto_username_pw_set(client, settings.user.toUtf8().constData(),
                                  settings.password.isEmpty()
                                      ? nullptr
                                      : settings.password.toUtf8().constData());
    if (a.tls) {
        const QByteArray ca = settings.caFile.toUtf8();
        const int rc = ca.isEmpty() ? mosquitto_tls_set(client, nullptr, "/etc/ssl/certs", nullptr,
                                                        nullptr, nullptr)
                                    : mosquitto_tls_set(client, ca.constData(), nullptr, nullptr,
                                                        nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            drop(Link::Tls, 0, rc);
            return;
        }
    }
    connectStarted = Clock::now();
    errno = 0;
    const int rc = mosquitto_connect_async(client, a.host.toUtf8().constData(), a.port,
                                           kKeepAliveSeconds);
    const int osError = errno;
    qCDebug(lcPublisher) << "connect" << a.text() << rc << osError;
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_CONN_PENDING)
        drop(failureOf(rc, osError), osError, rc);
}

// The client is gone: what was in flight goes again, first, on the next connection.
void Publisher::State::drop(Link link, int osError, int code)
{
    const bool wasConnected = connected;
    const bool wasSteady = steady;
    // A broker that does not know MQTT 5 says so in its CONNACK (MQTT 5's 132, or 3.1.1's 1,
    // which libmosquitto may also find malformed, having awaited an MQTT 5 one): MQTT 3.1.1
    // from now on, said once. A connection merely lost is not that.
    const bool olderConnack = !wasConnected && refusal < 0 && client &&
                              (code == MOSQ_ERR_PROTOCOL || code == MOSQ_ERR_MALFORMED_PACKET);
    if (mqtt5 &&
        (refusal == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION || refusal == 1 || olderConnack)) {
        mqtt5 = false;
        if (client) {
            mosquitto_destroy(client);
            client = nullptr;
        }
        qCInfo(lcPublisher) << "MQTT 5 refused (" << refusal << code << "): MQTT 3.1.1";
        if (!olderSaid) {
            olderSaid = true;
            say({Link::OlderProtocol, 0, refusal >= 0 ? refusal : code, {}});
        }
        nextAttempt = Clock::now(); // at once, in the older tongue
        return;
    }
    if (client) {
        mosquitto_destroy(client);
        client = nullptr;
    }
    connected = false;
    announce = false;
    onlineMid = offlineMid = -1;
    for (Pending &p : queue) {
        if (p.mid >= 0 && !p.acked) {
            p.mid = -1;
            p.waited = true;
        }
    }
    steady = false;
    if (wasConnected) {
        link = Link::Lost;
        code = brokerReason;
    } else if (refusal >= 0)
        // MQTT 3.1.1's CONNACK codes, or MQTT 5's reason codes.
        link = refusal == 4 || refusal == MQTT_RC_BAD_USERNAME_OR_PASSWORD ? Link::BadCredentials
               : refusal == 5 || refusal == MQTT_RC_NOT_AUTHORIZED        ? Link::NotAuthorised
                                                                          : Link::Rejected;
    if (refusal >= 0)
        code = refusal;
    // Only a steady connection makes the next wait short again: a broker that drops every
    // connection at once is tried less and less often, and its outage told once.
    if (wasSteady)
        retryMs = kFirstRetryMs;
    qCInfo(lcPublisher) << "link down" << int(link) << osError << code << "next try in"
                        << retryMs << "ms";
    if (!outageSaid) {
        outageSaid = true;
        say({link, osError, code, {}});
    }
    nextAttempt = Clock::now() + milliseconds(retryMs);
    retryMs = std::min(retryMs * 2, int(kLastRetryMs));
}

// The bytes of a record's PUBLISH packet: fixed header, topic, packet id, properties (none:
// their length, one byte, in MQTT 5), payload.
qint64 Publisher::State::packetSize(const Pending &p) const
{
    const qint64 remaining = 2 + p.topic.size() + 2 + (mqtt5 ? 1 : 0) + p.payload.size();
    int lengthBytes = 1;
    for (qint64 left = remaining >> 7; left > 0; left >>= 7)
        ++lengthBytes;
    return 1 + lengthBytes + remaining;
}

void Publisher::State::sendRecords()
{
    for (Pending &p : queue) {
        if (p.mid >= 0 || p.acked)
            continue;
        const qint64 size = packetSize(p);
        if (maxPacket > 0 && size > maxPacket) {
            setAside(p, Refusal::Kind::TooLarge, 0, size);
            continue;
        }
        const int rc = mosquitto_publish_v5(client, &p.mid, p.topic.constData(),
                                            int(p.payload.size()), p.payload.constData(), 1,
                                            p.retain, nullptr);
        switch (rc) {
        case MOSQ_ERR_SUCCESS:
            continue;
        case MOSQ_ERR_OVERSIZE_PACKET:
        case MOSQ_ERR_PAYLOAD_SIZE:
            setAside(p, Refusal::Kind::TooLarge, rc, size);
            continue;
        case MOSQ_ERR_INVAL:
        case MOSQ_ERR_MALFORMED_UTF8:
        case MOSQ_ERR_QOS_NOT_SUPPORTED:
        case MOSQ_ERR_RETAIN_NOT_SUPPORTED:
            // Nothing was sent, and nothing will ever be: the next records go on.
            setAside(p, Refusal::Kind::BadTopic, rc, size);
            continue;
        default:
            p.mid = -1;
            return; // the loop finds out what became of the link
        }
    }
}

void Publisher::State::sendProgress()
{
    std::vector<std::pair<QByteArray, QByteArray>> due;
    {
        const Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex);
        for (auto &[level, slot] : progress) {
            if (!slot.fresh || now - slot.sent < milliseconds(kProgressGapMs))
                continue;
            slot.fresh = false;
            slot.sent = now;
            due.emplace_back(
                (settings.address.prefix + QStringLiteral("/progress/") + level).toUtf8(),
                slot.payload);
        }
    }
    for (const auto &[topic, payload] : due)
        (void)mosquitto_publish_v5(client, nullptr, topic.constData(), int(payload.size()),
                                   payload.constData(), 0, false, nullptr);
}

bool Publisher::State::shouldEnd(const Clock::time_point &now, bool announcesEnd)
{
    if (now >= closeBy || !client)
        return true;
    if (!connected)
        return false; // a connection is being made: it may still deliver
    bool delivered = true;
    for (const Pending &p : queue)
        delivered = delivered && p.acked;
    return delivered && (!announcesEnd || offlineAcked);
}

// One turn of the thread; false once it must end.
bool Publisher::State::turn()
{
    bool closingNow = false;
    QByteArray offlineNow;
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (aborted)
            return false;
        for (Pending &p : incoming) {
            p.waited = !connected;
            queue.push_back(std::move(p));
        }
        incoming.clear();
        closingNow = closing;
        offlineNow = offline;
        if (!client && !closingNow && Clock::now() < nextAttempt) {
            wake.wait_until(lock, std::min(nextAttempt, Clock::now() + milliseconds(kTurnMs)));
            return true;
        }
    }
    while (!queue.empty() && queue.front().acked)
        queue.pop_front();
    const Clock::time_point now = Clock::now();
    const bool announcesEnd = !settings.station.isEmpty() && !offlineNow.isEmpty();
    if (closingNow && shouldEnd(now, announcesEnd))
        return false;
    if (!client) {
        connect();
        return true;
    }
    if (connected) {
        if (announce) {
            // The station first, then what waits.
            announce = false;
            if (!settings.station.isEmpty() && !settings.online.isEmpty())
                (void)mosquitto_publish_v5(client, &onlineMid, stationTopicBytes().constData(),
                                           int(settings.online.size()),
                                           settings.online.constData(), 1, true, nullptr);
        }
        sendRecords();
        sendProgress();
        if (closingNow && announcesEnd && offlineMid < 0 && !offlineAcked) {
            if (mosquitto_publish_v5(client, &offlineMid, stationTopicBytes().constData(),
                                     int(offlineNow.size()), offlineNow.constData(), 1, true,
                                     nullptr) != MOSQ_ERR_SUCCESS)
                offlineMid = -1;
        }
    }
    errno = 0;
    const int rc = mosquitto_loop(client, kTurnMs, 1);
    const int osError = errno;
    if (rc != MOSQ_ERR_SUCCESS)
        drop(failureOf(rc, osError), osError, rc);
    else if (!connected && Clock::now() - connectStarted > milliseconds(kConnectTimeoutMs))
        drop(Link::Unreachable, ETIMEDOUT, 0);
    else if (connected && Clock::now() - connectedAt >= milliseconds(kSteadyMs))
        markSteady();
    return true;
}

void Publisher::State::run()
{
    while (turn()) {
    }
    if (client) {
        if (connected) {
            // A clean end: the broker drops the last will.
            mosquitto_disconnect(client);
            (void)mosquitto_loop(client, 50, 1);
        }
        mosquitto_destroy(client);
        client = nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
}

Publisher::Publisher(Settings settings, std::unique_ptr<AckLog> acks)
    : state(std::make_shared<State>())
{
    initialiseLibrary();
    state->settings = std::move(settings);
    state->acks = std::move(acks);
}

Publisher::~Publisher()
{
    abort();
    (void)join();
}

void Publisher::start()
{
    std::shared_ptr<State> s = state;
    thread = std::thread([s] { s->run(); });
}

void Publisher::publishRecord(const QString &level, const QString &key,
                              const QJsonObject &record, bool retain, bool acknowledged)
{
    State::Pending p;
    p.record = {record.value(QStringLiteral("id")).toString(), key};
    p.topic = recordTopic(level).toUtf8();
    p.payload = QJsonDocument(record).toJson(QJsonDocument::Compact);
    p.retain = retain;
    p.known = acknowledged;
    std::lock_guard<std::mutex> lock(state->mutex);
    state->outstanding << p.record;
    state->progress.erase(level);
    state->incoming.push_back(std::move(p));
    state->wake.notify_all();
}

void Publisher::publishProgress(const QString &level, const QJsonObject &progress)
{
    const QByteArray payload = QJsonDocument(progress).toJson(QJsonDocument::Compact);
    std::lock_guard<std::mutex> lock(state->mutex);
    State::Progress &slot = state->progress[level];
    if (slot.payload != payload) {
        slot.payload = payload;
        slot.fresh = true;
    }
}

std::vector<Publisher::Event> Publisher::takeEvents()
{
    std::lock_guard<std::mutex> lock(state->mutex);
    std::vector<Event> taken;
    taken.swap(state->events);
    return taken;
}

void Publisher::close(int graceMs, const QByteArray &offline)
{
    std::lock_guard<std::mutex> lock(state->mutex);
    if (!state->closing) {
        state->closing = true;
        state->offline = offline;
        state->closeBy = Clock::now() + milliseconds(graceMs);
    }
    state->wake.notify_all();
}

void Publisher::abort()
{
    std::lock_guard<std::mutex> lock(state->mutex);
    state->aborted = true;
    state->wake.notify_all();
}

bool Publisher::isClosed() const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->finished || !thread.joinable();
}

bool Publisher::allAcknowledged() const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->outstanding.isEmpty();
}

bool Publisher::join()
{
    if (!thread.joinable())
        return true;
    if (!isClosed()) {
        thread.detach();
        return false;
    }
    thread.join();
    return true;
}

Publisher::Tally Publisher::tally() const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    Tally t = state->done;
    t.unsent = state->outstanding;
    return t;
}

QString Publisher::recordTopic(const QString &level) const
{
    return state->settings.address.prefix + QStringLiteral("/terminals/") + level;
}
