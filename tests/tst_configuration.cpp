#include "config/advertisement.h"
#include "config/configuration.h"
#include "config/signature.h"
#include "pack.h"
#include "packagefixture.h"
#include "replies.h"
#include "sealing.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/bn.h>

#include <sys/stat.h>

#include <atomic>
#include <thread>

// The configuration: its reading, its signature, and the RSA operations behind the signature.
namespace {

QByteArray bytes(const quint8 *data)
{
    return QByteArray(reinterpret_cast<const char *>(data), kRsaMaxLength);
}

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
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

    const QByteArray good = fixture::signXml(fixture::unsignedXml());

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
        // The entries a batch expects, in order and verbatim; an expect elsewhere is read over.
        QTest::newRow("expected entries")
            << QByteArray("<configuration><expect>X</expect><batch><expect>PAIEMENT120400</expect>"
                          "<file>a</file><expect> MIRANDOL0301</expect></batch><terminal>"
                          "<expect>Y</expect></terminal><batch id=\"2\"/></configuration>")
            << QByteArray()
            << "|||0|||batch 0|DIR/a|expect PAIEMENT120400|expect  MIRANDOL0301|batch 2|";
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
        (void)c.checkFiles(); // the hterm files, which name no digest here
        QCOMPARE(fixture::summary(c).replace(path, QStringLiteral("DIR/")), expected);
    }

    void rsa_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("mode");
        QTest::addColumn<quint32>("status");
        const QByteArray n = bytes(fixture::buildKey().publicKey.modulus);
        const QByteArray one = QByteArray(299, '\0') + '\1'; // leading zeros: a longer spelling
        for (const int mode : {kRsaModePrivate, kRsaModePublic}) {
            const auto row = [mode](const QByteArray &name, const QByteArray &input,
                                    quint32 status) {
                QTest::addRow("%s, %s", name.constData(),
                              mode == kRsaModePrivate ? "private" : "public")
                    << input << mode << status;
            };
            row("zero", QByteArray(1, '\0'), kRsaOk);
            row("one", one, kRsaOk);
            row("n - 1", n.chopped(1) + char(n[255] - 1), kRsaOk); // n is odd
            row("255 bytes", n.left(255), kRsaOk);
            for (int i = 0; i < 8; ++i) // the blocks that signing raises
                row("block " + QByteArray::number(i), signature::block(QByteArray::number(i)),
                    kRsaOk);
            // Not below n: refused, the output untouched. 301 bytes do not even fit the digits.
            row("n", n, kRsaDataError);
            row("all ones", QByteArray(256, '\xFF'), kRsaDataError);
            row("301 bytes", '\1' + QByteArray(300, '\0'), kRsaDataError);
        }
    }
    // The private operation (CRT) and the public one, against OpenSSL; each only between
    // rsaInit(2) and rsaFinal() on its own thread.
    void rsa()
    {
        QFETCH(QByteArray, input);
        QFETCH(int, mode);
        QFETCH(quint32, status);
        RsaPrivateKey key = fixture::buildKey();
        QByteArray output(kRsaMaxLength, '\x5A');
        RsaParameters p{reinterpret_cast<const quint8 *>(input.constData()), quint32(input.size()),
                        reinterpret_cast<quint8 *>(output.data()), 0};
        QCOMPARE(rsaDispatch(kRsaTypeRaw, quint8(mode), &p, &key), kRsaNotInitialised);
        QVERIFY(rsaInit(2) == kRsaOk && rsaInit(0) == kRsaFailure); // the state stays
        std::thread([] { rsaInit(2), rsaFinal(); }).join(); // ends that thread's bracket only
        key.publicKey.bits = 4096;                          // more than the library handles
        const quint32 tooLong = rsaDispatch(kRsaTypeRaw, quint8(mode), &p, &key);
        key.publicKey.bits = 2048;
        const quint32 got = rsaDispatch(kRsaTypeRaw, quint8(mode), &p, &key);
        QVERIFY(rsaFinal() == kRsaOk && tooLong == kRsaLengthError && got == status);
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
        const int marker = good.lastIndexOf(signature::kOpenMarker);
        const QByteArray text = signature::extractText(good).toLatin1();
        const auto row = [](const char *name, const QByteArray &file, V verdict) {
            QTest::newRow(name) << file << int(verdict);
        };
        const auto with = [this](const QByteArray &from, const QByteArray &to) {
            return QByteArray(good).replace(from, to);
        };
        row("signed by vardel-pack", good, V::Valid);
        row("byte before the marker changed", QByteArray(good).replace(marker - 1, 1, "x"),
            V::Mismatch);
        row("CR LF line endings", with("\n", "\r\n"), V::Mismatch);
        row("CR LF after the marker only",
            good.left(marker) + good.mid(marker).replace("\n", "\r\n"), V::Valid);
        // The same 256 bytes, with a padding bit set in the character before "==" (A, Q, g or w
        // when canonical).
        row("non-canonical Base64", with(text, text.left(341) + char(text[341] + 1) + "=="),
            V::NotCanonical);
        row("value not below n", with(text, QByteArray(256, '\xFF').toBase64()),
            V::NotBelowModulus);
        row("closing marker after the element", good + "<!-- </signature> -->", V::NotCanonical);
        // A missing marker, or the last closing one before the last opening one: no text at all.
        row("opening marker after the element", good + "<!-- <signature> -->", V::NoText);
        row("no opening marker", with("<signature>", "<sig>"), V::NoText);
        // After the signature element: white space and the root's closing tag, nothing else.
        row("white space in the closing tags",
            with("</signature>\n</configuration>\n", "</signature \t>\r\n  </configuration\n>\n\n"),
            V::Valid);
        row("one-letter root", fixture::signXml("<c></c>\n"), V::Valid);
        row("appended batch", fixture::withAppendedBatch(good), V::UnsignedContent);
        row("comment after the root", good + "<!-- x -->", V::UnsignedContent);
        row("text before the root's closing tag", with("</signature>\n", "</signature>x\n"),
            V::UnsignedContent);
        row("another closing tag", with("</configuration>", "</batch>"), V::UnsignedContent);
        row("no root closing tag", with("</configuration>\n", ""), V::UnsignedContent);
        row("closing marker cut", good.left(good.lastIndexOf("</signature>") + 11),
            V::UnsignedContent);
    }
    // The text as load() takes it from the file, and the program's check (public key only), on
    // the bytes load() read: the file replaced in between changes nothing.
    void signatureCheck()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, verdict);
        const bool valid = verdict == int(signature::Verdict::Valid);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("configuration.xml"));
        QVERIFY(fixture::write(path, file));
        Configuration c(dir.path() + QLatin1Char('/'));
        QVERIFY(c.load() && fixture::write(path, valid ? fixture::withAppendedBatch(good) : good));
        QCOMPARE(c.checkSignature(), valid);
        QCOMPARE(int(c.verdict()), verdict);
        QCOMPARE(c.logLines().isEmpty(), valid);
    }

    // Two configurations checked at once on two threads, again and again, keep their verdicts.
    void concurrentChecks()
    {
        Configuration valid(QStringLiteral("/")), changed(QStringLiteral("/"));
        valid.readBytes(good);
        changed.readBytes(QByteArray(good).replace("Iris", "Irix"));
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

    // Markup that would make the XML reader slow: the reading stops before it, and says where
    // and why, as for a malformed document; what comes before it is read. The look over the
    // markup is not fooled by comments, CDATA sections or quoted values.
    void hostileMarkup_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QString>("title"); // what the reading kept
        QTest::addColumn<QString>("error"); // "LINE: MESSAGE", empty: none
        const auto attributes = [](int count, const char *name) {
            QByteArray out;
            for (int i = 0; i < count; ++i)
                out += ' ' + QByteArray(name) + QByteArray::number(i) + "=\"u\"";
            return out;
        };
        const auto document = [](const QByteArray &before, const QByteArray &after = {}) {
            return "<?xml "
                   "version=\"1.0\"?><configuration><operation><title>T</title></operation>\n" +
                   before + "<operation><title>U</title></operation>" + after + "</configuration>";
        };
        const QString many = "2: An element has more than 16 attributes."_q;
        QTest::newRow("16 attributes")
            << document("<x" + attributes(16, "a") + "/>") << "U" << QString();
        QTest::newRow("17 attributes")
            << document("<x" + attributes(17, "a") + "/>") << "T" << many;
        QTest::newRow("behind a quoted \">\"")
            << document("<x y=\">\"" + attributes(16, "a") + "/>") << "T" << many;
        QTest::newRow("behind a comment with a quote")
            << document("<!-- <y z=\" -->\n<x" + attributes(17, "a") + "/>") << "T"
            << "3: An element has more than 16 attributes."_q;
        QTest::newRow("in a CDATA section, not markup")
            << document("<d><![CDATA[<x" + attributes(17, "a") + "/>]]></d>") << "U" << QString();
        QTest::newRow("behind a CDATA section")
            << document("<d><![CDATA[<]]></d><x" + attributes(17, "a") + "/>") << "T" << many;
        QByteArray deep, closed; // inside the root, around an operation and its title
        for (int i = 0; i < 29; ++i)
            deep += "<d>", closed += "</d>";
        QTest::newRow("32 open") << document(deep, closed) << "U" << QString();
        QTest::newRow("33 open") << document(deep + "<d>", "</d>" + closed) << "T"
                                 << "2: More than 32 elements are open at once."_q;
        QTest::newRow("16 namespaces in scope")
            << document("<d" + attributes(8, "xmlns:p") + "><e" + attributes(8, "xmlns:q") + "/>",
                        "</d>")
            << "U" << QString();
        QTest::newRow("17 namespaces in scope")
            << document("<d" + attributes(8, "xmlns:p") + "><e" + attributes(9, "xmlns:q") + "/>",
                        "</d>")
            << "T"
            << "2: More than 16 namespace declarations are in scope."_q;
        QTest::newRow("document type")
            << "<!DOCTYPE c [<!ENTITY e \"<x a='1'/>\">]>\n" + document("&e;") << QString()
            << "1: A document type declaration is not accepted."_q;
        QTest::newRow("ISO-8859-1 byte in UTF-8")
            << document("\n<x a=\"\xe9\"/>") << "T"
            << "3: Encountered incorrectly encoded content."_q;
        QTest::newRow("ISO-8859-1 declared")
            << document("<x a=\"\xe9\"/>")
                   .replace("version=\"1.0\"", "version=\"1.0\" encoding=\"ISO-8859-1\"")
            << "U" << QString();
    }
    void hostileMarkup()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QString, error);
        Configuration c(QStringLiteral("/"));
        c.readBytes(xml);
        QTEST(c.getTitle(), "title");
        const Configuration::XmlError &stop = c.xmlError();
        QCOMPARE(stop.message.isEmpty() ? QString() : "%1: %2"_q.arg(stop.line).arg(stop.message),
                 error);
    }

    // The files a package names, each changed after signing as anyone who can seal a file
    // could: the package is refused, and the log names the file with its digest and the signed
    // one, or says that it is missing. Untouched, it is accepted and the log says nothing.
    void boundFiles_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("data"); // null: removed
        QTest::addColumn<QString>("logged");  // DIR/ stands for the package's folder
        QTest::newRow("untouched") << QString() << QByteArray() << QString();
        const QString kinds[] = {"Le fichier du package"_q,
                                 "Le fichier de configuration matérielle"_q,
                                 "L'image du terminal"_q};
        const QList<QByteArray> swapped = fixture::otherFiles();
        const QList<QPair<QString, QByteArray>> files = fixture::files();
        for (int k = 0; k < 3; ++k) {
            const QString &name = files[k].first;
            const QByteArray &original = files[k].second;
            const QString named = kinds[k] + " \"DIR/"_q + name + "\" "_q;
            const auto changed = [&](const char *how, const QByteArray &data) {
                QTest::addRow("%s %s", qPrintable(name), how)
                    << name << data
                    << named + "ne correspond pas au package signé : son empreinte SHA-256 est "_q +
                           sha256(data) + ", la signature donne "_q + sha256(original);
            };
            changed("swapped", swapped[k]);
            changed("truncated", original.chopped(1));
            changed("one byte longer", original + 'x');
            QTest::addRow("%s removed", qPrintable(name))
                << name << QByteArray() << named + "est introuvable"_q;
        }
    }
    void boundFiles()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, data);
        QFETCH(QString, logged);
        QTemporaryDir dir;
        const QString path = dir.path() + QLatin1Char('/');
        QVERIFY(fixture::writePackage(path));
        QVERIFY(file.isEmpty() ||
                (data.isNull() ? QFile::remove(path + file) : fixture::write(path + file, data)));
        Configuration c(path);
        QCOMPARE(c.loadChecked(), logged.isEmpty());
        QCOMPARE(c.binding(), Configuration::Binding::Bound);
        QCOMPARE(c.logLines(),
                 logged.isEmpty() ? QStringList() : QStringList{logged.replace("DIR/"_q, path)});
    }

    // How the files are bound to the signature: a package with digests says nothing, one
    // without any (signed by an older vardel-pack) is accepted and the log says that its files
    // are not bound; one with some digests only is refused, and so is one whose files lie
    // outside its folder or reach the terminal under one name, with digests or without.
    void binding_data()
    {
        QTest::addColumn<QByteArray>("xml"); // signed
        QTest::addColumn<int>("binding");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QStringList>("logged"); // DIR/ stands for the package's folder
        using B = Configuration::Binding;
        const QByteArray xml = fixture::unsignedXml();
        const auto row = [](const char *name, const QByteArray &signedXml, B binding,
                            const QStringList &logged) {
            const bool valid = logged.isEmpty() || logged.first().startsWith("Les fichiers"_q);
            QTest::newRow(name) << signedXml << int(binding) << valid << logged;
        };
        row("digests", fixture::signXml(xml), B::Bound, {});
        row("no digests", fixture::signWithoutDigests(xml), B::Unbound,
            {"Les fichiers de ce package ne sont pas liés à sa signature (aucun attribut sha256) : "
             "leur contenu est installé sans être contrôlé"_q});
        row("no file named", fixture::signXml("<c></c>\n"), B::Bound, {});
        const QString missing = " n'a pas d'attribut sha256 alors que d'autres fichiers du "
                                "package en ont un : son contenu n'est pas lié à la signature"_q;
        row("some digests",
            fixture::signWithoutDigests(QByteArray(xml).replace("<file>", "<file sha256=\"0\">")),
            B::Mixed,
            {"L'image du terminal \"DIR/terminal.png\""_q + missing,
             "Le fichier de configuration matérielle \"DIR/hterm.bin\""_q + missing,
             "Le fichier du package \"DIR/app.bin\" ne correspond pas au package signé : son "
             "empreinte SHA-256 est "_q +
                 sha256(fixture::files().first().second) + ", la signature donne 0"_q});
        row("a name climbing out",
            fixture::signWithoutDigests(QByteArray(xml).replace("<file>", "<file>../")), B::Unbound,
            {"Le fichier du package \"DIR/../app.bin\" est hors du dossier du package : son nom "
             "en sort (« .. »)"_q});
        row("two files under one name",
            fixture::signWithoutDigests(QByteArray(xml).replace(
                "<file>app.bin</file>", "<file>app.bin</file><file>./APP.bin</file>")),
            B::Unbound,
            {"Le fichier du package \"DIR/app.bin\" et \"DIR/./APP.bin\" du lot 1 arrivent au "
             "terminal sous le même nom APP.BIN : il n'en garderait qu'un"_q});
        // What the installation could never do: tell the terminal of a file (its name and
        // length beyond the advertisement's 28 bytes), or see an entry the terminal could
        // never list. Each refuses the package, as a file that fails its digest does.
        row("a name too long to advertise",
            fixture::signWithoutDigests(
                QByteArray(xml).replace("<file>app.bin", "<file>abcdefghijklmnopqrs.bin")),
            B::Unbound,
            {"Le fichier du package \"DIR/abcdefghijklmnopqrs.bin\" ne peut pas être annoncé au "
             "terminal : son nom ABCDEFGHIJKLMNOPQRS.BIN (23 octets) et sa longueur 000300 "
             "dépassent 28 octets"_q});
        row("the longest name that can be",
            fixture::signWithoutDigests(
                QByteArray(xml).replace("<file>app.bin", "<file>abcdefghijklmnopqr.bin")),
            B::Unbound,
            {"Les fichiers de ce package ne sont pas liés à sa signature (aucun attribut sha256) : "
             "leur contenu est installé sans être contrôlé"_q});
        row("an entry no terminal lists",
            fixture::signWithoutDigests(QByteArray(xml).replace(
                "</file>",
                "</file><expect>MIRANDOL0301</expect><expect>PAIEMENT\xe2\x82\xac</expect>")),
            B::Unbound,
            {"lot 1 : l'entrée attendue « PAIEMENT€ » contient le caractère U+20AC, qu'une "
             "entrée de la liste des applications du terminal ne peut pas porter : le terminal "
             "ne peut jamais la lister"_q});
    }
    void binding()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QStringList, logged);
        QTemporaryDir dir;
        const QString path = dir.path() + QLatin1Char('/');
        QVERIFY(fixture::writeFiles(path) && fixture::write(path + "configuration.xml"_q, xml) &&
                QFile::copy(path + "app.bin"_q, path + "APP.bin"_q));
        for (const char *name : {"abcdefghijklmnopqrs.bin", "abcdefghijklmnopqr.bin"})
            QVERIFY(QFile::copy(path + "app.bin"_q, path + QLatin1String(name)));
        Configuration c(path);
        QTEST(c.loadChecked(), "valid");
        QTEST(int(c.binding()), "binding");
        QCOMPARE(c.logLines(), logged.replaceInStrings("DIR/"_q, path));
    }

    // Only regular files are read, and never more than the reader holds: a FIFO (which would
    // block for ever once opened) or a file beyond 16 MiB in place of configuration.xml is
    // refused unread, and the log line says why; a file of the limit itself is read. (A FIFO as an
    // hterm file: see tst_pack.)
    void hostileFiles()
    {
        QTemporaryDir dir;
        const QString path = dir.path() + QLatin1Char('/');
        QFile file(path + QStringLiteral("configuration.xml"));
        Configuration fifo(path), big(path);
        QVERIFY(::mkfifo(QFile::encodeName(file.fileName()).constData(), 0600) == 0 &&
                !fifo.load());
        QVERIFY(fifo.logLines().value(0).endsWith(
            QStringLiteral("n'est pas un fichier ordinaire mais un tube nommé (FIFO) : refusé")));
        QVERIFY(file.remove() && file.open(QIODevice::WriteOnly) &&
                file.resize(Configuration::kMaxFileSize + 1) && !big.load());
        QVERIFY(big.logLines().value(0).endsWith(
            QStringLiteral("fait 16777217 octets, plus que les 16777216 octets admis : refusé")));
        QByteArray data; // the limit itself is allowed
        regularfile::Failure failure;
        QVERIFY(fixture::write(path + QStringLiteral("ten"), "0123456789") &&
                regularfile::read(path + QStringLiteral("ten"), 10, data, failure) &&
                !regularfile::read(path + QStringLiteral("ten"), 9, data, failure));
    }

    // The one rule of what can be advertised, applied by the program and by vardel-pack
    // verify alike: the name after the last folder, in encoded bytes, plus the length text
    // (six digits up to 999999, then all of them and ";") in 28 bytes.
    void advertisementRule_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<quint32>("length");
        QTest::addColumn<bool>("fits");
        QTest::newRow("22 + 6") << "/c/./configuration/a/abcdefghijklmnopqr.bin" << 999999u << true;
        QTest::newRow("23 + 6") << "/c/./configuration/abcdefghijklmnopqrs.bin" << 0u << false;
        QTest::newRow("20 + 8") << "/c/abcdefghijklmnop.bin" << 1000000u << true;
        QTest::newRow("21 + 8") << "/c/abcdefghijklmnopq.bin" << 1000000u << false;
        // 22 characters: whether they fit depends on their size in the local 8-bit encoding,
        // which is what the frame carries (24 bytes in UTF-8).
        const QString accented = QStringLiteral("abcdefghijklmno\u00e9\u00e9.bin");
        QTest::newRow("encoded bytes")
            << QStringLiteral("/c/") + accented << 0u << (accented.toLocal8Bit().size() + 6 <= 28);
    }
    void advertisementRule()
    {
        QFETCH(QString, path);
        QFETCH(quint32, length);
        const advertisement::Advertisement advert = advertisement::of(path, length);
        QCOMPARE(advert.encodedName, QFileInfo(path).fileName().toUpper().toLocal8Bit());
        QTEST(advert.fits(), "fits");
    }
};

QTEST_GUILESS_MAIN(TestConfiguration)
#include "tst_configuration.moc"
