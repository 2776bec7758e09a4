#include "link/pcsc.h"
#include "link/pcscapi.h"

#include <QDir>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// A fake PC/SC service: readers with chosen names, vendor names, feature lists and failures. It
// records every call with its arguments, one line each.
struct FakeReader
{
    QByteArray name;
    QByteArray vendor = "Tarvenix";
    QByteArray features = QByteArray::fromHex("0a0400000001130442330001");
    LONG results[4] = {}; // connect, vendor name, feature list, escape command
    DWORD vendorLength = DWORD(-1), featureLength = DWORD(-1); // reported; -1: bytes written
};

struct FakeService
{
    LONG establishResult = SCARD_S_SUCCESS, listResult = SCARD_S_SUCCESS;
    std::vector<FakeReader> readers;
    QStringList calls, escapes; // escapes: "card code" of every switch command
    QSet<SCARDHANDLE> connected;
    char *list = nullptr;
} fake;

constexpr SCARDCONTEXT kContext = 0x5c;
constexpr SCARDHANDLE kFirstCard = 0x100;

template<typename... Args>
void record(const char *format, Args... args)
{
    fake.calls << QString::asprintf(format, args...);
}

const FakeReader &readerOf(SCARDHANDLE card)
{
    return fake.readers[size_t(card - kFirstCard)];
}

// Copies what the reader answers, never more than the caller's buffer holds.
LONG answer(LONG result, const QByteArray &bytes, DWORD reported, void *out, DWORD size,
            LPDWORD length)
{
    if (result == SCARD_S_SUCCESS) {
        std::memcpy(out, bytes.constData(), std::min<size_t>(size_t(bytes.size()), size));
        *length = reported == DWORD(-1) ? DWORD(bytes.size()) : reported;
    }
    return result;
}

LONG establishContext(DWORD scope, LPCVOID reserved1, LPCVOID reserved2, LPSCARDCONTEXT context)
{
    record("establish %lu %s", (unsigned long)scope, reserved1 || reserved2 ? "reserved" : "null");
    *context = kContext;
    return fake.establishResult;
}

LONG listReaders(SCARDCONTEXT context, const char *groups, char *readers, LPDWORD length)
{
    record("list %lx %s %s", (unsigned long)context, groups ? "group" : "all",
           *length == SCARD_AUTOALLOCATE ? "auto" : "sized");
    if (fake.listResult != SCARD_S_SUCCESS)
        return fake.listResult;
    QByteArray names;
    for (const FakeReader &reader : fake.readers)
        names += reader.name + '\0';
    fake.list = new char[size_t(names.size() + 1)];
    std::memcpy(fake.list, names.constData() /* ends with two zeros */, size_t(names.size() + 1));
    *reinterpret_cast<char **>(readers) = fake.list;
    *length = DWORD(names.size() + 1);
    return SCARD_S_SUCCESS;
}

LONG connectReader(SCARDCONTEXT, const char *name, DWORD share, DWORD protocols, LPSCARDHANDLE card,
                   LPDWORD)
{
    record("connect %s %lu %lu", name, (unsigned long)share, (unsigned long)protocols);
    for (size_t i = 0; i < fake.readers.size(); ++i) {
        if (fake.readers[i].name == name && fake.readers[i].results[0] == SCARD_S_SUCCESS)
            fake.connected.insert(*card = kFirstCard + SCARDHANDLE(i));
        if (fake.readers[i].name == name)
            return fake.readers[i].results[0];
    }
    return SCARD_E_UNKNOWN_READER;
}

LONG getAttrib(SCARDHANDLE card, DWORD attribute, LPBYTE value, LPDWORD length)
{
    const bool zeroed = std::all_of(value, value + *length, [](BYTE b) { return b == 0; });
    record("vendor %lx %lx %lu %s", (unsigned long)card, (unsigned long)attribute,
           (unsigned long)*length, zeroed ? "zeroed" : "dirty");
    const FakeReader &reader = readerOf(card);
    return answer(reader.results[1], reader.vendor, reader.vendorLength, value, *length, length);
}

LONG control(SCARDHANDLE card, DWORD code, LPCVOID input, DWORD inputLength, LPVOID output,
             DWORD outputSize, LPDWORD returned)
{
    const QByteArray in(static_cast<const char *>(input), input ? int(inputLength) : 0);
    record("control %lx %lx %s %lu", (unsigned long)card, (unsigned long)code,
           in.isEmpty() ? "-" : in.toHex().constData(), (unsigned long)outputSize);
    const FakeReader &reader = readerOf(card);
    if (code == CM_IOCTL_GET_FEATURE_REQUEST)
        return answer(reader.results[2], reader.features, reader.featureLength, output, outputSize,
                      returned);
    fake.escapes << QString::asprintf("%lx %lx", (unsigned long)card, (unsigned long)code);
    return answer(reader.results[3], QByteArray::fromHex("9000"), DWORD(-1), output, outputSize,
                  returned);
}

