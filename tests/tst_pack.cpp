#include "pack.h"
#include "packagefixture.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class TestPack : public QObject
{
    Q_OBJECT

    QScopedPointer<QTemporaryDir> tmp; // a new one for each test: the tool's working directory

    QString path(const char *name) const { return tmp->filePath(QLatin1String(name)); }
    bool put(const char *name, const QByteArray &data) { return fixture::write(path(name), data); }
    QByteArray contents(const char *name) const
    {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
    }
    QByteArray output; // of the last run
    // Runs vardel-pack with the words of `command` as its arguments.
    int run(const char *command)
    {
        QProcess process;
        process.setWorkingDirectory(tmp->path());
        process.start(QStringLiteral(VARDEL_PACK),
                      QString::fromLatin1(command).split(QLatin1Char(' '), Qt::SkipEmptyParts));
        if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
            return -1;
        output = process.readAllStandardOutput() + process.readAllStandardError();
        return process.exitCode();
    }

private slots:
    void init() { tmp.reset(new QTemporaryDir); }

    // keygen, seal and unseal, sign and verify, as a package maker goes.
    void endToEnd()
    {
        QCOMPARE(run("keygen keys"), 0);
        QCOMPARE(run("keygen keys"), 1); // never over existing keys
        RsaPrivateKey key;
        QString error;
        QVERIFY(pack::privateKeyFromPem(contents("keys/signing-private.pem"), key, error));
        QCOMPARE(QByteArray::fromHex(contents("keys/signing-modulus.hex")),
                 QByteArray(reinterpret_cast<const char *>(key.publicKey.modulus), 256));
        QVERIFY(fixture::writePackage(path("p/")));
        QVERIFY(put("plain", fixture::unsignedXml()));
        QCOMPARE(run("seal plain p/app.bin"), 0);
        QCOMPARE(run("unseal p/app.bin back"), 0);
        QCOMPARE(contents("back"), fixture::unsignedXml());
        // Signed with the new key, only a program built with that key accepts the package.
        QVERIFY(put("p/configuration.xml", fixture::unsignedXml()));
        QCOMPARE(run("sign p/configuration.xml --key keys/signing-private.pem"), 0);
        QCOMPARE(run("verify p"), 1);
        QVERIFY2(output.contains("problem: bad signature"), output.constData());
        QCOMPARE(run("sign p/configuration.xml"), 0);
        QCOMPARE(run("verify p"), 0);
        QVERIFY2(output.contains("the package is clean"), output.constData());
    }

    // A refused command exits non-zero and leaves its output as it was: no partial file, no
    // temporary file beside it.
    void failuresLeaveOutputs()
    {
        const QByteArray previous("<configuration><terminal></configuration>");
        QVERIFY(put("out", previous) && put("in", pack::seal("1234").replace(3, 1, "\x11")));
        QCOMPARE(run("unseal in out"), 1); // a plain length beyond the content
        QCOMPARE(run("sign out"), 1);      // not well-formed
        QCOMPARE(contents("out"), previous);
        QCOMPARE(QDir(tmp->path()).entryList(QDir::Files).size(), 2);
    }

    void verifyProblems_data()
    {
        QTest::addColumn<QByteArray>("file"); // in the package, replaced by `data` (null: removed)
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("expected");
        auto row = [](const char *name, const char *file, const QByteArray &data, const char *e) {
            QTest::newRow(name) << QByteArray(file) << data << QByteArray(e);
        };
        auto xml = [](const char *from, const char *to) {
            return fixture::signXml(fixture::unsignedXml().replace(from, to));
        };
        const QByteArray good = fixture::signXml(fixture::unsignedXml()), none;
        const char *config = "configuration.xml";
        row("changed after signing", config, QByteArray(good).replace("Iris", "Irix"), "not match");
        row("not well-formed", config, good.chopped(3), "not well-formed XML");
        row("no hterm", config, xml("hterm", "h"), "no usable hardware");
        row("no batch", config, xml("batch", "b"), "no batch");
        row("name too long", config, xml("app.bin", "abcdefghijklmnopqrs.bin"), "000300 exceed 28");
        row("package file missing", "app.bin", none, "app.bin\" is missing");
        row("package file not sealed", "app.bin", "1234567", "not a valid sealed file");
        row("hterm missing", "hterm.bin", none, "hterm.bin\" is missing");
        row("hterm too long", "hterm.bin", pack::seal(QByteArray(200, 'h')), "holds 200 bytes");
        row("only hterm ignored", "hterm.bin", pack::seal(QByteArray(200, 'h')),
            "no usable hardware");
        row("picture missing", "terminal.png", none, "terminal.png\" is missing");
    }
    // Each problem is reported.
    void verifyProblems()
    {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, expected);
        // The package, with an extra file that only the row "name too long" refers to.
        QVERIFY(fixture::writePackage(path("")) &&
                QFile::copy(path("app.bin"), path("abcdefghijklmnopqrs.bin")));
        QVERIFY(data.isNull() ? QFile::remove(path(file.constData()))
                              : put(file.constData(), data));
        const QString problems = pack::verify(tmp->path()).join(QLatin1Char('\n'));
        QVERIFY2(problems.contains(QString::fromLatin1(expected)), qPrintable(problems));
    }
};

QTEST_GUILESS_MAIN(TestPack)
#include "tst_pack.moc"
