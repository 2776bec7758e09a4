#include "crypto/aes.h"

#include <QTest>

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
