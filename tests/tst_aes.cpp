#include "crypto/aes.h"
#include "crypto/sealedfile.h"
#include "sealing.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

namespace {

QByteArray decrypt(const QByteArray &key, const QByteArray &cipher)
{
    QByteArray out(cipher.size(), '\0');
    aes::decryptEcb(reinterpret_cast<const quint8 *>(key.constData()),
                    reinterpret_cast<const quint8 *>(cipher.constData()), quint32(cipher.size()),
                    reinterpret_cast<quint8 *>(out.data()));
    return out;
}

QByteArray randomBytes(QRandomGenerator &random, int n)
{
    QByteArray out(n, '\0');
    for (char &c : out)
        c = char(random.bounded(256));
    return out;
}

} // namespace

class TestAes : public QObject
{
    Q_OBJECT

private slots:
    // FIPS-197 Appendix C.1 (AES-128) and the worked example of Appendix B.
    void knownAnswers_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("plain");
        QTest::addColumn<QByteArray>("cipher");
        QTest::newRow("FIPS-197 C.1") << QByteArray::fromHex("000102030405060708090a0b0c0d0e0f")
                                      << QByteArray::fromHex("00112233445566778899aabbccddeeff")
                                      << QByteArray::fromHex("69c4e0d86a7b0430d8cdb78070b4c55a");
        QTest::newRow("FIPS-197 B") << QByteArray::fromHex("2b7e151628aed2a6abf7158809cf4f3c")
                                    << QByteArray::fromHex("3243f6a8885a308d313198a2e0370734")
                                    << QByteArray::fromHex("3925841d02dc09fbdc118597196a0b32");
    }
    void knownAnswers()
    {
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, plain);
        QFETCH(QByteArray, cipher);
        QCOMPARE(decrypt(key, cipher).toHex(), plain.toHex());
    }

    void noChaining()
    {
        const QByteArray key = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f");
        const QByteArray block = QByteArray::fromHex("69c4e0d86a7b0430d8cdb78070b4c55a");
        const QByteArray plain = QByteArray::fromHex("00112233445566778899aabbccddeeff");
        QCOMPARE(decrypt(key, block + block).toHex(), (plain + plain).toHex());
    }

    // Only whole blocks are decrypted; nothing beyond them is read or written.
    void partialLengthsStayInBounds()
    {
        const QByteArray key(16, '\x11');
        QByteArray input(20, '\x42');
        QByteArray output(24, '\x7E');
        aes::decryptEcb(reinterpret_cast<const quint8 *>(key.constData()),
                        reinterpret_cast<const quint8 *>(input.constData()), 20,
                        reinterpret_cast<quint8 *>(output.data()));
        QCOMPARE(output.mid(16), QByteArray(8, '\x7E'));
        QVERIFY(output.left(16) != QByteArray(16, '\x7E'));

        QByteArray untouched(16, '\x7E');
        aes::decryptEcb(reinterpret_cast<const quint8 *>(key.constData()),
                        reinterpret_cast<const quint8 *>(input.constData()), 0,
                        reinterpret_cast<quint8 *>(untouched.data()));
        aes::decryptEcb(reinterpret_cast<const quint8 *>(key.constData()),
                        reinterpret_cast<const quint8 *>(input.constData()), 15,
                        reinterpret_cast<quint8 *>(untouched.data()));
        QCOMPARE(untouched, QByteArray(16, '\x7E'));
    }

    void randomBuffersAgainstOpenSsl()
    {
        const quint32 seed = QRandomGenerator::global()->generate();
        qInfo("seed %u", seed);
        QRandomGenerator random(seed);
        for (int round = 0; round < 50; ++round) {
            const QByteArray key = randomBytes(random, 16);
            const QByteArray plain = randomBytes(random, 16 * int(random.bounded(1, 64)));
            QCOMPARE(decrypt(key, sealing::encryptEcb(key, plain)).toHex(), plain.toHex());
        }
    }

    // Each call keeps its own key schedule and state, so decryptions may overlap.
    void concurrentCallsDoNotInterfere()
    {
        QRandomGenerator random(7);
        const QByteArray plainA = randomBytes(random, 64 * 1024);
        const QByteArray plainB = randomBytes(random, 64 * 1024);
        const QByteArray keyA = randomBytes(random, 16);
        const QByteArray keyB = randomBytes(random, 16);
        const QByteArray cipherA = sealing::encryptEcb(keyA, plainA);
        const QByteArray cipherB = sealing::encryptEcb(keyB, plainB);
        bool okA = true;
        bool okB = true;
        std::thread a([&] {
            for (int i = 0; i < 20; ++i)
                okA = okA && decrypt(keyA, cipherA) == plainA;
        });
        std::thread b([&] {
            for (int i = 0; i < 20; ++i)
                okB = okB && decrypt(keyB, cipherB) == plainB;
        });
        a.join();
        b.join();
        QVERIFY(okA);
        QVERIFY(okB);
    }

    void sealedFileDecoding()
    {
        SealedFile file;
        const QByteArray five("ABCDE");
        QCOMPARE(SealedFile::decode(sealing::seal(five), file, true), SealedFile::Status::Ok);
        QCOMPARE(file.plainLength, 5u);
        QCOMPARE(file.decrypted.size(), 16);
        QCOMPARE(file.plain(), five);

        // Empty content: a header and no block at all.
        QCOMPARE(SealedFile::decode(sealing::seal(QByteArray()), file, true),
                 SealedFile::Status::Ok);
        QCOMPARE(file.plain(), QByteArray());

        QCOMPARE(SealedFile::decode(QByteArray("\0\0\0", 3), file, false),
                 SealedFile::Status::TooShort);
        QCOMPARE(SealedFile::decode(sealing::seal(five).left(19), file, false),
                 SealedFile::Status::NotWholeBlocks);

        // A length beyond the content: an error when strict, all the content otherwise.
        const QByteArray tooLong = sealing::sealAnnouncing(five, 40);
        QCOMPARE(SealedFile::decode(tooLong, file, true), SealedFile::Status::LengthExceedsContent);
        QCOMPARE(SealedFile::decode(tooLong, file, false), SealedFile::Status::Ok);
        QCOMPARE(file.plain(), five + QByteArray(11, '\0'));
    }

    void sealedFileOnDisk()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("app.bin"));
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(sealing::seal(QByteArray(1000, 'z')));
        out.close();

        quint32 length = 0;
        QCOMPARE(SealedFile::readHeader(path, length), SealedFile::Status::Ok);
        QCOMPARE(length, 1000u);
        SealedFile file;
        QCOMPARE(SealedFile::read(path, file, true), SealedFile::Status::Ok);
        QCOMPARE(file.plain(), QByteArray(1000, 'z'));

        QCOMPARE(SealedFile::readHeader(dir.filePath(QStringLiteral("missing")), length),
                 SealedFile::Status::Unreadable);
        QCOMPARE(SealedFile::read(dir.filePath(QStringLiteral("missing")), file, true),
                 SealedFile::Status::Unreadable);
    }
};

QTEST_GUILESS_MAIN(TestAes)
#include "tst_aes.moc"
