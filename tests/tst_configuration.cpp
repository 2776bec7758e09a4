#include "config/configuration.h"
#include "config/signature.h"
#include "packagefixture.h"
#include "sealing.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/bn.h>

// The configuration: its reading, its signature, and the RSA operations behind the signature.
namespace {

QByteArray bytes(const void *data, int size)
{
    return QByteArray(static_cast<const char *>(data), size);
}

// The model in one line, '|' between the fields; the kept hterm records last, in hex with
// their zero tails cut.
QString summary(const Configuration &c)
{
    QStringList out, hterms;
    out << c.terminal->name << c.terminal->code << c.getImage()
        << QString::number(c.getDelayReboot()) << c.getTitle() << c.getDescription();
    for (const Batch *batch : c.getBatches()) {
        out << QStringLiteral("batch %1").arg(batch->id);
        for (const Application *file : batch->files)
            out << file->path;
    }
    for (const HTerminal *hterm : c.getHTerminals())
        hterms << QString::fromLatin1(bytes(hterm->record.data(), 128).toHex());
    out << hterms.join(QLatin1Char(' ')).remove(QRegularExpression(QStringLiteral("(00)+\\b")));
    return out.join(QLatin1Char('|'));
}

// OpenSSL's b^e mod m (no CRT), as many bytes as m.
QByteArray powMod(const QByteArray &b, const QByteArray &e, const QByteArray &m)
{
    auto bn = [](const QByteArray &x) {
        return BN_bin2bn(reinterpret_cast<const unsigned char *>(x.constData()), x.size(), nullptr);
    };
    BIGNUM *r = BN_new(), *nb = bn(b), *ne = bn(e), *nm = bn(m);
    static BN_CTX *const context = BN_CTX_new();
    BN_mod_exp(r, nb, ne, nm, context);
    QByteArray out(m.size(), '\0');
    BN_bn2binpad(r, reinterpret_cast<unsigned char *>(out.data()), out.size());
    for (BIGNUM *x : {r, nb, ne, nm})
        BN_free(x);
    return out;
}

// One raw operation between rsaInit(2) and rsaFinal(), into 256 bytes of 0x5A.
QByteArray dispatch(quint8 mode, const void *key, const QByteArray &input, quint32 &status)
{
    QByteArray output(kRsaMaxLength, '\x5A');
    RsaParameters parameters{reinterpret_cast<const quint8 *>(input.constData()),
                             quint32(input.size()), reinterpret_cast<quint8 *>(output.data()), 0};
    rsaInit(2);
    status = rsaDispatch(kRsaTypeRaw, mode, &parameters, key);
    rsaFinal();
    return output;
}

} // namespace

class TestConfiguration : public QObject
{
    Q_OBJECT

private slots:
    void directoryRule()
    {
        QCOMPARE(Configuration::directoryFor(QStringLiteral("/opt/v"), QLatin1Char('/')),
                 QStringLiteral("/opt/v/./configuration/"));
        QCOMPARE(Configuration::directoryFor(QStringLiteral("C:/V"), QLatin1Char('\\')),
                 QStringLiteral("C:/V\\.\\configuration\\"));
    }

