#include "crypto/sealedfile.h"
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

    QString path(const char *name) const { return tmp->filePath(QLatin1String(name)); }
    bool put(const char *name, const QByteArray &data) { return fixture::write(path(name), data); }
    QByteArray contents(const char *name) const
    {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
    }
    QByteArray output; // of the last run
    // Runs vardel-pack with the words of `command` as its arguments; -1 when it has not ended
    // within `timeoutMs` (it is then killed) or crashed.
    int run(const char *command, int timeoutMs = 120000)
    {
        QProcess process;
        process.setWorkingDirectory(tmp->path());
        process.start(QStringLiteral(VARDEL_PACK),
                      QString::fromLatin1(command).split(QLatin1Char(' '), Qt::SkipEmptyParts));
        if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit) {
            process.kill();
            process.waitForFinished();
            output = "<no end>";
            return -1;
        }
        output = process.readAllStandardOutput() + process.readAllStandardError();
        return process.exitCode();
    }
    bool makeFifo(const QByteArray &name) const
    {
        QFile::remove(path(name.constData()));
        return ::mkfifo(QFile::encodeName(path(name.constData())).constData(), 0600) == 0;
    }
    // Every file in `dir`, hidden ones included: what a failed command may have left.
    QStringList files(const char *dir = "") const
    {
        return QDir(path(dir)).entryList(QDir::Files | QDir::Hidden | QDir::System);
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
        row("picture too large", "terminal.png", fixture::pngHeader(30000, 30000),
            "is 30000 x 30000 pixels, more than the 4096 pixels a side the program shows");
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

    // A batch added after the signature is a problem, and sign refuses to sign a file that
    // would carry it, leaving the file as it was. A FIFO anywhere in a package is a problem
    // too, found at once (one that was opened would block for ever); seal refuses one.
    void refusedPackages_data()
    {
        QTest::addColumn<QByteArray>("fifo"); // the file made a FIFO; empty: the batch added
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("appended batch") << QByteArray()
                                        << QByteArray("problem: the program refuses the file: "
                                                      "unsigned content after the signature "
                                                      "element, at byte offset ");
        QTest::newRow("configuration.xml FIFO")
            << QByteArray("configuration.xml")
            << QByteArray("configuration.xml is not a regular file but a FIFO: the program "
                          "refuses it");
        QTest::newRow("hterm FIFO") << QByteArray("hterm.bin")
                                    << QByteArray("is not a regular file but a FIFO; the program "
                                                  "ignores it");
        QTest::newRow("package file FIFO")
            << QByteArray("app.bin") << QByteArray("app.bin\" is not a regular file but a FIFO");
        QTest::newRow("picture FIFO") << QByteArray("terminal.png")
                                      << QByteArray("terminal.png\" is not a regular file but a "
                                                    "FIFO: the program shows no picture");
    }
    void refusedPackages()
    {
        QFETCH(QByteArray, fifo);
        QFETCH(QByteArray, expected);
        QVERIFY(fixture::writePackage(path("p/")));
        const QByteArray tampered = fixture::withAppendedBatch(contents("p/configuration.xml"));
        QVERIFY(fifo.isEmpty() ? put("p/configuration.xml", tampered) : makeFifo("p/" + fifo));
        QCOMPARE(run("verify p", 20000), 1);
        QVERIFY2(output.contains(expected), output.constData());
        if (fifo.isEmpty()) {
            QCOMPARE(run("sign p/configuration.xml"), 1);
            QVERIFY2(output.contains("the program would refuse the signed file: unsigned content"),
                     output.constData());
            QCOMPARE(contents("p/configuration.xml"), tampered);
        } else {
            QCOMPARE(run(("seal p/" + fifo + " out").constData(), 20000), 1);
            QVERIFY2(output.contains("it is not a regular file but a FIFO"), output.constData());
        }
    }

    // What seal and unseal refuse, with the real figures: a device, a file larger than the
    // 4-byte length field can declare, one larger than the tool can hold (sparse files, of
    // which nothing is on the disk and nothing is read), damaged sealed files. The output
    // stays as it was.
    void sizesAndFigures_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QByteArray>("expected");
        const auto row = [](const char *command, const char *expected) {
            QTest::newRow(command) << QByteArray(command) << QByteArray(expected);
        };
        row("seal /dev/zero out",
            "cannot seal /dev/zero: it is not a regular file but a character device");
        row("seal 3GB out", "cannot seal 3GB: it has 3000000000 bytes, more than the 2147483584 "
                            "bytes vardel-pack can hold");
        row("seal 5GB out", "cannot seal 5GB: it has 5000000000 bytes, more than the 4294967295 "
                            "bytes a sealed file's 4-byte length field can declare");
        row("unseal 3GB out", "cannot unseal 3GB: it has 3000000000 bytes, more than the "
                              "2147483588 bytes of the largest sealed file vardel-pack can hold");
        row("unseal short out", "short is not a sealed file: it has 3 bytes, fewer than a sealed "
                                "file's 4-byte header");
        row("unseal ragged out", "its encrypted part of 17 bytes is not a whole number of 16-byte "
                                 "blocks");
        row("unseal long out", "its plain length 4369 is larger than its 16 bytes of content");
    }
    void sizesAndFigures()
    {
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, expected);
        const QByteArray sealed = pack::seal("1234"); // 4 + 16 bytes
        QFile big(path("3GB")), huge(path("5GB"));
        if (!big.open(QIODevice::WriteOnly) || !big.resize(3000000000LL) ||
            !huge.open(QIODevice::WriteOnly) || !huge.resize(5000000000LL))
            QSKIP("this file system holds no sparse files of 3 and 5 GB");
        QVERIFY(put("out", "previous") && put("short", "abc") && put("ragged", sealed + "x") &&
                put("long", QByteArray(sealed).replace(2, 2, "\x11\x11")));
        QCOMPARE(run(command.constData()), 1);
        QVERIFY2(output.contains(expected), output.constData());
        QCOMPARE(contents("out"), QByteArray("previous"));
    }

    // Every step of an output is checked: a failed write, flush to the disk, close or rename
    // names its cause, and the target stays exactly as it was (or is not made), with no
    // temporary file left. The steps fail through writeCalls(), the seam of writeFile.
    void everyWriteStepChecked_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<QString>("when");
        QTest::newRow("write") << 0 << "writing";
        QTest::newRow("second write") << 1 << "writing";
        QTest::newRow("flush") << 2 << "flushing it to the disk";
        QTest::newRow("close") << 3 << "closing it";
        QTest::newRow("rename") << 4 << "putting it in place";
    }
    void everyWriteStepChecked()
    {
        QFETCH(int, step);
        QFETCH(QString, when);
        static bool wrote;
        wrote = false;
        const pack::WriteCalls saved = pack::writeCalls();
        pack::WriteCalls &calls = pack::writeCalls();
        if (step == 0)
            calls.write = [](int, const void *, size_t) -> ssize_t { return errno = ENOSPC, -1; };
        if (step == 1) // 5 bytes go, then the disk is full
            calls.write = [](int fd, const void *data, size_t) -> ssize_t {
                return std::exchange(wrote, true) ? (errno = ENOSPC, -1) : ::write(fd, data, 5);
            };
        if (step == 2)
            calls.fsync = [](int) { return errno = ENOSPC, -1; };
        if (step == 3)
            calls.close = [](int fd) { return ::close(fd), errno = ENOSPC, -1; };
        if (step == 4)
            calls.rename = [](const char *, const char *) { return errno = ENOSPC, -1; };
        QVERIFY(put("old", "the old content"));
        QString replacing, creating;
        const bool done = pack::writeFile(path("old"), "new content", replacing) ||
                          pack::writeFile(path("new"), "new content", creating);
        pack::writeCalls() = saved;
        QVERIFY(!done);
        const QString cause = QStringLiteral("No space left on device (while ") + when;
        QCOMPARE(replacing, QStringLiteral("cannot write %1: %2; %1 is left as it was)")
                                .arg(path("old"), cause));
        QCOMPARE(creating, QStringLiteral("cannot write %1: %2; no file was made)")
                               .arg(path("new"), cause));
        QCOMPARE(contents("old"), QByteArray("the old content"));
        QCOMPARE(files(), QStringList{QStringLiteral("old")});
    }

    // A full file system, for real (a small tmpfs, which needs root; the seam above covers the
    // same checks everywhere): sign, seal, unseal and keygen fail naming the cause and leave
    // their targets exactly as they were; so does a large output where some room is left.
    void fullDisk()
    {
        QVERIFY(QDir().mkpath(path("small")));
        const QByteArray point = QFile::encodeName(path("small"));
        if (::mount("tmpfs", point.constData(), "tmpfs", 0, "size=256k") != 0)
            QSKIP(qPrintable(QStringLiteral("no small file system to fill: ") +
                             QString::fromLocal8Bit(std::strerror(errno))));
        const std::unique_ptr<const char, void (*)(const char *)> unmount(
            point.constData(), [](const char *p) { ::umount2(p, MNT_DETACH); });
        const QByteArray sealed = pack::seal(QByteArray(3000, 's'));
        QVERIFY(put("small/configuration.xml", fixture::unsignedXml()) &&
                put("small/sealed", sealed) && put("small/out", "old output") &&
                put("plain", QByteArray(1000, 'p')) && put("big", QByteArray(1 << 20, 'b')));
        QFile filler(path("small/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        while (filler.write(QByteArray(4096, 'f')) == 4096) {
        }
        filler.close();
        const QStringList before = files("small");
        for (const char *command : {"sign small/configuration.xml", "seal plain small/out",
                                    "unseal small/sealed small/out", "keygen small/keys", "-",
                                    "seal big small/out"}) {
            if (command[0] == '-') { // room for some pages, not for a 1 MiB output at once
                QVERIFY(filler.remove());
                continue;
            }
            QCOMPARE(run(command), 1);
            QVERIFY2(output.contains("No space left on device") && output.contains("(while writing"),
                     output.constData());
        }
        QCOMPARE(contents("small/configuration.xml"), fixture::unsignedXml());
        QCOMPARE(contents("small/out"), QByteArray("old output"));
        QCOMPARE(contents("small/sealed"), sealed);
        QStringList left = before;
        left.removeOne(QStringLiteral("filler"));
        QCOMPARE(files("small"), left);
        QVERIFY(!QFileInfo::exists(path("small/keys"))); // keygen made it, and removed it
    }
};

QTEST_GUILESS_MAIN(TestPack)
#include "tst_pack.moc"
