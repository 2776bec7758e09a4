#include "pack.h"
#include "packagefixture.h"
#include "replies.h"
#include "sanitizerreport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// When a row's package is signed: before its file is changed (with digests), after (the change
// is the maker's own), or without digests, as an older vardel-pack signed it.
enum Signing
{
    kBefore,
    kAfter,
    kOld,
};
} // namespace

class TestPack : public QObject
{
    Q_OBJECT

    QScopedPointer<QTemporaryDir> tmp; // a new one for each test: the tool's working directory
    QByteArray output;                 // of the last run
    QString caught; // the first sanitizer report of a run in this test function (cleanup())

    QString path(const char *name) const { return tmp->filePath(QLatin1String(name)); }
    bool put(const char *name, const QByteArray &data) { return fixture::write(path(name), data); }
    QByteArray contents(const char *name) const
    {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
    }
    bool makeFifo(const char *name) const
    {
        QFile::remove(path(name));
        return ::mkfifo(QFile::encodeName(path(name)).constData(), 0600) == 0;
    }
    // Every file in `dir`, hidden ones included: what a failed command may have left.
    QStringList files(const char *dir = "") const
    {
        return QDir(path(dir)).entryList(QDir::Files | QDir::Hidden | QDir::System);
    }
    // Runs vardel-pack with the words of `command` as its arguments; -1 when it crashed or has
    // not ended within a minute.
    int run(const char *command)
    {
        QProcess process;
        process.setWorkingDirectory(tmp->path());
        process.start(QStringLiteral(VARDEL_PACK),
                      QString::fromLatin1(command).split(QLatin1Char(' ')));
        const bool ended =
            process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
        const QByteArray stderrText = process.readAllStandardError();
        output = process.readAllStandardOutput() + stderrText;
        if (caught.isEmpty())
            caught = sanitizer::reportIn(stderrText);
        return ended ? process.exitCode() : -1; // one still running is killed on return
    }