    void reader_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QByteArray>("hterm"); // hterm.bin; empty: none
        QTest::addColumn<QString>("expected");
        QTest::newRow("two batches in order")
            << fixture::unsignedXml().replace(
                   "<batch", "<batch id=\"2\"><file>a</file><file>b</file></batch><batch")
            << sealing::seal("hterm")
            << "Iris|IR5|DIR/terminal.png|60000|Mise à jour|V2|batch 2|DIR/a|DIR/b|"
               "batch 1|DIR/app.bin|687465726d";
        QTest::newRow("nested elements read over")
            << QByteArray(
                   "<configuration><terminal><batch id=\"3\"><file>x</file></batch></terminal>"
                   "<batch><hterm>hterm.bin</hterm></batch></configuration>")
            << sealing::seal("hterm") << "|||0|||batch 0|";
        QTest::newRow("single token, verbatim")
            << QByteArray("<configuration><operation><title> a<!--c-->b</title></operation><batch>"
                          "<file>\napp.bin</file></batch></configuration>")
            << QByteArray() << "|||0| a||batch 0|DIR/\napp.bin|";
        QTest::newRow("truncated") << QByteArray("<configuration><terminal><name>A</name><co")
                                   << QByteArray() << "A|||0|||";
        // The hterm file: the first L decrypted bytes (all when L is beyond them), into the
        // 128-byte record; a content that does not fit the record is not taken at all.
        const QByteArray xml("<configuration><hterm>hterm.bin</hterm><hterm/></configuration>");
        const QByteArray sixteen("0123456789ABCDEF"), full(128, 'r');
        auto hterm = [&xml](const char *name, const QByteArray &file, const QByteArray &record) {
            QTest::newRow(name) << xml << file << QString::fromLatin1("|||0|||" + record.toHex());
        };
        hterm("L = 10", sealing::sealAnnouncing(sixteen, 10), sixteen.left(10));
        hterm("L beyond the content", sealing::sealAnnouncing(sixteen, 40), sixteen);
        hterm("128 bytes", sealing::seal(full), full);
        hterm("129 bytes", sealing::seal(full + 'r'), QByteArray());
        hterm("L beyond 144 bytes", sealing::sealAnnouncing(QByteArray(144, 'r'), 9999), {});
        hterm("3 bytes", QByteArray(3, '\0'), QByteArray());
        hterm("not whole blocks", sealing::seal(sixteen) + 'x', QByteArray());
        hterm("missing", QByteArray(), QByteArray());
    }
    // Whatever the file holds, load() reads it to its end and succeeds.
    void reader()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QByteArray, hterm);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString path = dir.path() + QLatin1Char('/');
        QVERIFY(hterm.isEmpty() || fixture::write(path + QStringLiteral("hterm.bin"), hterm));
        QVERIFY(fixture::write(path + QStringLiteral("configuration.xml"), xml));
        Configuration c(path);
        QVERIFY(c.load());
        QCOMPARE(summary(c).replace(path, QStringLiteral("DIR/")), expected);
    }

    // The CRT result is the textbook c^d mod n, the same every time, and the public operation
    // gives c back; on edge values and on the blocks that signing uses.
    void privateOperation()
    {
        const RsaPrivateKey &key = fixture::buildKey();
        const QByteArray n = bytes(key.publicKey.modulus, kRsaMaxLength);
        QList<QByteArray> inputs{QByteArray(1, '\0'), QByteArray(1, '\1'), n.left(255),
                                 n.chopped(1) + char(n[255] - 1)}; // n is odd
        const quint32 seed = QRandomGenerator::global()->generate();
        qInfo("seed %u", seed);
        QRandomGenerator random(seed);
        for (int i = 0; i < 8; ++i) {
            inputs << signature::block(QByteArray::number(i));
            QByteArray r(256, '\0'); // below n: its top byte is below n's
            for (char &x : r)
                x = char(random.bounded(256));
            r[0] = char(random.bounded(quint8(n[0])));
            inputs << r;
        }
        for (const QByteArray &c : inputs) {
            quint32 status = 1;
            const QByteArray result = dispatch(kRsaModePrivate, &key, c, status);
            QCOMPARE(result.toHex(), powMod(c, bytes(key.exponent, 256), n).toHex());
            QCOMPARE(dispatch(kRsaModePrivate, &key, c, status), result);
            QCOMPARE(dispatch(kRsaModePublic, &key, result, status).toHex(),
                     c.rightJustified(256, '\0').toHex());
        }
    }

    void statuses()
    {
        const RsaPrivateKey &key = fixture::buildKey();
        quint32 status = 0;
        // Not below n, in either mode: refused with the output untouched. 301 bytes do not even
        // fit the digits, while leading zeros are only a longer spelling.
        for (const QByteArray &input : {bytes(key.publicKey.modulus, 256), QByteArray(256, '\xFF'),
                                        QByteArray(1, '\1') + QByteArray(300, '\0')}) {
            for (quint8 mode : {kRsaModePrivate, kRsaModePublic}) {
                QCOMPARE(dispatch(mode, &key, input, status), QByteArray(256, '\x5A'));
                QCOMPARE(status, kRsaDataError);
            }
        }
        const QByteArray one = QByteArray(299, '\0') + '\1';
        QCOMPARE(dispatch(kRsaModePrivate, &key, one, status), QByteArray(255, '\0') + '\1');
        RsaPrivateKey wide = key; // more than 2048 bits: the result would not fit
        wide.publicKey.bits = 4096;
        QCOMPARE(dispatch(kRsaModePrivate, &wide, one, status), QByteArray(256, '\x5A'));
        QCOMPARE(status, kRsaLengthError);

        // Dispatch only between rsaInit(2) and rsaFinal(); rsaInit refuses any other level.
        quint8 out[kRsaMaxLength];
        RsaParameters p{reinterpret_cast<const quint8 *>(one.constData()), 300, out, 0};
        QCOMPARE(rsaDispatch(20, 3, &p, &key), kRsaNotInitialised);
        QCOMPARE(rsaInit(2), kRsaOk);
        QCOMPARE(rsaInit(0), kRsaFailure);
        QCOMPARE(rsaDispatch(20, 3, &p, &key), kRsaOk);
        QCOMPARE(rsaFinal(), kRsaOk);
        QCOMPARE(rsaDispatch(20, 2, &p, &key), kRsaNotInitialised);
    }

    void signatureCheck_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("valid");
        const QByteArray good = fixture::signXml(fixture::unsignedXml());
        const int marker = good.lastIndexOf(signature::kOpenMarker);
        const QByteArray text = signature::extractText(good).toLatin1();
        auto withText = [&](const QByteArray &t) { return QByteArray(good).replace(text, t); };
        QTest::newRow("signed by vardel-pack") << good << true;
        QTest::newRow("byte before the marker changed")
            << QByteArray(good).replace(marker - 1, 1, "x") << false;
        QTest::newRow("bytes after the element changed")
            << good.left(good.size() - 1) + "<!-- shipped -->" << true;
        QTest::newRow("CR LF line endings") << QByteArray(good).replace("\n", "\r\n") << false;
        QTest::newRow("CR LF after the marker only")
            << good.left(marker) + good.mid(marker).replace("\n", "\r\n") << true;
        QTest::newRow("text over two lines")
            << withText(text.left(76) + '\n' + text.mid(76, 267)) << false;
        QTest::newRow("second marker after the element") << good + "<!-- <signature> -->" << false;
        QTest::newRow("closing marker after the element")
            << good + "<!-- </signature> -->" << false;
        // The same 256 bytes, with a padding bit set in the character before "==" (A, Q, g or w
        // when canonical).
        QTest::newRow("non-canonical Base64")
            << withText(text.left(341) + char(text[341] + 1) + "==") << false;
        QTest::newRow("value not below n") << withText(QByteArray(256, '\xFF').toBase64()) << false;
    }
    // The program's check (public key only) accepts exactly the files whose text the private
    // operation gives.
    void signatureCheck()
    {
        QFETCH(QByteArray, file);
        QFETCH(bool, valid);
        RsaPublicKey key;
        signature::builtInKey(key);
        const QString text = signature::extractText(file);
        QCOMPARE(signature::check(file, text, key) == signature::Verdict::Valid, valid);
        quint32 status = 0;
        const QByteArray block = signature::block(signature::signedRegion(file));
        const QByteArray value = dispatch(kRsaModePrivate, &fixture::buildKey(), block, status);
        QCOMPARE(signature::encodeText(value) == text, valid);
    }
};

QTEST_GUILESS_MAIN(TestConfiguration)
#include "tst_configuration.moc"
