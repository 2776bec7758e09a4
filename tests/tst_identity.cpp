// Who a terminal is: what the system's listing says of each port (its USB serial number read
// as UTF-8, its USB socket), and the identity the window and the station follow a terminal by.
#include "link/portinfo.h"
#include "link/terminalidentity.h"
#include "mockbed.h"
#include "replies.h"

#include <QTest>

namespace {

// A port of a listing, written "NAME SERIAL SOCKET [VENDOR]" ("-" for none): "ttyA 0001 1-2".
PortInfo port(const QString &text)
{
    const QStringList words = text.split(QLatin1Char(' '));
    const auto word = [&words](int k) {
        const QString w = words.value(k);
        return w == "-"_q ? QString() : w;
    };
    PortInfo info;
    info.name = word(0);
    info.location = "/dev/"_q + info.name;
    info.description = "Terminal USB"_q;
    info.serialNumber = word(1).replace("\\e"_q, "\x1b"_q);
    info.serialNumberIsText = !info.serialNumber.isEmpty() && !info.serialNumber.contains(QChar(0x1b));
    info.usbSocket = word(2);
    info.manufacturer = words.size() > 3 ? words.at(3) : "Tarvenix"_q;
    return info;
}

QList<PortInfo> listing(const QString &text)
{
    QList<PortInfo> ports;
    for (const QString &line : text.split(QLatin1Char(','), Qt::SkipEmptyParts))
        ports << port(line.trimmed());
    return ports;
}

QString kindName(TerminalIdentity::Kind kind)
{
    switch (kind) {
    case TerminalIdentity::Kind::SerialNumber:
        return "serial"_q;
    case TerminalIdentity::Kind::UsbSocket:
        return "socket"_q;
    case TerminalIdentity::Kind::PortName:
        break;
    }
    return "port"_q;
}

} // namespace

class TestIdentity : public QObject
{
    Q_OBJECT

private slots:
    // What Qt Serial Port and udev show of a mocked USB device: the serial number, manufacturer
    // and description as UTF-8 (udev's encoding), control characters kept as they came
    // (escaping is for display) but not taken for a serial number's text, and the USB socket
    // the device sits in. (umockdev takes only UTF-8 descriptions: bytes that are not UTF-8
    // cannot be mocked.)
    void listing_data()
    {
        QTest::addColumn<QByteArray>("serial");
        QTest::addColumn<QByteArray>("model");  // ID_MODEL
        QTest::addColumn<QByteArray>("vendor"); // ID_VENDOR
        QTest::addColumn<int>("socket");
        QTest::addColumn<QString>("shownSerial");
        QTest::addColumn<bool>("serialIsText");
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("manufacturer");
        QTest::newRow("ASCII") << QByteArray("TVX00001") << QByteArray("Terminal_USB")
                               << QByteArray("Tarvenix") << 2 << "TVX00001"_q << true
                               << "Terminal USB"_q << "Tarvenix"_q;
        QTest::newRow("UTF-8") << QByteArray("E\xe2\x82\xac" "1") << QByteArray("Caisse_\xc3\xa9t\xc3\xa9")
                               << QByteArray("Quelm\xc3\xb6") << 5 << "E€1"_q << true
                               << "Caisse été"_q << "Quelmö"_q;
        QTest::newRow("control characters")
            << QByteArray("TVX\x1b[31m1") << QByteArray("Terminal\x07USB") << QByteArray("Tarvenix")
            << 4 << "TVX\x1b[31m1"_q << false << "Terminal\x07USB"_q << "Tarvenix"_q;
        QTest::newRow("blank") << QByteArray("   ") << QByteArray("Terminal_USB")
                               << QByteArray("Tarvenix") << 2 << "   "_q << false
                               << "Terminal USB"_q << "Tarvenix"_q;
    }
    void listing()
    {
        QFETCH(QByteArray, serial);
        QFETCH(QByteArray, model);
        QFETCH(QByteArray, vendor);
        QFETCH(int, socket);
        mockbed::Testbed bed;
        mockbed::Device device{"ttyID%1"_q.arg(QCoreApplication::applicationPid()).toStdString(),
                               vendor.toStdString(), model.toStdString(), serial.toStdString()};
        device.socket = socket;
        QVERIFY(bed.add(device));
        const QList<PortInfo> ports = PortInfo::available();
        QCOMPARE(ports.size(), 1);
        const PortInfo &info = ports.first();
        QTEST(info.serialNumber, "shownSerial");
        QTEST(info.serialNumberIsText, "serialIsText");
        QTEST(info.description, "description");
        QTEST(info.manufacturer, "manufacturer");
        QCOMPARE(info.usbSocket, "1-%1"_q.arg(socket));
    }

    // A port unplugged and plugged in again in the same socket under another name keeps its
    // socket; one plugged into another socket does not. Each device numbered anew on its bus.
    void socketSurvivesRenaming()
    {
        mockbed::Testbed bed;
        const std::string base = "ttyIR" + std::to_string(QCoreApplication::applicationPid());
        mockbed::Device first{base + "_0", "Tarvenix", "Terminal_USB"};
        QVERIFY(bed.add(first));
        QCOMPARE(PortInfo::available().value(0).usbSocket, "1-2"_q);
        bed.remove(first.name);
        mockbed::Device again{base + "_1", "Tarvenix", "Terminal_USB"};
        again.socket = 2;
        QVERIFY(bed.add(again));
        mockbed::Device other{base + "_2", "Tarvenix", "Terminal_USB"};
        QVERIFY(bed.add(other));
        // Two devices never share a socket.
        mockbed::Device intruder{base + "_3", "Tarvenix", "Terminal_USB"};
        intruder.socket = 2;
        QVERIFY(!bed.add(intruder));
        QMap<QString, QString> sockets;
        for (const PortInfo &info : PortInfo::available())
            sockets.insert(info.name, info.usbSocket);
        QCOMPARE(sockets.value(QString::fromStdString(again.name)), "1-2"_q);
        QCOMPARE(sockets.value(QString::fromStdString(other.name)), "1-3"_q);
        QCOMPARE(sockets.size(), 2);
    }

