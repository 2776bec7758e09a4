#include "link/pcsc.h"
#include "link/pcscapi.h"

#include <QTest>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

QString operator""_q(const char *text, size_t size)
{
    return QString::fromLatin1(text, int(size));
}

// A fake PC/SC service: readers with chosen names, vendor names, feature lists and failures. It
// records every call with its arguments, one line each.
constexpr DWORD kWritten = DWORD(-1); // a reported length: the bytes written

struct FakeReader
{
    QByteArray name;
    QByteArray vendor = "Tarvenix";
    DWORD vendorLength = kWritten; // reported
    QByteArray features = QByteArray::fromHex("0a0400000001130442330001");
    DWORD featureLength = kWritten;
    LONG results[4] = {}; // connect, vendor name, feature list, escape command
};

struct FakeService
{
    LONG establishResult = SCARD_S_SUCCESS, listResult = SCARD_S_SUCCESS;
    std::vector<FakeReader> readers;
    QStringList calls;
    QByteArray list; // the reader names handed out
} fake;

// Records a call with its arguments and gives `result` back.
template<class... Args>
LONG call(LONG result, const char *format, Args... args)
{
    fake.calls << QString::asprintf(format, args...);
    return result;
}

// Copies what the reader answers, never more than the caller's buffer holds.
LONG answer(LONG result, const QByteArray &bytes, DWORD reported, void *out, DWORD size,
            LPDWORD length)
{
    if (result == SCARD_S_SUCCESS) {
        std::memcpy(out, bytes.constData(), std::min<size_t>(size_t(bytes.size()), size));
        *length = reported == kWritten ? DWORD(bytes.size()) : reported;
    }
    return result;
}

const FakeReader &readerOf(SCARDHANDLE card)
{
    return fake.readers[size_t(card - 0x100)];
}

// In the order of PcscApi's members.
const PcscApi kFake{
    [](DWORD scope, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
        *context = 0x5c;
        return call(fake.establishResult, "establish %lu", scope);
    },
    [](SCARDCONTEXT context, const char *, char *readers, LPDWORD length) {
        call(0, "list %lx %s", context, *length == SCARD_AUTOALLOCATE ? "auto" : "sized");
        if (fake.listResult != SCARD_S_SUCCESS)
            return fake.listResult;
        for (const FakeReader &reader : fake.readers)
            fake.list += reader.name + '\0';
        *reinterpret_cast<char **>(readers) = fake.list.data(); // ends with two zeros
        *length = DWORD(fake.list.size() + 1);
        return LONG(SCARD_S_SUCCESS);
    },
    [](SCARDCONTEXT, const char *name, DWORD share, DWORD protocols, LPSCARDHANDLE card, LPDWORD) {
        for (*card = 0x100; readerOf(*card).name != name;)
            ++*card;
        return call(readerOf(*card).results[0], "connect %s %lu %lu", name, share, protocols);
    },
    [](SCARDHANDLE card, DWORD attribute, LPBYTE value, LPDWORD length) {
        const FakeReader &reader = readerOf(card);
        return answer(call(reader.results[1], "vendor %lx %lx %lu", card, attribute, *length),
                      reader.vendor, reader.vendorLength, value, *length, length);
    },
    [](SCARDHANDLE card, DWORD code, LPCVOID input, DWORD inputLength, LPVOID output,
       DWORD outputSize, LPDWORD returned) {
        const QByteArray in(static_cast<const char *>(input), input ? int(inputLength) : 0);
        const FakeReader &reader = readerOf(card);
        const bool features = code == CM_IOCTL_GET_FEATURE_REQUEST;
        return answer(call(reader.results[features ? 2 : 3], "control %lx %lx %s %lu", card, code,
                           in.isEmpty() ? "-" : in.toHex().constData(), outputSize),
                      features ? reader.features : QByteArray("\x90"),
                      features ? reader.featureLength : kWritten, output, outputSize, returned);
    },
    [](SCARDHANDLE card, DWORD disposition) {
        return call(SCARD_S_SUCCESS, "disconnect %lx %lu", card, disposition);
    },
    [](SCARDCONTEXT context, LPCVOID memory) {
        return call(SCARD_S_SUCCESS, "free %lx %s", context,
                    memory == fake.list.constData() ? "list" : "other");
    },
    [](SCARDCONTEXT context) { return call(SCARD_S_SUCCESS, "release %lx", context); }};

// The reader switch's messages at info level.
QStringList gMessages;
void collect(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtInfoMsg && qstrcmp(context.category, "vardel.pcsc") == 0)
        gMessages << message;
}

QString line(const char *what, const char *reader)
{
    return "Pcsc_switchToCom : %1 reader: %2"_q.arg(QLatin1String(what), QLatin1String(reader));
}

} // namespace

Q_DECLARE_METATYPE(FakeReader)

