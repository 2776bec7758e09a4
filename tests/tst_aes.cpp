#include "crypto/aes.h"
#include "sealing.h"

#include <QRandomGenerator>
#include <QTest>

#include <thread>

// Sealed files made with OpenSSL and read by the program check the cipher on longer data in the
// configuration and transfer tests.
class TestAes : public QObject
{
    Q_OBJECT

private slots:
    // Random keys and buffers enciphered by OpenSSL, deciphered on two threads at once: each
    // call keeps its own key schedule and state. A tail short of a block is neither deciphered
    // nor read (each input is a buffer of exactly its length) nor written.
    void againstOpenSsl()
    {
        const quint32 seed = QRandomGenerator::global()->generate();
        qInfo("seed %u", seed);
        QRandomGenerator random(seed);
        const auto randomBytes = [&random](int n) {
            QByteArray b(n, '\0');
            random.fillRange(reinterpret_cast<quint32 *>(b.data()), n / 4);
            return b;
        };
        QList<QByteArray> keys, plains, ciphers;
        for (int i = 0; i < 40; ++i) {
            keys << randomBytes(16);
            plains << randomBytes(i < 4 ? 0 : 16 * int(random.bounded(1, 256)));
            ciphers << sealing::encrypt(keys[i], plains[i]) + QByteArray(i * 5 % 16, '\x42');
            ciphers[i].squeeze(); // no spare room behind it: a read beyond is seen
        }
        int wrong[2] = {0, 0};
        const auto check = [&](int parity) {
            for (int i = parity; i < keys.size(); i += 2) {
                QByteArray out(ciphers[i].size(), '\x7E');
                aes::decryptEcb(reinterpret_cast<const quint8 *>(keys[i].constData()),
                                reinterpret_cast<const quint8 *>(ciphers[i].constData()),
                                quint32(out.size()), reinterpret_cast<quint8 *>(out.data()));
                wrong[parity] += out != plains[i].leftJustified(out.size(), '\x7E');
            }
        };
        std::thread other(check, 1);
        check(0);
        other.join();
        QCOMPARE(wrong[0] + wrong[1], 0);
    }
};

QTEST_GUILESS_MAIN(TestAes)
#include "tst_aes.moc"
