#pragma once

#include <QString>

// Where a station publishes: mqtt://HOST[:PORT]/PREFIX, or mqtts:// for a broker with TLS. The
// user name and password never appear here (they would show in `ps` and in shell histories):
// they come from the environment.
struct BrokerAddress
{
    static constexpr int kPlainPort = 1883;
    static constexpr int kTlsPort = 8883;

    bool tls = false;
    QString host; // a name, an IPv4 address or an IPv6 address (without its brackets)
    int port = kPlainPort;
    QString prefix; // the topics' first levels, without a leading or trailing '/'

    // The address as a person reads it: mqtt://host:port/prefix.
    QString text() const;
    // "HOST:PORT" (IPv6 in brackets).
    QString endpoint() const;
};

// Parses `url`; false with `error` (French) when it cannot be used: another scheme, no host, a
// port out of 1..65535, no prefix, a prefix with MQTT wildcards (+ #) or empty levels, a user
// name or password in the address, a query or a fragment.
[[nodiscard]] bool parseBrokerAddress(const QString &url, BrokerAddress &address, QString &error);

// A topic level made from a serial number, a port or a host name: MQTT's separators and
// wildcards (/ + #) and control characters become '_'; an empty text becomes "_".
QString topicLevel(const QString &text);
