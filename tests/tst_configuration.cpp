#include "config/advertisement.h"
#include "config/configuration.h"
#include "config/picture.h"
#include "config/signature.h"
#include "packagefixture.h"
#include "sealing.h"

#include <QBuffer>
#include <QImage>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/bn.h>

#include <sys/stat.h>

#include <atomic>
#include <thread>

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
        // After the signature element: white space and the root's closing tag, nothing else.
        row("white space in the closing tags",
            QByteArray(good).replace("</signature>\n</configuration>\n",
                                     "</signature \t>\r\n  </configuration\n>\n\n"),
            V::Valid);
        row("appended batch", fixture::withAppendedBatch(good), V::UnsignedContent);
        row("comment after the root", good + "<!-- x -->", V::UnsignedContent);
        row("text before the root's closing tag",
            QByteArray(good).replace("</signature>\n", "</signature>x\n"), V::UnsignedContent);
        row("another closing tag", QByteArray(good).replace("</configuration>", "</batch>"),
            V::UnsignedContent);
        row("no root closing tag", QByteArray(good).replace("</configuration>\n", ""),
            V::UnsignedContent);
        row("closing marker cut", good.left(good.lastIndexOf("</signature>") + 11),
            V::UnsignedContent);
        row("entity after the signature",
            QByteArray(good).replace("</signature>", "</signature>&amp;"), V::UnsignedContent);
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
        QCOMPARE(int(c.verdict()), verdict);
        QCOMPARE(c.failureLine().isEmpty(), verdict == int(signature::Verdict::Valid));
    }

    // One reading: the check works on the bytes the model was read from, whatever happens to
    // the file in between, both ways.
    void oneReading()
    {
        const QByteArray good = fixture::signXml(fixture::unsignedXml());
        const QByteArray bad = fixture::withAppendedBatch(good);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("configuration.xml"));
        for (const bool loadGood : {true, false}) {
            QVERIFY(fixture::write(file, loadGood ? good : bad));
            Configuration c(dir.path() + QLatin1Char('/'));
            QVERIFY(c.load());
            QVERIFY(fixture::write(file, loadGood ? bad : good));
            QCOMPARE(c.checkSignature(), loadGood);
            QCOMPARE(c.getBatches().size(), loadGood ? 1 : 2);
        }
    }

    // The RSA entry point keeps nothing a concurrent check can disturb. At the entry point: a
    // whole check on another thread runs between this thread's rsaInit(2) and its dispatch
    // (another thread's rsaFinal() used to end this thread's bracket too). Then two
    // configurations checked at once on two threads, again and again, keep their verdicts.
    void concurrentChecks()
    {
        const QByteArray good = fixture::signXml(fixture::unsignedXml());
        QTemporaryDir a, b;
        QVERIFY(fixture::write(a.filePath(QStringLiteral("configuration.xml")), good) &&
                fixture::write(b.filePath(QStringLiteral("configuration.xml")),
                               QByteArray(good).replace("Iris", "Irix")));
        Configuration valid(a.path() + QLatin1Char('/')), changed(b.path() + QLatin1Char('/'));
        QVERIFY(valid.load() && changed.load());

        const QByteArray block = signature::block("x");
        QByteArray output(kRsaMaxLength, '\0');
        RsaParameters parameters{reinterpret_cast<const quint8 *>(block.constData()),
                                 quint32(block.size()), reinterpret_cast<quint8 *>(output.data()),
                                 0};
        QCOMPARE(rsaInit(2), kRsaOk);
        bool otherValid = false;
        std::thread([&] { otherValid = valid.checkSignature(); }).join();
        QCOMPARE(rsaDispatch(kRsaTypeRaw, kRsaModePrivate, &parameters, &fixture::buildKey()),
                 kRsaOk);
        QVERIFY(rsaFinal() == kRsaOk && otherValid);

        std::atomic<int> wrong{0}, ready{0};
        const auto checkMany = [&](Configuration *c, signature::Verdict expected) {
            for (++ready; ready < 2;) {
            }
            for (int i = 0; i < 30; ++i)
                wrong += c->checkSignature() != (expected == signature::Verdict::Valid) ||
                         c->verdict() != expected;
        };
        std::thread other(checkMany, &changed, signature::Verdict::Mismatch);
        checkMany(&valid, signature::Verdict::Valid);
        other.join();
        QCOMPARE(wrong.load(), 0);
    }

    // Only regular files are read, and never more than the reader holds: a FIFO or an oversized
    // file in place of configuration.xml is refused unread (and the log line says why); a
    // FIFO in place of an hterm file is ignored. A FIFO that was opened would block for ever.
    void hostileFiles()
    {
        QTemporaryDir dir;
        const QString path = dir.path() + QLatin1Char('/');
        const QByteArray file = QFile::encodeName(path + QStringLiteral("configuration.xml"));
        Configuration fifo(path), big(path);
        QVERIFY(::mkfifo(file.constData(), 0600) == 0 && !fifo.load());
        QCOMPARE(fifo.readFailure().type, regularfile::Type::Fifo);
        QVERIFY(fifo.failureLine().endsWith(
            QStringLiteral("n'est pas un fichier ordinaire mais un tube nommé (FIFO) : refusé")));
        QFile sparse(QString::fromLocal8Bit(file));
        QVERIFY(sparse.remove() && sparse.open(QIODevice::WriteOnly) &&
                sparse.resize(Configuration::kMaxFileSize + 1));
        QVERIFY(!big.load());
        QVERIFY(big.failureLine().endsWith(
            QStringLiteral("fait 16777217 octets, plus que les 16777216 octets admis : refusé")));

        QVERIFY(fixture::write(QString::fromLocal8Bit(file),
                               "<configuration><hterm>h</hterm></configuration>"));
        QCOMPARE(::mkfifo(QFile::encodeName(path + QStringLiteral("h")).constData(), 0600), 0);
        Configuration c(path);
        QVERIFY(c.load() && c.hterms.isEmpty() && c.ignoredHTerminals.size() == 1);
        QCOMPARE(c.ignoredHTerminals[0].failure.type, regularfile::Type::Fifo);
    }

    // The picture's size comes from its header; beyond 4096 pixels a side it is not decoded.
    void picture_data()
    {
        QTest::addColumn<QByteArray>("data"); // null: a FIFO
        QTest::addColumn<int>("status");
        QTest::addColumn<QSize>("size");
        const auto png = [](int width, int height) {
            QImage image(width, height, QImage::Format_RGB32);
            image.fill(Qt::red);
            QByteArray bytes;
            QBuffer buffer(&bytes);
            return buffer.open(QIODevice::WriteOnly) && image.save(&buffer, "PNG") ? bytes
                                                                                  : QByteArray();
        };
        using S = picture::Inspection::Status;
        QTest::newRow("4096 wide") << png(4096, 2) << int(S::Ok) << QSize(4096, 2);
        QTest::newRow("4097 wide") << png(4097, 2) << int(S::TooLarge) << QSize(4097, 2);
        QTest::newRow("4097 high") << png(2, 4097) << int(S::TooLarge) << QSize(2, 4097);
        // 3.6 GB once decoded, declared in a file of about a hundred bytes.
        QTest::newRow("30000 square") << fixture::pngHeader(30000, 30000) << int(S::TooLarge)
                                      << QSize(30000, 30000);
        QTest::newRow("damaged") << fixture::pngHeader(16, 16) << int(S::Undecodable)
                                 << QSize(16, 16);
        QTest::newRow("text") << QByteArray("not a picture") << int(S::NotAPicture) << QSize();
        QTest::newRow("FIFO") << QByteArray() << int(S::Unreadable) << QSize();
    }
    void picture()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, status);
        QFETCH(QSize, size);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("terminal.png"));
        QVERIFY(data.isNull() ? ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0
                              : fixture::write(path, data));
        picture::Inspection found;
        const QImage image = picture::load(path, &found);
        QCOMPARE(int(found.status), status);
        QCOMPARE(found.size, size);
        QCOMPARE(image.isNull(), status != int(picture::Inspection::Status::Ok));
        if (status != int(picture::Inspection::Status::Undecodable))
            QCOMPARE(int(picture::inspect(path).status), status);
    }

    // The one rule of what can be advertised, applied by the program and by vardel-pack
    // verify alike: the name after the last folder, in encoded bytes, plus the length text.
    void advertisementRule_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<quint32>("length");
        QTest::addColumn<QString>("advertised"); // name, then length text
        QTest::addColumn<bool>("fits");
        QTest::newRow("22 + 6") << "/c/./configuration/abcdefghijklmnopqr.bin" << 300u
                                << "ABCDEFGHIJKLMNOPQR.BIN 000300" << true;
        QTest::newRow("23 + 6") << "/c/./configuration/abcdefghijklmnopqrs.bin" << 300u
                                << "ABCDEFGHIJKLMNOPQRS.BIN 000300" << false;
        QTest::newRow("20 + 8") << "/c/abcdefghijklmnop.bin" << 1000000u
                                << "ABCDEFGHIJKLMNOP.BIN 1000000;" << true;
        QTest::newRow("folders") << "/c/./configuration/apps/sub/app.bin" << 999999u
                                 << "APP.BIN 999999" << true;
        // 22 characters: whether they fit depends on their size in the local 8-bit encoding,
        // which is what the frame carries (24 bytes in UTF-8).
        const QString accented = QStringLiteral("abcdefghijklmno\u00e9\u00e9.bin");
        QTest::newRow("encoded bytes") << QStringLiteral("/c/") + accented << 0u
                                       << accented.toUpper() + QStringLiteral(" 000000")
                                       << (accented.toLocal8Bit().size() + 6 <= 28);
    }
    void advertisementRule()
    {
        QFETCH(QString, path);
        QFETCH(quint32, length);
        QFETCH(QString, advertised);
        QFETCH(bool, fits);
        const advertisement::Advertisement advert = advertisement::of(path, length);
        QCOMPARE(advert.name + QLatin1Char(' ') + QString::fromLatin1(advert.lengthText),
                 advertised);
        QCOMPARE(advert.encodedName, advert.name.toLocal8Bit());
        QCOMPARE(advert.fits(), fits);
    }
};

QTEST_GUILESS_MAIN(TestConfiguration)
#include "tst_configuration.moc"