    // Makes `name` whatever a row asks: null removes it, "FIFO" makes it a FIFO, "LINK:TARGET"
    // a symbolic link to TARGET, anything else is written into it.
    bool make(const QString &name, const QByteArray &data) const
    {
        const QString file = tmp->filePath(name);
        QFile::remove(file);
        if (data.isNull())
            return true;
        if (data == "FIFO")
            return ::mkfifo(QFile::encodeName(file).constData(), 0600) == 0;
        if (data.startsWith("LINK:"))
            return QFile::link(QString::fromUtf8(data.mid(5)), file);
        return fixture::write(file, data);
    }
    static QString sha256(const QByteArray &bytes)
    {
        return QString::fromLatin1(
            QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    }
    // The digests that sign writes and the signature element taken out: what was given to sign.
    static QByteArray unsigned_(const QByteArray &xml)
    {
        QString text = QString::fromLatin1(xml); // byte for byte
        text.remove(QRegularExpression(QStringLiteral("\\s+sha256\\s*=\\s*([\"'])[^\"']*\\1")));
        text.remove(QRegularExpression(QStringLiteral("<signature>[^<]*</signature>\\r?\\n")));
        return text.toLatin1();
    }

private slots:
    void init()
    {
        tmp.reset(new QTemporaryDir);
        caught.clear();
    }
    // No run of vardel-pack in the test function was caught by a sanitizer.
    void cleanup() { QVERIFY2(caught.isEmpty(), qPrintable(caught)); }

    // keygen, seal and unseal, sign and verify, as a package maker goes. The keys and the
    // folder keygen makes for them are readable by their owner only, whatever the umask (000
    // here, which would leave a folder of 0777); sign writes the digest of every file.
    void endToEnd()
    {
        const mode_t umask = ::umask(0);
        const bool made = run("keygen keys") == 0 && run("keygen keys") == 1; // never over keys
        ::umask(umask);
        QVERIFY(made);
        struct stat folder;
        QVERIFY(::stat(QFile::encodeName(path("keys")).constData(), &folder) == 0);
        QCOMPARE(folder.st_mode & 07777, mode_t(0700));
        for (const char *key :
             {"keys/package.key", "keys/signing-modulus.hex", "keys/signing-private.pem"}) {
            struct stat status;
            QVERIFY(::stat(QFile::encodeName(path(key)).constData(), &status) == 0);
            QCOMPARE(status.st_mode & 0777, mode_t(0600));
        }
        RsaPrivateKey key;
        QString error;
        QVERIFY(pack::privateKeyFromPem(contents("keys/signing-private.pem"), key, error));
        QCOMPARE(QByteArray::fromHex(contents("keys/signing-modulus.hex")),
                 QByteArray(reinterpret_cast<const char *>(key.publicKey.modulus), 256));
        QVERIFY(fixture::writePackage(path("p/")) && put("plain", fixture::unsignedXml()));
        QVERIFY(run("seal plain p/app.bin") == 0 && run("unseal p/app.bin back") == 0);
        QCOMPARE(contents("back"), fixture::unsignedXml());
        // Signed with the new key, only a program built with that key accepts the package.
        QVERIFY(put("p/configuration.xml", fixture::unsignedXml()));
        QCOMPARE(run("sign p/configuration.xml --key keys/signing-private.pem"), 0);
        QVERIFY2(run("verify p") == 1 && output.contains("problem: bad signature"),
                 output.constData());
        QCOMPARE(run("sign p/configuration.xml"), 0);
        QVERIFY2(run("verify p") == 0 && output.endsWith("the package is clean\n"),
                 output.constData());
        Configuration signedPackage(path("p/"));
        QVERIFY(signedPackage.loadChecked());
        QCOMPARE(signedPackage.namedFiles().size(), 3);
        for (const Configuration::NamedFile &file : signedPackage.namedFiles())
            QCOMPARE(file.digest, sha256(contents(qPrintable("p/"_q + file.name))));
        // As an older vardel-pack signed it: accepted, with a warning.
        QVERIFY(put("p/configuration.xml", fixture::signWithoutDigests(fixture::unsignedXml())));
        QVERIFY2(run("verify p") == 0 &&
                     output.contains("warning: the files are not bound to the signature") &&
                     output.endsWith("the package is clean, with warnings\n"),
                 output.constData());
    }

    // Where sign writes the digests, whatever the configuration looks like: a stale digest is
    // replaced, nothing else of the file changes, and the program accepts the result with
    // every file bound to it. Only a file the digests cannot be placed in is refused.
    void signedDigests_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QString>("error");
        const QByteArray xml = fixture::unsignedXml();
        QTest::newRow("as written") << xml << QString();
        QTest::newRow("stale digests, other attributes")
            << QByteArray(xml)
                   .replace("<file>", "<file sha256=\"00\" x='>' >")
                   .replace("<hterm>", "<hterm sha256 = 'ab'>")
                   .replace("<image>", "<image\nsha256=\"\">")
            << QString();
        // Characters of two, three and four bytes before the elements, and CR LF line endings,
        // which the program's reading drops.
        QTest::newRow("CR LF, beyond ASCII")
            << QByteArray(xml)
                   .replace("\n", "\r\n")
                   .replace("Iris", "Iris \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80")
            << QString();
        QTest::newRow("ISO-8859-1")
            << QByteArray(xml).replace("UTF-8", "ISO-8859-1").replace("\xc3\xa0", "\xe0")
            << QString();
        QTextCodec *utf16 = QTextCodec::codecForName("UTF-16LE");
        QTest::newRow("UTF-16") << QByteArray("\xff\xfe") +
                                       utf16->fromUnicode(QString::fromUtf8(
                                           QByteArray(xml).replace("UTF-8", "UTF-16")))
                                << "into a configuration in UTF-8, US-ASCII or ISO-8859-1 only"_q;
    }
    void signedDigests()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QString, error);
        const QString dir = tmp->path() + QLatin1Char('/');
        QVERIFY(fixture::writeFiles(dir));
        QByteArray signedXml;
        QString refused;
        QCOMPARE(pack::sign(xml, dir, fixture::buildKey(), signedXml, refused), error.isEmpty());
        QVERIFY2(refused.endsWith(error), qPrintable(refused));
        if (!error.isEmpty())
            return;
        QCOMPARE(unsigned_(signedXml), unsigned_(xml));
        Configuration c(dir);
        c.readBytes(signedXml);
        QVERIFY(c.xmlError().message.isEmpty() && c.checkSignature() && c.checkFiles());
        QCOMPARE(c.binding(), Configuration::Binding::Bound);
        QCOMPARE(c.namedFiles().size(), 3);
        for (const Configuration::NamedFile &file : c.namedFiles())
            QCOMPARE(file.digest, sha256(contents(qPrintable(file.name))));
    }

    void verifyProblems_data()
    {
        QTest::addColumn<QByteArray>("xml");   // configuration.xml before signing
        QTest::addColumn<int>("signing");      // kBefore, kAfter (the change) or kOld
        QTest::addColumn<QString>("file");     // of the package, made `data`
        QTest::addColumn<QByteArray>("data");  // as make() takes it
        QTest::addColumn<QString>("expected"); // DIR/ stands for the package's folder
        const QByteArray xml = fixture::unsignedXml(), none, fifo("FIFO");
        const auto row = [&xml](const char *name, int signing, const char *file,
                                const QByteArray &data, const QString &expected) {
            QTest::newRow(name) << xml << signing << QString::fromLatin1(file) << data << expected;
        };
        const auto variant = [](const char *name, const QByteArray &changed, int signing,
                                const QString &expected) {
            QTest::newRow(name) << changed << signing << QString() << QByteArray() << expected;
        };
        // What the maker put in the package (signed after the change).
        row("not well-formed", kAfter, "configuration.xml", "<configuration><",
            "not well-formed XML"_q);
        variant("no batch", QByteArray(xml).replace("batch", "b"), kAfter, "no batch"_q);
        // A name too long to advertise: the program would refuse the package (sign refuses to
        // sign it, see refusedCommands), so it is signed here as an older vardel-pack would.
        variant("name too long", QByteArray(xml).replace("app.bin", "abcdefghijklmnopqrs.bin"),
                kOld,
                "package file \"DIR/abcdefghijklmnopqrs.bin\" cannot be advertised to the "
                "terminal: its name ABCDEFGHIJKLMNOPQRS.BIN (23 bytes) and length text 000300 "
                "exceed 28 bytes"_q);
        row("package file not sealed", kAfter, "app.bin", "1234567", "not a valid sealed file"_q);
        row("only hterm too long", kAfter, "hterm.bin", pack::seal(QByteArray(200, 'h')),
            "holds 200 bytes, more than the 128-byte record; the program ignores it\n"
            "no usable hardware"_q);
        // The picture's size comes from its header; beyond 4096 pixels a side the program
        // shows no picture, and does not decode it: 3.6 GB declared in about a hundred bytes.
        const char *picture = "terminal.png";
        row("picture 4096 wide", kAfter, picture, fixture::png(4096, 2), QString()); // clean
        row("picture 4097 wide", kAfter, picture, fixture::png(4097, 2),
            "is 4097 x 2 pixels, more than"_q);
        row("picture 4097 high", kAfter, picture, fixture::png(2, 4097),
            "is 2 x 4097 pixels, more than"_q);
        row("picture 30000 square", kAfter, picture, fixture::pngHeader(30000, 30000),
            "is 30000 x 30000 pixels, more than the 4096 pixels a side the program shows"_q);
        row("picture damaged", kAfter, picture, fixture::pngHeader(16, 16),
            "is a damaged png picture"_q);
        row("not a picture", kAfter, picture, "text", "is not a picture the program can show"_q);
        // A package whose files do not carry digests: a missing picture only shows none.
        row("no digests, picture missing", kOld, picture, none,
            "the terminal picture \"DIR/terminal.png\" is missing"_q);

        // Every file changed after signing, as anyone who can seal a file could: refused.
        const QString kinds[] = {"package file"_q, "hardware configuration file"_q,
                                 "terminal picture"_q};
        const QList<QByteArray> swapped = fixture::otherFiles();
        const QList<QPair<QString, QByteArray>> files = fixture::files();
        for (int k = 0; k < 3; ++k) {
            const QByteArray name = files[k].first.toLatin1(), &original = files[k].second;
            const QString prefix = kinds[k] + " \"DIR/"_q + files[k].first + "\" "_q;
            const QString differs = prefix + "does not match the signed package: its SHA-256 is "_q;
            const auto change = [&](const char *how, const QByteArray &data, const QString &e) {
                row((name + ' ' + how).constData(), kBefore, name.constData(), data, e);
            };
            change("swapped", swapped[k], differs + sha256(swapped[k]));
            change("truncated", original.chopped(1), differs);
            change("one byte longer", original + 'x', differs);
            change("removed", none, prefix + "does not exist"_q);
            change("a FIFO", fifo, prefix + "is not a regular file but a FIFO"_q);
        }
        variant("some digests only",
                QByteArray(xml).replace("<file>", "<file sha256=\"" +
                                                      sha256(files[0].second).toLatin1() + "\">"),
                kOld,
                "hardware configuration file \"DIR/hterm.bin\" has no sha256 attribute while "
                "other files of the package have one"_q);

        // Files outside the folder, with digests or without.
        row("link leading out", kBefore, "app.bin", "LINK:/etc/passwd",
            "package file \"DIR/app.bin\" is outside the package folder: a symbolic link leads "
            "to /etc/passwd"_q);
        row("link inside", kAfter, "app.bin", "LINK:a/telepar.cfg", QString());
        variant("name climbing out", QByteArray(xml).replace("<file>app.bin", "<file>a/../app.bin"),
                kOld,
                "package file \"DIR/a/../app.bin\" is outside the package folder: its name "
                "climbs out of it"_q);
        variant("absolute name", QByteArray(xml).replace("<hterm>", "<hterm>/etc/"), kOld,
                "hardware configuration file \"DIR//etc/hterm.bin\" is outside the package folder: "
                "its name is an absolute path"_q);
        // Two files that the terminal would receive under one name: it would keep one.
        const QByteArray two("<file>a/telepar.cfg</file><file>b/TELEPAR.CFG</file>");
        variant("same name in a batch", QByteArray(xml).replace("<file>app.bin</file>", two), kOld,
                "package file \"DIR/a/telepar.cfg\" and \"DIR/b/TELEPAR.CFG\" of batch 1 reach "
                "the terminal under the same name TELEPAR.CFG"_q);
        variant("same name in two batches",
                QByteArray(xml).replace("</file>", "</file></batch><batch><file>app.bin</file>"),
                kAfter, QString());
    }
    // Each problem is reported, with the files it concerns; none when `expected` is empty.
    void verifyProblems()
    {
        QFETCH(QByteArray, xml);
        QFETCH(int, signing);
        QFETCH(QString, file);
        QFETCH(QByteArray, data);
        QFETCH(QString, expected);
        const QString dir = tmp->path() + QLatin1Char('/');
        // The package, with the files that only some rows name.
        QVERIFY(fixture::writeFiles(dir) && QDir(dir).mkpath("a"_q) && QDir(dir).mkpath("b"_q));
        for (const char *copy : {"abcdefghijklmnopqrs.bin", "a/telepar.cfg", "b/TELEPAR.CFG"})
            QVERIFY(QFile::copy(path("app.bin"), path(copy)));
        const bool change = !file.isEmpty() && file != "configuration.xml"_q;
        QVERIFY(signing != kAfter || !change || make(file, data));
        const QByteArray signedXml =
            signing == kOld ? fixture::signWithoutDigests(xml) : fixture::signXml(xml, dir);
        QVERIFY(!signedXml.isEmpty());
        QVERIFY(signing == kAfter || !change || make(file, data));
        QVERIFY(put("configuration.xml", file == "configuration.xml"_q ? data : signedXml));
        const QString problems = pack::verify(tmp->path()).problems.join(QLatin1Char('\n'));
        expected.replace("DIR/"_q, dir);
        QVERIFY2(expected.isEmpty() ? problems.isEmpty() : problems.contains(expected),
                 qPrintable(problems));
    }

    // The entries a batch expects the terminal to list: sign keeps them, and the signature
    // covers them (one changed afterwards is a bad signature); the program reads them, verify
    // lists them batch by batch. An entry no terminal could ever list makes the package invalid:
    // sign refuses it (refusedCommands), verify names it.
    void expectedEntries_data()
    {
        QTest::addColumn<QByteArray>("batches"); // replaces the package's batch
        QTest::addColumn<bool>("valid");         // signed as vardel-pack signs, or as before
        QTest::addColumn<QStringList>("read");   // each batch's entries, '|' between, as read
        QTest::addColumn<QStringList>("said");   // in verify's output
        const QByteArray one = "<batch id=\"1\"><file>app.bin</file><expect>PAIEMENT120400"
                               "</expect><expect>MIRANDOL0301</expect></batch>";
        QTest::newRow("one batch")
            << one << true << QStringList{"PAIEMENT120400|MIRANDOL0301"_q}
            << QStringList{"batch 1 expects the terminal to list \"PAIEMENT120400\", "
                           "\"MIRANDOL0301\"\n"_q,
                           "the package is clean\n"_q};
        QTest::newRow("the second batch expects nothing")
            << one + "<batch id=\"2\"><file>app.bin</file></batch>" << true
            << QStringList{"PAIEMENT120400|MIRANDOL0301"_q, QString()}
            << QStringList{"batch 2 expects nothing: the terminal's list is not checked after "
                           "it\n"_q};
        QTest::newRow("none: nothing listed")
            << QByteArray("<batch id=\"1\"><file>app.bin</file></batch>") << true
            << QStringList{QString()} << QStringList{"the package is clean\n"_q};
        // 28 characters of Latin-1 fit an application record; one more, a control character
        // (a value written on lines of its own), a character beyond Latin-1 or nothing do not.
        QTest::newRow("28 characters, Latin-1")
            << QByteArray("<batch><file>app.bin</file><expect>PAIEMENT\xc3\xa9" +
                          QByteArray(19, 'X') + "</expect></batch>")
            << true << QStringList{"PAIEMENT\u00e9"_q + QString(19, QLatin1Char('X'))}
            << QStringList{"the package is clean\n"_q};
        QTest::newRow("29 characters")
            << QByteArray("<batch><file>app.bin</file><expect>" + QByteArray(29, 'X') +
                          "</expect></batch>")
            << false << QStringList{QString(29, QLatin1Char('X'))}
            << QStringList{"problem: batch 1: the expected entry \""_q + QString(29, QLatin1Char('X')) +
                           "\" has 29 characters, more than the 28"_q};
        QTest::newRow("on a line of its own")
            << QByteArray("<batch><file>app.bin</file><expect>\n  PAIEMENT120400\n</expect>"
                          "</batch>")
            << false << QStringList{"\n  PAIEMENT120400\n"_q}
            << QStringList{"problem: batch 1: the expected entry \"\\n  PAIEMENT120400\\n\" "
                           "holds the character U+000A"_q};
        QTest::newRow("beyond Latin-1")
            << QByteArray("<batch><file>app.bin</file><expect>PAIEMENT\xe2\x82\xac</expect>"
                          "</batch>")
            << false << QStringList{"PAIEMENT\u20ac"_q}
            << QStringList{"holds the character U+20AC, which an entry of the terminal's "
                           "application list cannot carry"_q};
        QTest::newRow("empty") << QByteArray("<batch><file>app.bin</file><expect/></batch>")
                               << false << QStringList{QString()}
                               << QStringList{"problem: batch 1: an expect element is empty"_q};
    }
    void expectedEntries()
    {
        QFETCH(QByteArray, batches);
        QFETCH(bool, valid);
        QFETCH(QStringList, read);
        QFETCH(QStringList, said);
        const QString dir = path("p/");
        QVERIFY(fixture::writePackage(dir));
        const QByteArray xml =
            QByteArray(fixture::unsignedXml()).replace("<batch id=\"1\"><file>app.bin</file></batch>",
                                                       batches);
        QVERIFY(put("p/configuration.xml", xml));
        QCOMPARE(run("sign p/configuration.xml"), valid ? 0 : 1);
        if (!valid) // as an older vardel-pack would have signed it
            QVERIFY(put("p/configuration.xml", fixture::signWithoutDigests(xml)));
        QCOMPARE(unsigned_(contents("p/configuration.xml")), xml); // kept as written
        Configuration package(dir);
        QCOMPARE(package.loadChecked(), valid);
        QStringList entries;
        for (const Batch *batch : package.getBatches())
            entries << batch->expected.join(QLatin1Char('|'));
        QCOMPARE(entries, read);
        QCOMPARE(run("verify p"), valid ? 0 : 1);
        for (const QString &text : said)
            QVERIFY2(QString::fromUtf8(output).contains(text), output.constData());
        if (!valid)
            return;
        // Covered by the signature like everything before it.
        QByteArray changed = contents("p/configuration.xml");
        changed.replace("<expect>PAIEMENT120400", "<expect>PAIEMENT120500");
        if (changed == contents("p/configuration.xml"))
            return;
        QVERIFY(put("p/configuration.xml", changed));
        QVERIFY2(run("verify p") == 1 && output.contains("problem: bad signature"),
                 output.constData());
    }

    // What the commands refuse, with the real figures, leaving configuration.xml as it was: a
    // device or a FIFO (never opened: that would block for ever); files larger than the tool
    // can hold or than a sealed file's 4-byte length field can declare (sparse: nothing on the
    // disk, nothing read); damaged sealed files; content after the signature element, which
    // sign does not sign and verify reports, as it reports a FIFO as configuration.xml. An
    // output that is a symbolic link is not written through, and keygen writes no key where a
    // dangling link leads. sign refuses a package it cannot make valid: a file it cannot read,
    // two files the terminal would receive under one name, and says on which line a byte is
    // not UTF-8.
    void refusedCommands_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QByteArray>("expected");
        const auto row = [](const char *command, const char *expected) {
            QTest::newRow(command) << QByteArray(command) << QByteArray(expected);
        };
        row("seal /dev/zero configuration.xml", "/dev/zero: it is not a regular file but a "
                                                "character device");
        row("seal fifo/configuration.xml configuration.xml", "it is not a regular file but a FIFO");
        row("seal 3GB configuration.xml", "3GB: it has 3000000000 bytes, more than the 2147483584 "
                                          "bytes vardel-pack can hold");
        row("seal 5GB configuration.xml", "5GB: it has 5000000000 bytes, more than the 4294967295 "
                                          "bytes a sealed file's 4-byte length field can declare");
        row("unseal 3GB configuration.xml", "3GB: it has 3000000000 bytes, more than the "
                                            "2147483588 bytes of the largest sealed file");
        row("unseal short configuration.xml", "short is not a sealed file: it has 3 bytes, fewer");
        row("unseal ragged configuration.xml", "encrypted part of 17 bytes is not a whole number");
        row("unseal long configuration.xml", "its plain length 4369 is larger than its 16 bytes");
        row("sign configuration.xml", "the program would refuse the signed file: unsigned content");
        row("verify .", "problem: the program refuses the file: unsigned content after the sig");
        row("verify fifo",
            "configuration.xml is not a regular file but a FIFO: the program refuses");
        row("unseal sealed link", "cannot write link: it is a symbolic link (to ");
        row("seal short link", "cannot write link: it is a symbolic link (to ");
        row("keygen keys", "keys/signing-private.pem already exists: keygen never overwrites");
        row("sign latin1/configuration.xml", "not well-formed XML (line 7, column 10: Encountered "
                                             "incorrectly encoded content.)");
        row("sign missing/configuration.xml", "missing/app.bin that configuration.xml names: it "
                                              "does not exist");
        row("sign same/configuration.xml", "the program would refuse the package: package file");
        row("sign longname/configuration.xml",
            "/longname/a_file_name_far_too_long.bin\" cannot be advertised to the terminal: its name "
            "A_FILE_NAME_FAR_TOO_LONG.BIN (28 bytes) and length text 000300 exceed 28 bytes");
        row("sign entries/configuration.xml",
            "the program would refuse the package: batch 1: the expected entry "
            "\"PAIEMENT120400PAIEMENT120400PAIEMENT\" has 36 characters, more than the 28 of an "
            "entry of the terminal's application list");
    }
    void refusedCommands()
    {
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, expected);
        const QByteArray sealed = pack::seal("1234"); // 4 + 16 bytes
        static const QByteArray appended =
            fixture::withAppendedBatch(fixture::signXml(fixture::unsignedXml()));
        QFile big(path("3GB")), huge(path("5GB"));
        if (!big.open(QIODevice::WriteOnly) || !big.resize(3000000000LL) ||
            !huge.open(QIODevice::WriteOnly) || !huge.resize(5000000000LL))
            QSKIP("this file system holds no sparse files of 3 and 5 GB");
        QVERIFY(put("configuration.xml", appended) && fixture::writeFiles(path("")) &&
                put("mirandol.agn", sealed) && put("short", "abc") && put("ragged", sealed + "x") &&
                put("sealed", sealed) &&
                put("long", QByteArray(sealed).replace(2, 2, "\x11\x11")) &&
                QDir().mkpath(path("fifo")) && makeFifo("fifo/configuration.xml"));
        // Links to a file that must stay as it is, and to where no key may be written.
        QVERIFY(put("victim", "victim") && make("link"_q, "LINK:" + path("victim").toUtf8()) &&
                QDir().mkpath(path("keys")) &&
                make("keys/signing-private.pem"_q, "LINK:" + path("stolen-key").toUtf8()));
        // Packages that sign refuses.
        const QByteArray xml = fixture::unsignedXml();
        const QByteArray two("<file>a/telepar.cfg</file><file>b/TELEPAR.CFG</file>");
        for (const char *dir : {"latin1/", "missing/", "same/", "longname/", "entries/"})
            QVERIFY(fixture::writeFiles(path(dir)));
        QVERIFY(QDir().mkpath(path("same/a")) && QDir().mkpath(path("same/b")));
        QVERIFY(
            put("latin1/configuration.xml",
                QByteArray(xml).replace("<hterm>", "\n\n\n<hterm x=\"\xe9\">")) &&
            put("missing/configuration.xml", xml) && QFile::remove(path("missing/app.bin")) &&
            put("same/a/telepar.cfg", sealed) && put("same/b/TELEPAR.CFG", sealed) &&
            put("same/configuration.xml", QByteArray(xml).replace("<file>app.bin</file>", two)));
        // A file whose name the terminal cannot be told of; an entry no terminal can list.
        const QByteArray longName =
            QByteArray(xml).replace("<file>app.bin", "<file>a_file_name_far_too_long.bin");
        const QByteArray badEntry = QByteArray(xml).replace(
            "</file>", "</file><expect>PAIEMENT120400PAIEMENT120400PAIEMENT</expect>");
        QVERIFY(put("longname/a_file_name_far_too_long.bin", pack::seal(QByteArray(300, 'l'))) &&
                put("longname/configuration.xml", longName) &&
                put("entries/configuration.xml", badEntry));
        QCOMPARE(run(command.constData()), 1);
        QVERIFY2(output.contains(expected), output.constData());
        QCOMPARE(contents("longname/configuration.xml"), longName);
        QCOMPARE(contents("entries/configuration.xml"), badEntry);
        QCOMPARE(contents("configuration.xml"), appended);
        QCOMPARE(contents("victim"), QByteArray("victim"));
        QVERIFY(!QFileInfo::exists(path("stolen-key")) &&
                !QFileInfo::exists(path("keys/package.key")));
    }

    // Every step of an output is checked: a failed flush to the disk, close or rename names its
    // cause, and the target stays exactly as it was (or is not made), with no temporary file
    // left (fullDisk below has the writes fail). The steps fail through writeCalls(), the seam
    // of writeFile.
    void everyWriteStepChecked_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<QString>("when");
        QTest::newRow("flush") << 0 << "flushing it to the disk";
        QTest::newRow("close") << 1 << "closing it";
        QTest::newRow("rename") << 2 << "putting it in place";
    }
    void everyWriteStepChecked()
    {
        QFETCH(int, step);
        QFETCH(QString, when);
        pack::WriteCalls &calls = pack::writeCalls();
        const pack::WriteCalls saved = calls;
        if (step == 0)
            calls.fsync = [](int) { return errno = ENOSPC, -1; };
        if (step == 1)
            calls.close = [](int fd) { return ::close(fd), errno = ENOSPC, -1; };
        if (step == 2)
            calls.rename = [](const char *, const char *) { return errno = ENOSPC, -1; };
        QVERIFY(put("old", "the old content"));
        QString replacing, creating;
        const bool done = pack::writeFile(path("old"), "new content", replacing) ||
                          pack::writeFile(path("new"), "new content", creating);
        calls = saved;
        QVERIFY(!done);
        const QString cause = QStringLiteral("No space left on device (while ") + when;
        QCOMPARE(
            replacing,
            QStringLiteral("cannot write %1: %2; %1 is left as it was)").arg(path("old"), cause));
        QCOMPARE(creating,
                 QStringLiteral("cannot write %1: %2; no file was made)").arg(path("new"), cause));
        QCOMPARE(contents("old"), QByteArray("the old content"));
        QCOMPARE(files(), QStringList{QStringLiteral("old")});
    }

    // A key that appears while keygen works (another keygen, a package maker's copy) is never
    // replaced: keygen puts each key under its name only while the name is free, and takes
    // back the keys it wrote. The key appears here just before the last key is put in place
    // (through the write seam's flush).
    void keyAppearingMeanwhile()
    {
        static QString planted;
        planted = path("keys/signing-private.pem");
        pack::WriteCalls &calls = pack::writeCalls();
        const pack::WriteCalls saved = calls;
        calls.fsync = [](int fd) {
            if (!QFileInfo::exists(planted) && QFileInfo::exists(QFileInfo(planted).path() +
                                                                 "/signing-modulus.hex"_q))
                (void)fixture::write(planted, "the maker's own key");
            return ::fsync(fd);
        };
        QString error;
        const bool made = pack::generateKeys(path("keys"), error);
        calls = saved;
        QVERIFY(!made);
        QVERIFY2(error.contains("signing-private.pem appeared meanwhile: it is left as it is"_q),
                 qPrintable(error));
        QCOMPARE(contents("keys/signing-private.pem"), QByteArray("the maker's own key"));
        QCOMPARE(files("keys"), QStringList{"signing-private.pem"_q});
    }

    // A full file system, for real (a small tmpfs, which needs root): sign, seal, unseal and
    // keygen fail naming the cause and leave their targets exactly as they were; so does a
    // large output where some room is left, which some of its writes take.
    void fullDisk()
    {
        const QByteArray point = QFile::encodeName(path("small"));
        if (!QDir().mkpath(path("small")) ||
            ::mount("tmpfs", point.constData(), "tmpfs", 0, "size=256k") != 0)
            QSKIP(qPrintable(QStringLiteral("no small file system to fill: ") +
                             QString::fromLocal8Bit(std::strerror(errno))));
        const std::unique_ptr<const char, void (*)(const char *)> unmount(
            point.constData(), [](const char *p) { ::umount2(p, MNT_DETACH); });
        const QByteArray sealed = pack::seal(QByteArray(3000, 's'));
        QVERIFY(fixture::writeFiles(path("small/")) &&
                put("small/configuration.xml", fixture::unsignedXml()) &&
                put("small/sealed", sealed) && put("small/out", "old output") &&
                put("plain", QByteArray(1000, 'p')) && put("big", QByteArray(1 << 20, 'b')));
        const QStringList before = files("small");
        QFile filler(path("small/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        while (filler.write(QByteArray(4096, 'f')) == 4096) {
        }
        filler.close();
        for (const char *command :
             {"sign small/configuration.xml", "seal plain small/out",
              "unseal small/sealed small/out", "keygen small/keys", "-", "seal big small/out"}) {
            if (command[0] == '-') { // room for some pages, not for a 1 MiB output at once
                QVERIFY(filler.remove());
                continue;
            }
            QCOMPARE(run(command), 1);
            QVERIFY2(output.contains("No space left on device") &&
                         output.contains("(while writing"),
                     output.constData());
        }
        QCOMPARE(contents("small/configuration.xml"), fixture::unsignedXml());
        QCOMPARE(contents("small/out"), QByteArray("old output"));
        QCOMPARE(contents("small/sealed"), sealed);
        QCOMPARE(files("small"), before);
        QVERIFY(!QFileInfo::exists(path("small/keys"))); // keygen made it, and removed it
    }
};

QTEST_GUILESS_MAIN(TestPack)
#include "tst_pack.moc"