LONG disconnect(SCARDHANDLE card, DWORD disposition)
{
    record("disconnect %lx %lu", (unsigned long)card, (unsigned long)disposition);
    fake.connected.remove(card);
    return SCARD_S_SUCCESS;
}

LONG freeMemory(SCARDCONTEXT context, LPCVOID memory)
{
    record("free %lx %s", (unsigned long)context, memory == fake.list ? "list" : "other");
    if (memory == fake.list) {
        delete[] fake.list;
        fake.list = nullptr;
    }
    return SCARD_S_SUCCESS;
}

LONG releaseContext(SCARDCONTEXT context)
{
    record("release %lx", (unsigned long)context);
    return SCARD_S_SUCCESS;
}

const PcscApi kFake{establishContext, listReaders, connectReader, getAttrib,
                    control,          disconnect,  freeMemory,    releaseContext};

// The reader switch's messages; anything not at info level is marked so that it cannot match.
QStringList gMessages;
void collect(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (qstrcmp(context.category, "vardel.pcsc") == 0)
        gMessages << (type == QtInfoMsg ? message : QStringLiteral("NOT INFO: ") + message);
}

QString tryLine(const char *reader)
{
    return QStringLiteral("Pcsc_switchToCom : Try reader: ") + QLatin1String(reader);
}

QString switchedLine(const char *reader)
{
    return QStringLiteral("Pcsc_switchToCom : Switched reader: ") + QLatin1String(reader);
}

const QString kNotBrand = QStringLiteral("Pcsc_switchToCom : Not an Brovia reader\n");

} // namespace

class TestPcsc : public QObject
{
    Q_OBJECT

private:
    void run(std::vector<FakeReader> readers)
    {
        fake.readers = std::move(readers);
        Pcsc_switchToCom(kFake);
        QVERIFY2(fake.connected.isEmpty(), "a reader was left connected");
        QVERIFY2(fake.list == nullptr, "the reader list was not given back");
    }

private slots:
    void initTestCase() { qInstallMessageHandler(collect); }
    void init()
    {
        fake = FakeService{};
        gMessages.clear();
    }

    void walksOneReaderInOrder()
    {
        run({FakeReader{"Tarvenix CCID 00 00"}});
        const QStringList expected{
            QStringLiteral("establish 0 null"),
            QStringLiteral("list 5c all auto"),
            QStringLiteral("connect Tarvenix CCID 00 00 3 0"),
            QStringLiteral("vendor 100 10100 256 zeroed"),
            QString::asprintf("control 100 %lx - 256", (unsigned long)CM_IOCTL_GET_FEATURE_REQUEST),
            QStringLiteral("control 100 42330001 10 256"),
            QStringLiteral("disconnect 100 0"),
            QStringLiteral("free 5c list"),
            QStringLiteral("release 5c")};
        QCOMPARE(fake.calls, expected);
        QCOMPARE(gMessages, QStringList({tryLine("Tarvenix CCID 00 00"),
                                         switchedLine("Tarvenix CCID 00 00")}));
    }

    void vendorName_data()
    {
        QTest::addColumn<QByteArray>("vendor");
        QTest::addColumn<int>("reported"); // -1: the bytes written
        QTest::addColumn<bool>("switched");
        QTest::newRow("capitals") << QByteArray("TARVENIX") << -1 << true;
        QTest::newRow("cut at reported length") << QByteArray("TarvenixXYZ") << 8 << true;
        QTest::newRow("more words") << QByteArray("Tarvenix Foo") << -1 << false;
        QTest::newRow("fills 256") << QByteArray(256, 'T') << -1 << false;
        QTest::newRow("reported past buffer") << QByteArray(256, 'T') << 300 << false;
    }

    // Under AddressSanitizer, a terminator written past the 256-byte buffer aborts the run.
    void vendorName()
    {
        QFETCH(QByteArray, vendor);
        QFETCH(int, reported);
        QFETCH(bool, switched);
        FakeReader reader{"R"};
        reader.vendor = vendor;
        reader.vendorLength = DWORD(reported);
        run({reader});
        QCOMPARE(gMessages, QStringList({tryLine("R"), switched ? switchedLine("R") : kNotBrand}));
        QCOMPARE(fake.escapes.size(), switched ? 1 : 0);
        QVERIFY(fake.calls.contains(QStringLiteral("disconnect 100 0")));
    }

