#include "crypto/aes.h"

#include <QRandomGenerator>
#include <QTest>

#include <openssl/evp.h>

#include <thread>

// Sealed files made with OpenSSL and read by the program check the cipher on longer data in the
// configuration and transfer tests.
class TestAes : public QObject
{
    Q_OBJECT

    // aes::decryptEcb over all of `cipher`, into `room` bytes of 0x7E (by default as many).
    static QByteArray decrypt(const QByteArray &key, const QByteArray &cipher, int room = -1)
    {
        QByteArray out(room < 0 ? cipher.size() : room, '\x7E');
        aes::decryptEcb(reinterpret_cast<const quint8 *>(key.constData()),
                        reinterpret_cast<const quint8 *>(cipher.constData()),
                        quint32(cipher.size()), reinterpret_cast<quint8 *>(out.data()));
        return out;
    }

private slots:
    // FIPS-197 C.1, the ciphertext block twice: no chaining between blocks.
    void knownAnswer()
    {
        const QByteArray key = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f");
        const QByteArray block = QByteArray::fromHex("69c4e0d86a7b0430d8cdb78070b4c55a");
        QCOMPARE(decrypt(key, block + block).toHex(),
                 QByteArray("00112233445566778899aabbccddeeff").repeated(2));
    }

    // Random keys and buffers enciphered by OpenSSL, deciphered on two threads at once: each
    // call keeps its own key schedule and state.
    void againstOpenSsl()
    {
        const quint32 seed = QRandomGenerator::global()->generate();
        qInfo("seed %u", seed);
        QRandomGenerator random(seed);
        const auto randomBytes = [&random](int n) {
            QByteArray b(n, '\0');
            for (char &c : b)
                c = char(random.bounded(256));
            return b;
        };
        QList<QByteArray> keys, plains, ciphers;
        for (int i = 0; i < 40; ++i) {
            keys << randomBytes(16);
            plains << randomBytes(16 * int(random.bounded(1, 256)));
            QByteArray cipher(plains.last().size(), '\0');
            int written = 0;
            EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
            EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr,
                               reinterpret_cast<const unsigned char *>(keys.last().constData()),
                               nullptr);
            EVP_CIPHER_CTX_set_padding(ctx, 0);
            EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char *>(cipher.data()), &written,
                              reinterpret_cast<const unsigned char *>(plains.last().constData()),
                              cipher.size());
            EVP_CIPHER_CTX_free(ctx);
            ciphers << cipher;
        }
        int wrong[2] = {0, 0};
        const auto check = [&](int parity) {
            for (int i = parity; i < keys.size(); i += 2)
                wrong[parity] += decrypt(keys[i], ciphers[i]) != plains[i];
        };
        std::thread other(check, 1);
        check(0);
        other.join();
        QCOMPARE(wrong[0] + wrong[1], 0);
    }

    // Only whole blocks are decrypted; nothing beyond them is read (each input is a buffer of
    // exactly its length) or written.
    void partialLengthsStayInBounds()
    {
        const QByteArray key(16, '\x11');
        const QByteArray input(31, '\x42');
        const QByteArray block = decrypt(key, input.left(16));
        for (int length : {0, 15, 20, 31})
            QCOMPARE(decrypt(key, input.left(length), 32).toHex(),
                     (length < 16 ? QByteArray() : block).leftJustified(32, '\x7E').toHex());
    }
};

QTEST_GUILESS_MAIN(TestAes)
#include "tst_aes.moc"
