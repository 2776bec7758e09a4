// The broker addresses vardel-station takes, and the topic levels it makes of names.
#include "brokeraddress.h"

#include "replies.h"

#include <QTest>

class TestBrokerAddress : public QObject
{
    Q_OBJECT

private slots:
    // The addresses a station takes, and the topic levels made from what a terminal reports.
    void addresses_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("default port") << "mqtt://broker/vardel"_q << false << "broker"_q << 1883
                                      << "vardel"_q;
        QTest::newRow("TLS, levels, trailing slash")
            << "mqtts://broker.example:8884/usine/atelier-3/"_q << true << "broker.example"_q
            << 8884 << "usine/atelier-3"_q;
        QTest::newRow("TLS default port") << "MQTTS://10.0.0.5/v"_q << true << "10.0.0.5"_q
                                          << 8883 << "v"_q;
        QTest::newRow("IPv6") << "mqtt://[::1]:1884/v"_q << false << "::1"_q << 1884 << "v"_q;
    }
    void addresses()
    {
        QFETCH(QString, url);
        BrokerAddress address;
        QString error;
        QVERIFY2(parseBrokerAddress(url, address, error), qPrintable(error));
        QTEST(address.tls, "tls");
        QTEST(address.host, "host");
        QTEST(address.port, "port");
        QTEST(address.prefix, "prefix");
        QCOMPARE(topicLevel("A/B+C#D\n"_q), "A_B_C_D_"_q);
        QCOMPARE(topicLevel(QString()), "_"_q);
    }

};

QTEST_GUILESS_MAIN(TestBrokerAddress)
#include "tst_brokeraddress.moc"
