#include "pack.h"
#include "packagefixture.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

namespace {

using Mutation = std::function<void(const QString &dir)>;

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
}

// configuration.xml rebuilt from the unsigned text with one replacement, then signed.
Mutation xmlEdit(const QByteArray &from, const QByteArray &to)
{
    return [=](const QString &dir) {
        fixture::write(dir + QStringLiteral("configuration.xml"),
                       fixture::signXml(fixture::unsignedXml().replace(from, to)));
    };
}

// The signed configuration.xml changed afterwards.
Mutation signedEdit(const QByteArray &from, const QByteArray &to)
{
    return [=](const QString &dir) {
        const QString path = dir + QStringLiteral("configuration.xml");
        fixture::write(path, contents(path).replace(from, to));
    };
}

Mutation fileEdit(const QString &name, const QByteArray &data)
{
    return [=](const QString &dir) {
        if (data.isNull())
            QFile::remove(dir + name);
        else
            fixture::write(dir + name, data);
    };
}

QStringList words(const char *text)
{
    return QString::fromLatin1(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

} // namespace

Q_DECLARE_METATYPE(Mutation)

class TestPack : public QObject
{
    Q_OBJECT

    int run(const QStringList &arguments, QByteArray *output = nullptr)
    {
        QProcess process;
        process.start(QStringLiteral(VARDEL_PACK), arguments);
        if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
            return -1;
        if (output)
            *output = process.readAllStandardOutput() + process.readAllStandardError();
        return process.exitCode();
    }

private slots:
    void keygen()
    {
        QTemporaryDir tmp;
        const QString dir = tmp.filePath(QStringLiteral("keys"));
        QCOMPARE(run({QStringLiteral("keygen"), dir}), 0);
        const QByteArray packageKey = contents(dir + QStringLiteral("/package.key"));
        const QByteArray modulus = contents(dir + QStringLiteral("/signing-modulus.hex"));
        const QByteArray pem = contents(dir + QStringLiteral("/signing-private.pem"));
        QCOMPARE(QByteArray::fromHex(packageKey.trimmed()).size(), 16);
        QCOMPARE(QFile::permissions(dir + QStringLiteral("/signing-private.pem")),
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
                     QFileDevice::WriteUser);
        RsaPrivateKey key;
        QString error;
        QVERIFY2(pack::privateKeyFromPem(pem, key, error), qPrintable(error));
        QCOMPARE(QByteArray::fromHex(QByteArray(modulus).replace('\n', "")),
                 QByteArray(reinterpret_cast<const char *>(key.publicKey.modulus), 256));
        // Never over existing keys.
        QCOMPARE(run({QStringLiteral("keygen"), dir}), 1);
        QCOMPARE(contents(dir + QStringLiteral("/signing-private.pem")), pem);
        QCOMPARE(QDir(dir).count(), 5u); // ".", ".." and the three files
    }

    void sealRoundTrip_data()
    {
        QTest::addColumn<int>("size");
        for (int size : {0, 1, 15, 16, 17, 5000})
            QTest::addRow("%d bytes", size) << size;
    }
    void sealRoundTrip()
    {
        QFETCH(int, size);
        QTemporaryDir dir;
        QByteArray plain(size, '\0');
        for (int i = 0; i < size; ++i)
            plain[i] = char(i * 7 + 3);
        QVERIFY(fixture::write(dir.filePath(QStringLiteral("plain")), plain));
        QCOMPARE(run({QStringLiteral("seal"), dir.filePath(QStringLiteral("plain")),
                      dir.filePath(QStringLiteral("sealed"))}),
                 0);
        const QByteArray sealed = contents(dir.filePath(QStringLiteral("sealed")));
        QCOMPARE(sealed.size(), 4 + (size + 15) / 16 * 16);
        QCOMPARE(sealed.left(4).toHex(), QByteArray::number(size, 16).rightJustified(8, '0'));
        QCOMPARE(run({QStringLiteral("unseal"), dir.filePath(QStringLiteral("sealed")),
                      dir.filePath(QStringLiteral("back"))}),
                 0);
        QCOMPARE(contents(dir.filePath(QStringLiteral("back"))), plain);
    }

    void badInput_data()
    {
        QTest::addColumn<QStringList>("arguments"); // IN: the input file, OUT: the output
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("status");
        QTest::newRow("unseal 3 bytes") << words("unseal IN OUT") << QByteArray(3, 'x') << 1;
        QTest::newRow("unseal length beyond content")
            << words("unseal IN OUT") << QByteArray::fromHex("00000011") + QByteArray(16, 'x') << 1;
        QTest::newRow("seal missing input") << words("seal MISSING OUT") << QByteArray() << 1;
        QTest::newRow("sign malformed XML") << words("sign OUT") << QByteArray() << 1;
        QTest::newRow("sign with a missing key")
            << words("sign OUT --key MISSING") << QByteArray() << 1;
        QTest::newRow("sign with a non-key") << words("sign OUT --key IN") << QByteArray("x") << 1;
        QTest::newRow("no command") << words("") << QByteArray() << 2;
        QTest::newRow("unknown command") << words("pack IN") << QByteArray() << 2;
    }
    // A refused command exits non-zero and leaves its output as it was: no partial file, no
    // temporary file beside it.
    void badInput()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, input);
        QFETCH(int, status);
        QTemporaryDir dir;
        const QByteArray previous("<configuration><terminal></configuration>");
        QVERIFY(fixture::write(dir.filePath(QStringLiteral("IN")), input));
        QVERIFY(fixture::write(dir.filePath(QStringLiteral("OUT")), previous));
        for (QString &argument : arguments)
            if (argument.isUpper())
                argument = dir.filePath(argument);
        QByteArray output;
        QCOMPARE(run(arguments, &output), status);
        QVERIFY(output.startsWith("vardel-pack: "));
        QCOMPARE(contents(dir.filePath(QStringLiteral("OUT"))), previous);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 2);
    }

    void verifyProblems_data()
    {
        QTest::addColumn<Mutation>("mutation");
        QTest::addColumn<QByteArray>("expected");
        // Signed with the command, as a package maker does.
        QTest::newRow("clean") << Mutation([this](const QString &dir) {
            fixture::write(dir + QStringLiteral("configuration.xml"), fixture::unsignedXml());
            QCOMPARE(run({QStringLiteral("sign"), dir + QStringLiteral("configuration.xml")}), 0);
        }) << QByteArray("the package is clean");
        QTest::newRow("changed after signing")
            << signedEdit("Iris", "Irix")
            << QByteArray("bad signature: the signature does not match");
        QTest::newRow("missing package file") << fileEdit(QStringLiteral("app.bin"), QByteArray())
                                              << QByteArray("app.bin\" is missing");
        QTest::newRow("package file not sealed")
            << fileEdit(QStringLiteral("app.bin"), "1234567")
            << QByteArray("app.bin\" is not a valid sealed file");
        QTest::newRow("name too long") << Mutation([](const QString &dir) {
            QFile::rename(dir + QStringLiteral("app.bin"),
                          dir + QStringLiteral("abcdefghijklmnopqrs.bin"));
            xmlEdit("app.bin", "abcdefghijklmnopqrs.bin")(dir);
        }) << QByteArray("ABCDEFGHIJKLMNOPQRS.BIN and length text 000300 exceed 28");
        QTest::newRow("hterm missing")
            << fileEdit(QStringLiteral("hterm.bin"), QByteArray())
            << QByteArray("hterm.bin\" is missing; the program ignores it");
        QTest::newRow("hterm too long")
            << fileEdit(QStringLiteral("hterm.bin"), pack::seal(QByteArray(200, 'h')))
            << QByteArray("holds 200 bytes, more than the 128-byte record");
        QTest::newRow("no hterm") << xmlEdit("<hterm>hterm.bin</hterm>", "")
                                  << QByteArray("no usable hardware configuration");
        QTest::newRow("no batch") << xmlEdit("<batch id=\"1\"><file>app.bin</file></batch>", "")
                                  << QByteArray("no batch");
        QTest::newRow("picture missing") << fileEdit(QStringLiteral("terminal.png"), QByteArray())
                                         << QByteArray("terminal.png\" is missing");
        QTest::newRow("not well-formed") << signedEdit("</operation>", "</operatio>")
                                         << QByteArray("not well-formed XML (line 4");
    }
    void verifyProblems()
    {
        QFETCH(Mutation, mutation);
        QFETCH(QByteArray, expected);
        QTemporaryDir tmp;
        const QString dir = tmp.path() + QLatin1Char('/');
        QVERIFY(fixture::writePackage(dir));
        mutation(dir);
        QByteArray output;
        const bool clean = expected.contains("clean");
        QCOMPARE(run({QStringLiteral("verify"), dir}, &output), clean ? 0 : 1);
        QVERIFY2(output.contains("problem: ") != clean && output.contains(expected),
                 output.constData());
    }
};

QTEST_GUILESS_MAIN(TestPack)
#include "tst_pack.moc"