class TestPcsc : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qInstallMessageHandler(collect); }
    void init()
    {
        fake = FakeService{};
        gMessages.clear();
    }

    // A list the service never handed out is not given back.
    void serviceCalls_data()
    {
        QTest::addColumn<LONG>("establish");
        QTest::addColumn<LONG>("list");
        QTest::addColumn<QString>("calls");
        QTest::newRow("one reader")
            << LONG(SCARD_S_SUCCESS) << LONG(SCARD_S_SUCCESS)
            << "establish 0|list 5c auto|connect A 3 0|vendor 100 10100 256|control 100 42000d48 - "
               "256|control 100 42330001 10 256|disconnect 100 0|free 5c list|release 5c"_q;
        QTest::newRow("no service")
            << LONG(SCARD_E_NO_SERVICE) << LONG(SCARD_S_SUCCESS) << "establish 0"_q;
        QTest::newRow("no reader") << LONG(SCARD_S_SUCCESS) << LONG(SCARD_E_NO_READERS_AVAILABLE)
                                   << "establish 0|list 5c auto|release 5c"_q;
    }
    void serviceCalls()
    {
        QFETCH(LONG, establish);
        QFETCH(LONG, list);
        fake.establishResult = establish;
        fake.listResult = list;
        fake.readers = {FakeReader{"A"}};
        Pcsc_switchToCom(kFake);
        QTEST(fake.calls.join(QLatin1Char('|')), "calls");
    }

    // One reader as the service describes it, between two plain ones: what the switch says of
    // it and the control code of the switch command it is sent (0: none). Under
    // AddressSanitizer, a terminator written past the 256-byte name buffer, or a feature list
    // read past its buffer, aborts the run. The escape code is looked up afresh for every
    // reader; every reader connected is disconnected, one that refused the connection is not.
    void oneReader_data()
    {
        QTest::addColumn<FakeReader>("reader");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<quint32>("code");
        const auto row = [](const char *name, const FakeReader &reader, const QString &outcome,
                            quint32 code) { QTest::newRow(name) << reader << outcome << code; };
        const auto failing = [](int step) {
            FakeReader reader{"B"};
            reader.results[step] = SCARD_E_SHARING_VIOLATION;
            return reader;
        };
        const QString switched = line("Switched", "B");
        const QString notBrand = "Pcsc_switchToCom : Not an Brovia reader\n"_q;
        const quint32 usual = 0x42330001, fallback = SCARD_CTL_CODE(1);
        const QByteArray vendor = "Tarvenix";
        row("capitals", {"B", "TARVENIX"}, switched, usual);
        row("cut at reported length", {"B", "TarvenixXYZ", 8}, switched, usual);
        row("more words", {"B", "Tarvenix Foo"}, notBrand, 0);
        row("name fills 256", {"B", QByteArray(256, 'T')}, notBrand, 0);
        row("name past buffer", {"B", QByteArray(256, 'T'), 300}, notBrand, 0);
        row("no features", {"B", vendor, kWritten, {}}, switched, fallback);
        row("most significant first", {"B", vendor, kWritten, QByteArray::fromHex("130412345678")},
            switched, 0x12345678);
        row("zero value skipped",
            {"B", vendor, kWritten, QByteArray::fromHex("0a04000000011304000000001304a1b2c3d4")},
            switched, 0xa1b2c3d4);
        row("partial last entry",
            {"B", vendor, kWritten, QByteArray::fromHex("0a040000000113041234")}, switched,
            fallback);
        row("features past buffer", {"B", vendor, kWritten, QByteArray(256, '\x0a'), 600}, switched,
            fallback);
        row("connect fails", failing(0),
            "Pcsc_switchToCom SCardConnect failed Error : 0x8010000b\n"_q, 0);
        row("vendor fails", failing(1),
            "Pcsc_switchToCom cannot get SCARD_ATTR_VENDOR_NAME Error : 0x8010000b\n"_q, 0);
        row("features fail", failing(2),
            "Pcsc_switchToCom CM_IOCTL_GET_FEATURE_REQUEST failed : 0x8010000b"_q, 0);
        row("escape fails", failing(3),
            "Pcsc_switchToCom SCardControl Escape command failed : 0x8010000b"_q, usual);
    }
    void oneReader()
    {
        QFETCH(FakeReader, reader);
        QFETCH(QString, outcome);
        QFETCH(quint32, code);
        fake.readers = {FakeReader{"A"}, reader, FakeReader{"C"}};
        Pcsc_switchToCom(kFake);
        QCOMPARE(gMessages, QStringList({line("Try", "A"), line("Switched", "A"), line("Try", "B"),
                                         outcome, line("Try", "C"), line("Switched", "C")}));
        QStringList switches{"control 100 42330001 10 256"_q};
        if (code != 0)
            switches << QString::asprintf("control 101 %x 10 256", code);
        QCOMPARE(fake.calls.filter(" 10 256"_q), switches << "control 102 42330001 10 256"_q);
        QCOMPARE(fake.calls.filter("disconnect"_q).size(), reader.results[0] ? 2 : 3);
    }
};

QTEST_GUILESS_MAIN(TestPcsc)
#include "tst_pcsc.moc"