    void escapeCode_data()
    {
        QTest::addColumn<QByteArray>("features");
        QTest::addColumn<int>("reported");
        QTest::addColumn<quint32>("code");
        const quint32 fallback = SCARD_CTL_CODE(1);
        QTest::newRow("none") << QByteArray() << -1 << fallback;
        QTest::newRow("most significant first")
            << QByteArray::fromHex("130412345678") << -1 << quint32(0x12345678);
        QTest::newRow("zero value skipped")
            << QByteArray::fromHex("0a04000000011304000000001304a1b2c3d4") << -1
            << quint32(0xa1b2c3d4);
        QTest::newRow("partial last entry")
            << QByteArray::fromHex("0a040000000113041234") << -1 << fallback;
        QTest::newRow("reported past buffer") << QByteArray(256, '\x0a') << 600 << fallback;
    }

    void escapeCode()
    {
        QFETCH(QByteArray, features);
        QFETCH(int, reported);
        QFETCH(quint32, code);
        FakeReader reader{"R"};
        reader.features = features;
        reader.featureLength = DWORD(reported);
        run({reader});
        QCOMPARE(fake.escapes, QStringList(QString::asprintf("100 %x", code)));
    }

    // The second reader has no escape feature: it must not inherit the first reader's code.
    void escapeCodeFoundAfreshPerReader()
    {
        FakeReader second{"B"};
        second.features = QByteArray::fromHex("0a0400000001");
        run({FakeReader{"A"}, second});
        QCOMPARE(fake.escapes,
                 QStringList({QStringLiteral("100 42330001"),
                              QString::asprintf("101 %lx", (unsigned long)SCARD_CTL_CODE(1))}));
        QCOMPARE(gMessages.filter(QStringLiteral("Switched")).size(), 2);
    }

    void failureSkipsToNextReader_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<QString>("message");
        QTest::newRow("connect")
            << 0 << QStringLiteral("Pcsc_switchToCom SCardConnect failed Error : 0x8010000b\n");
        QTest::newRow("vendor") << 1
                                << QStringLiteral("Pcsc_switchToCom cannot get "
                                                  "SCARD_ATTR_VENDOR_NAME Error : 0x8010000b\n");
        QTest::newRow("features")
            << 2
            << QStringLiteral("Pcsc_switchToCom CM_IOCTL_GET_FEATURE_REQUEST failed : 0x8010000b");
        QTest::newRow("escape")
            << 3
            << QStringLiteral("Pcsc_switchToCom SCardControl Escape command failed : 0x8010000b");
    }

    void failureSkipsToNextReader()
    {
        QFETCH(int, step);
        QFETCH(QString, message);
        FakeReader broken{"A"};
        broken.results[step] = SCARD_E_SHARING_VIOLATION;
        run({broken, FakeReader{"B"}});
        QCOMPARE(gMessages, QStringList({tryLine("A"), message, tryLine("B"), switchedLine("B")}));
        // A reader that refused the connection has nothing to disconnect.
        QCOMPARE(fake.calls.filter(QStringLiteral("disconnect")),
                 step == 0 ? QStringList(QStringLiteral("disconnect 101 0"))
                           : QStringList({QStringLiteral("disconnect 100 0"),
                                          QStringLiteral("disconnect 101 0")}));
        QCOMPARE(fake.calls.mid(fake.calls.size() - 2),
                 QStringList({QStringLiteral("free 5c list"), QStringLiteral("release 5c")}));
    }

    void nothingToTry_data()
    {
        QTest::addColumn<LONG>("establish");
        QTest::addColumn<LONG>("list");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("no service") << LONG(SCARD_E_NO_SERVICE) << LONG(SCARD_S_SUCCESS)
                                    << QStringList(QStringLiteral("establish 0 null"));
        QTest::newRow("no reader")
            << LONG(SCARD_S_SUCCESS) << LONG(SCARD_E_NO_READERS_AVAILABLE)
            << QStringList({QStringLiteral("establish 0 null"), QStringLiteral("list 5c all auto"),
                            QStringLiteral("release 5c")});
    }

    void nothingToTry()
    {
        QFETCH(LONG, establish);
        QFETCH(LONG, list);
        QFETCH(QStringList, calls);
        fake.establishResult = establish;
        fake.listResult = list;
        run({FakeReader{"A"}});
        QCOMPARE(fake.calls, calls);
        QVERIFY(gMessages.isEmpty());
    }

    // The platform's own service, with no daemon to answer: the call returns and says nothing.
    void realServiceAbsent()
    {
        QTemporaryDir dir;
        const QByteArray socket = QDir(dir.path()).filePath(QStringLiteral("none")).toLocal8Bit();
        qputenv("PCSCLITE_CSOCK_NAME", socket);
        Pcsc_switchToCom();
        QVERIFY(gMessages.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPcsc)
#include "tst_pcsc.moc"
