#include "pack.h"
#include "packagefixture.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

class TestPack : public QObject
{
    Q_OBJECT

    QScopedPointer<QTemporaryDir> tmp; // a new one for each test: the tool's working directory
    QByteArray output;                 // of the last run

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
        output = process.readAllStandardOutput() + process.readAllStandardError();
        return ended ? process.exitCode() : -1; // one still running is killed on return
    }

private slots:
    void init() { tmp.reset(new QTemporaryDir); }

    // keygen, seal and unseal, sign and verify, as a package maker goes.
    void endToEnd()
    {
        QVERIFY(run("keygen keys") == 0 && run("keygen keys") == 1); // never over existing keys
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
        QVERIFY2(run("verify p") == 0 && output.contains("the package is clean"),
                 output.constData());
    }

    void verifyProblems_data()
    {
        QTest::addColumn<QByteArray>("file"); // of the package, replaced by `data`
        QTest::addColumn<QByteArray>("data"); // null: the file removed; "FIFO": a FIFO
        QTest::addColumn<QByteArray>("expected");
        auto row = [](const char *name, const char *file, const QByteArray &data, const char *e) {
            QTest::newRow(name) << QByteArray(file) << data << QByteArray(e);
        };
        auto xml = [](const char *from, const char *to) {
            return fixture::signXml(fixture::unsignedXml().replace(from, to));
        };
        const QByteArray good = fixture::signXml(fixture::unsignedXml()), none, fifo("FIFO");
        const char *config = "configuration.xml";
        row("not well-formed", config, good.chopped(3), "not well-formed XML");
        row("no batch", config, xml("batch", "b"), "no batch");
        row("name too long", config, xml("app.bin", "abcdefghijklmnopqrs.bin"), "000300 exceed 28");
        row("package file missing", "app.bin", none, "app.bin\" is missing");
        row("package file not sealed", "app.bin", "1234567", "not a valid sealed file");
        row("only hterm too long", "hterm.bin", pack::seal(QByteArray(200, 'h')),
            "holds 200 bytes, more than the 128-byte record; the program ignores it\n"
            "no usable hardware");
        row("hterm FIFO", "hterm.bin", fifo, "not a regular file but a FIFO; the program ignores");
        // The picture's size comes from its header; beyond 4096 pixels a side the program
        // shows no picture, and does not decode it: 3.6 GB declared in about a hundred bytes.
        const char *picture = "terminal.png";
        row("picture 4096 wide", picture, fixture::png(4096, 2), ""); // a clean package
        row("picture 4097 wide", picture, fixture::png(4097, 2), "is 4097 x 2 pixels, more than");
        row("picture 4097 high", picture, fixture::png(2, 4097), "is 2 x 4097 pixels, more than");
        row("picture 30000 square", picture, fixture::pngHeader(30000, 30000),
            "is 30000 x 30000 pixels, more than the 4096 pixels a side the program shows");
        row("picture damaged", picture, fixture::pngHeader(16, 16), "is a damaged png picture");
        row("not a picture", picture, "text", "is not a picture the program can show");
        row("picture missing", picture, none, "terminal.png\" is missing");
        row("picture FIFO", picture, fifo,
            "is not a regular file but a FIFO: the program shows no picture");
    }
    // Each problem is reported; none when `expected` is empty.
    void verifyProblems()
    {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, expected);
        // The package, with an extra file that only the row "name too long" refers to.
        QVERIFY(fixture::writePackage(path("")) &&
                QFile::copy(path("app.bin"), path("abcdefghijklmnopqrs.bin")));
        QVERIFY(data == "FIFO"  ? makeFifo(file)
                : data.isNull() ? QFile::remove(path(file))
                                : put(file, data));
        const QString problems = pack::verify(tmp->path()).join(QLatin1Char('\n'));
        QVERIFY2(expected.isEmpty() ? problems.isEmpty()
                                    : problems.contains(QString::fromLatin1(expected)),
                 qPrintable(problems));
    }

    // What the commands refuse, with the real figures, leaving configuration.xml as it was: a
    // device or a FIFO (never opened: that would block for ever); files larger than the tool
    // can hold or than a sealed file's 4-byte length field can declare (sparse: nothing on the
    // disk, nothing read); damaged sealed files; content after the signature element, which
    // sign does not sign and verify reports, as it reports a FIFO as configuration.xml.
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
        QVERIFY(put("configuration.xml", appended) && put("short", "abc") &&
                put("ragged", sealed + "x") &&
                put("long", QByteArray(sealed).replace(2, 2, "\x11\x11")) &&
                QDir().mkpath(path("fifo")) && makeFifo("fifo/configuration.xml"));
        QCOMPARE(run(command.constData()), 1);
        QVERIFY2(output.contains(expected), output.constData());
        QCOMPARE(contents("configuration.xml"), appended);
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
        QVERIFY(put("small/configuration.xml", fixture::unsignedXml()) &&
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
