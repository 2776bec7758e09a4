#include "publisher.h"

#include "acklog.h"

#include <QJsonDocument>
#include <QLoggingCategory>

#include <mosquitto.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

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
        bool acked = false;
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
    Clock::time_point connectStarted{};
    int refusal = -1; // the CONNACK code of a refused connection
    std::deque<Pending> queue;
    bool announce = false; // "online" is due on the new connection
    int onlineMid = -1;
    int offlineMid = -1;
    bool offlineAcked = false;
    int retryMs = kFirstRetryMs;
    Clock::time_point nextAttempt{};
    bool outageSaid = false; // a failure was reported since the last connection
    bool ackFailureSaid = false;

    void run();
    bool turn();
    void connect();
    void drop(Link link, int osError, int code);
    void sendRecords();
    void sendProgress();
    bool shouldEnd(const Clock::time_point &now, bool announcesEnd);
    void say(const Event &event);
    QByteArray stationTopicBytes() const
    {
        return (settings.address.prefix + QStringLiteral("/stations/") +
                topicLevel(settings.station))
            .toUtf8();
    }

    static void onConnect(mosquitto *, void *self, int rc);
    static void onPublish(mosquitto *, void *self, int mid);
};

void Publisher::State::say(const Event &event)
{
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(event);
}

void Publisher::State::onConnect(mosquitto *, void *self, int rc)
{
    auto *s = static_cast<State *>(self);
    if (rc != 0) {
        s->refusal = rc;
        return;
    }
    s->connected = true;
    s->retryMs = kFirstRetryMs;
    s->outageSaid = false;
    s->announce = true; // not from here: libmosquitto holds its own locks around a callback
    s->say({Link::Connected, 0, 0});
    qCInfo(lcPublisher) << "connected to" << s->settings.address.text();
}

void Publisher::State::onPublish(mosquitto *, void *self, int mid)
{
    auto *s = static_cast<State *>(self);
    if (mid == s->offlineMid) {
        s->offlineAcked = true;
        return;
    }
    for (Pending &p : s->queue) {
        if (p.mid != mid || p.acked)
            continue;
        p.acked = true;
        if (s->acks && !s->acks->append(p.record.id) && !s->ackFailureSaid) {
            s->ackFailureSaid = true;
            s->say({Link::AckNotWritten, errno, 0});
        }
        std::lock_guard<std::mutex> lock(s->mutex);
        ++s->done.published;
        if (p.waited)
            s->done.waited << p.record;
        for (int i = 0; i < s->outstanding.size(); ++i) {
            if (s->outstanding.at(i).id == p.record.id) {
                s->outstanding.removeAt(i);
                break;
            }
        }
        return;
    }
}

void Publisher::State::connect()
{
    client = mosquitto_new(nullptr, true, this);
    if (!client) {
        drop(Link::Lost, ENOMEM, MOSQ_ERR_NOMEM);
        return;
    }
    refusal = -1;
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(client, &State::onConnect);
    mosquitto_publish_callback_set(client, &State::onPublish);
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
    if (wasConnected)
        link = Link::Lost;
    else if (refusal >= 0)
        link = refusal == 4 ? Link::BadCredentials
               : refusal == 5 ? Link::NotAuthorised
                              : Link::Rejected;
    if (refusal >= 0)
        code = refusal;
    qCInfo(lcPublisher) << "link down" << int(link) << osError << code << "next try in"
                        << retryMs << "ms";
    if (!outageSaid) {
        outageSaid = true;
        say({link, osError, code});
    }
    nextAttempt = Clock::now() + milliseconds(retryMs);
    retryMs = std::min(retryMs * 2, int(kLastRetryMs));
}

void Publisher::State::sendRecords()
{
    for (Pending &p : queue) {
        if (p.mid >= 0 || p.acked)
            continue;
        const int rc = mosquitto_publish(client, &p.mid, p.topic.constData(),
                                         int(p.payload.size()), p.payload.constData(), 1,
                                         p.retain);
        if (rc != MOSQ_ERR_SUCCESS) {
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
        for (auto &[key, slot] : progress) {
            if (!slot.fresh || now - slot.sent < milliseconds(kProgressGapMs))
                continue;
            slot.fresh = false;
            slot.sent = now;
            due.emplace_back(
                (settings.address.prefix + QStringLiteral("/progress/") + topicLevel(key)).toUtf8(),
                slot.payload);
        }
    }
    for (const auto &[topic, payload] : due)
        (void)mosquitto_publish(client, nullptr, topic.constData(), int(payload.size()),
                                payload.constData(), 0, false);
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
                (void)mosquitto_publish(client, &onlineMid, stationTopicBytes().constData(),
                                        int(settings.online.size()), settings.online.constData(),
                                        1, true);
        }
        sendRecords();
        sendProgress();
        if (closingNow && announcesEnd && offlineMid < 0 && !offlineAcked) {
            if (mosquitto_publish(client, &offlineMid, stationTopicBytes().constData(),
                                  int(offlineNow.size()), offlineNow.constData(), 1,
                                  true) != MOSQ_ERR_SUCCESS)
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

void Publisher::publishRecord(const QString &key, const QJsonObject &record, bool retain)
{
    State::Pending p;
    p.record = {record.value(QStringLiteral("id")).toString(), key};
    p.topic = recordTopic(key).toUtf8();
    p.payload = QJsonDocument(record).toJson(QJsonDocument::Compact);
    p.retain = retain;
    std::lock_guard<std::mutex> lock(state->mutex);
    state->outstanding << p.record;
    state->progress.erase(key);
    state->incoming.push_back(std::move(p));
    state->wake.notify_all();
}

void Publisher::publishProgress(const QString &key, const QJsonObject &progress)
{
    const QByteArray payload = QJsonDocument(progress).toJson(QJsonDocument::Compact);
    std::lock_guard<std::mutex> lock(state->mutex);
    State::Progress &slot = state->progress[key];
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

QString Publisher::recordTopic(const QString &key) const
{
    return state->settings.address.prefix + QStringLiteral("/terminals/") + topicLevel(key);
}
