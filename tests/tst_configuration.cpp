#include "config/configuration.h"
#include "config/signature.h"
#include "packagefixture.h"
#include "sealing.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/bn.h>

// The configuration: its reading, its signature, and the RSA operations behind the signature.
namespace {

QByteArray bytes(const quint8 *data, int size = kRsaMaxLength)
{
    return QByteArray(reinterpret_cast<const char *>(data), size);
}

// The model in one line, '|' between the fields; the kept hterm records last, in hex with
// their zero tails cut.
QString summary(const Configuration &c)
{
    QStringList out{c.terminal->name, c.terminal->code,
                    c.getImage(),     QString::number(c.getDelayReboot()),
                    c.getTitle(),     c.getDescription()};
    for (const Batch *batch : c.getBatches()) {
        out << QStringLiteral("batch %1").arg(batch->id);
        for (const Application *file : batch->files)
            out << file->path;
    }
    QStringList hterms;
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

} // namespace

class TestConfiguration : public QObject
{
    Q_OBJECT

private slots:
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
        hterm("not whole blocks", sealing::seal(sixteen) + 'x', QByteArray());
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

    void rsa_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("bits"); // of the key
        QTest::addColumn<quint32>("status");
        const QByteArray n = bytes(fixture::buildKey().publicKey.modulus);
        const QByteArray one = QByteArray(299, '\0') + '\1'; // leading zeros: a longer spelling
        for (const int mode : {kRsaModePrivate, kRsaModePublic}) {
            const auto row = [mode](const char *name, const QByteArray &input, quint32 status) {
                QTest::addRow("%s, %s", name, mode == kRsaModePrivate ? "private" : "public")
                    << input << mode << 2048 << status;
            };
            row("zero", QByteArray(1, '\0'), kRsaOk);
            row("one", one, kRsaOk);
            row("n - 1", n.chopped(1) + char(n[255] - 1), kRsaOk); // n is odd
            row("255 bytes", n.left(255), kRsaOk);
            for (int i = 0; i < 8; ++i) // the blocks that signing raises
                row(("block " + QByteArray::number(i)).constData(),
                    signature::block(QByteArray::number(i)), kRsaOk);
            // Not below n: refused, the output untouched. 301 bytes do not even fit the digits.
            row("n", n, kRsaDataError);
            row("all ones", QByteArray(256, '\xFF'), kRsaDataError);
            row("301 bytes", '\1' + QByteArray(300, '\0'), kRsaDataError);
        }
        QTest::newRow("more than 2048 bits")
            << one << int(kRsaModePrivate) << 4096 << kRsaLengthError;
    }
    // The private operation (CRT) and the public one, against OpenSSL; each only between
    // rsaInit(2) and rsaFinal().
    void rsa()
    {
        QFETCH(QByteArray, input);
        QFETCH(int, mode);
        QFETCH(int, bits);
        QFETCH(quint32, status);
        RsaPrivateKey key = fixture::buildKey();
        key.publicKey.bits = decltype(key.publicKey.bits)(bits);
        QByteArray output(kRsaMaxLength, '\x5A');
        RsaParameters parameters{reinterpret_cast<const quint8 *>(input.constData()),
                                 quint32(input.size()), reinterpret_cast<quint8 *>(output.data()),
                                 0};
        QCOMPARE(rsaDispatch(kRsaTypeRaw, quint8(mode), &parameters, &key), kRsaNotInitialised);
        QVERIFY(rsaInit(2) == kRsaOk && rsaInit(0) == kRsaFailure); // the state stays
        QCOMPARE(rsaDispatch(kRsaTypeRaw, quint8(mode), &parameters, &key), status);
        QCOMPARE(rsaFinal(), kRsaOk);
        const quint8 *e = mode == kRsaModePrivate ? key.exponent : key.publicKey.exponent;
        QCOMPARE(output.toHex(),
                 status ? QByteArray(256, '\x5A').toHex()
                        : powMod(input, bytes(e), bytes(key.publicKey.modulus)).toHex());
    }

    void signatureCheck_data()
    {
        using V = signature::Verdict;
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("verdict");
        const QByteArray good = fixture::signXml(fixture::unsignedXml());
        const int marker = good.lastIndexOf(signature::kOpenMarker);
        const QByteArray text = signature::extractText(good).toLatin1();
        const auto row = [](const char *name, const QByteArray &file, V verdict) {
            QTest::newRow(name) << file << int(verdict);
        };
        const auto withText = [&](const QByteArray &t) {
            return QByteArray(good).replace(text, t);
        };
        row("signed by vardel-pack", good, V::Valid);
        row("byte before the marker changed", QByteArray(good).replace(marker - 1, 1, "x"),
            V::Mismatch);
        row("CR LF line endings", QByteArray(good).replace("\n", "\r\n"), V::Mismatch);
        row("CR LF after the marker only",
            good.left(marker) + good.mid(marker).replace("\n", "\r\n"), V::Valid);
        // The same 256 bytes, with a padding bit set in the character before "==" (A, Q, g or w
        // when canonical).
        row("non-canonical Base64", withText(text.left(341) + char(text[341] + 1) + "=="),
            V::NotCanonical);
        row("value not below n", withText(QByteArray(256, '\xFF').toBase64()), V::NotBelowModulus);
        row("closing marker after the element", good + "<!-- </signature> -->", V::NotCanonical);
        // A missing marker, or the last closing one before the last opening one: no text at all.
        row("opening marker after the element", good + "<!-- <signature> -->", V::NoText);
        row("no opening marker", QByteArray(good).replace("<signature>", "<sig>"), V::NoText);
        row("no closing marker", QByteArray(good).replace("</signature>", "</sig>"), V::NoText);
    }
    // The text as load() takes it from the file, and the program's check (public key only).
    void signatureCheck()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, verdict);
        QTemporaryDir dir;
        QVERIFY(fixture::write(dir.filePath(QStringLiteral("configuration.xml")), file));
        Configuration c(dir.path() + QLatin1Char('/'));
        QVERIFY(c.load());
        QCOMPARE(c.checkSignature(), verdict == int(signature::Verdict::Valid));
        RsaPublicKey key;
        signature::builtInKey(key);
        QCOMPARE(int(signature::check(file, c.signature, key)), verdict);
    }
};

QTEST_GUILESS_MAIN(TestConfiguration)
#include "tst_configuration.moc"