    // The identity a port gets in its listing: the serial number when no other port reports it
    // and it is text; else the socket when no other port is in it; else the port's name.
    void kind_data()
    {
        QTest::addColumn<QString>("ports"); // the first one is the terminal
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("described");
        QTest::newRow("serial number") << "ttyA TVX1 1-2, ttyB TVX2 1-3"_q << "serial"_q
                                       << "numéro de série TVX1"_q;
        QTest::newRow("UTF-8 serial number") << "ttyA E€1 1-2"_q << "serial"_q
                                             << "numéro de série E€1"_q;
        QTest::newRow("no serial number") << "ttyA - 1-2, ttyB - 1-3"_q << "socket"_q
                                          << "prise USB 1-2"_q;
        QTest::newRow("shared with a terminal") << "ttyA 0001 1-2, ttyB 0001 1-3"_q << "socket"_q
                                                << "prise USB 1-2"_q;
        QTest::newRow("shared with another maker's device")
            << "ttyA 0001 1-2, ttyB 0001 1-3 Acme"_q << "socket"_q << "prise USB 1-2"_q;
        QTest::newRow("control character") << "ttyA TVX\\e1 1-2"_q << "socket"_q
                                           << "prise USB 1-2"_q;
        QTest::newRow("two ports in one socket") << "ttyA - 1-2, ttyB - 1-2"_q << "port"_q
                                                 << "port ttyA"_q;
        QTest::newRow("not on USB") << "ttyS0 - -"_q << "port"_q << "port ttyS0"_q;
        QTest::newRow("serial number, socket shared") << "ttyA TVX1 1-2, ttyB - 1-2"_q
                                                      << "serial"_q << "numéro de série TVX1"_q;
    }
    void kind()
    {
        QFETCH(QString, ports);
        const QList<PortInfo> all = ::listing(ports);
        const TerminalIdentity identity = TerminalIdentity::of(all.first(), all);
        QTEST(kindName(identity.kind()), "kind");
        QTEST(identity.describe(), "described");
    }

    // Whether the terminal, known in a first listing, is found in a later one, and where.
    void found_data()
    {
        QTest::addColumn<QString>("before"); // the first port is the terminal
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("found"); // the port found, or "-"
        QTest::newRow("by serial number, another socket")
            << "ttyA TVX1 1-2"_q << "ttyB - 1-2, ttyC TVX1 1-5"_q << "ttyC"_q;
        QTest::newRow("by serial number, now shared, same socket")
            << "ttyA 0001 1-2"_q << "ttyC 0001 1-2, ttyD 0001 1-3"_q << "ttyC"_q;
        QTest::newRow("by serial number, now shared, another socket")
            << "ttyA 0001 1-2"_q << "ttyC 0001 1-4, ttyD 0001 1-3"_q << "-"_q;
        QTest::newRow("by serial number, another maker's device")
            << "ttyA TVX1 1-2"_q << "ttyC TVX1 1-2 Acme"_q << "-"_q;
        QTest::newRow("by socket, renamed") << "ttyA - 1-2, ttyB - 1-3"_q
                                            << "ttyB - 1-3, ttyC - 1-2"_q << "ttyC"_q;
        QTest::newRow("by socket, another socket") << "ttyA - 1-2"_q << "ttyC - 1-4"_q << "-"_q;
        QTest::newRow("by socket, a device with a serial number in it")
            << "ttyA - 1-2"_q << "ttyC TVX9 1-2"_q << "-"_q;
        QTest::newRow("by socket, the number it shared") << "ttyA 0001 1-2, ttyB 0001 1-3"_q
                                                         << "ttyB 0001 1-3, ttyC 0001 1-2"_q
                                                         << "ttyC"_q;
        QTest::newRow("by socket, the shared number now alone, another socket")
            << "ttyA 0001 1-2, ttyB 0001 1-3"_q << "ttyC 0001 1-4"_q << "-"_q;
        QTest::newRow("by port name") << "ttyS0 - -, ttyS1 - -"_q << "ttyS1 - -, ttyS0 - -"_q
                                      << "ttyS0"_q;
        QTest::newRow("by port name, renamed") << "ttyS0 - -"_q << "ttyS2 - -"_q << "-"_q;
        QTest::newRow("away") << "ttyA TVX1 1-2"_q << "ttyB TVX2 1-3"_q << "-"_q;
    }
    void found()
    {
        QFETCH(QString, before);
        QFETCH(QString, after);
        const QList<PortInfo> first = ::listing(before);
        const TerminalIdentity identity = TerminalIdentity::of(first.first(), first);
        const QList<PortInfo> later = ::listing(after);
        const auto there = identity.findIn(later);
        QTEST(there ? there->name : "-"_q, "found");
        for (const PortInfo &info : later)
            QCOMPARE(identity.matches(info, later), there && info.name == there->name);
    }
};

QTEST_GUILESS_MAIN(TestIdentity)
#include "tst_identity.moc"
