// The cryptography of the program against OpenSSL doing the same work in the same run: the
// configuration signature check, the RSA-2048 private-key operation (what vardel-pack signs
// with) and the AES-128-ECB decryption of 16 MiB. With --short: 1 MiB, and each figure over a
// twentieth of the time; the results are compared with OpenSSL's all the same.

#include "benchmode.h"
#include "config/signature.h"
#include "crypto/aes.h"
#include "crypto/keys.h"
#include "crypto/rsa.h"
#include "pack.h"

#include <QElapsedTimer>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

namespace {

using PkeyContext = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

// Seconds per call, over enough calls to last about `budget` seconds.
double timePerCall(const std::function<void()> &call, double budget = 1.0)
{
    call(); // warm up
    QElapsedTimer timer;
    timer.start();
    long calls = 0;
    do {
        call();
        ++calls;
    } while (timer.nsecsElapsed() < qint64(budget * 1e9));
    return double(timer.nsecsElapsed()) / 1e9 / double(calls);
}

void report(const char *what, double ours, double openssl)
{
    std::printf("%-34s vardel %10.1f us   OpenSSL %10.1f us   ratio %6.1f\n", what, ours * 1e6,
                openssl * 1e6, ours / openssl);
}

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

} // namespace

int main(int argc, char *argv[])
{
    bool shortRun = false;
    if (!bench::parseMode(argc, argv, shortRun))
        return 2;
    const double budget = shortRun ? 0.05 : 1.0; // seconds of calls per figure
    QByteArray pem;
    QString error;
    RsaPrivateKey key;
    if (!pack::readFile(QStringLiteral(VARDEL_SIGNING_PRIVATE_KEY), pem, error) ||
        !pack::privateKeyFromPem(pem, key, error)) {
        std::fprintf(stderr, "bench_crypto: %s\n", qUtf8Printable(error));
        return 1;
    }
    BIO *bio = BIO_new_mem_buf(pem.constData(), pem.size());
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(
        PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr), EVP_PKEY_free);
    BIO_free(bio);

    // A configuration file of a realistic size (about 4 KiB), signed.
    QByteArray xml("<?xml version=\"1.0\"?>\n<configuration>\n");
    for (int i = 0; i < 60; ++i)
        xml += "  <batch id=\"" + QByteArray::number(i) + "\"><file sha256=\"" +
               QByteArray(64, 'a') + "\">app" + QByteArray::number(i) + ".bin</file></batch>\n";
    QString signatureText;
    if (!pack::signatureText(xml, key, signatureText)) {
        std::fprintf(stderr, "bench_crypto: the private-key operation failed\n");
        return 1;
    }
    const QByteArray file =
        xml + "<signature>" + signatureText.toLatin1() + "</signature>\n</configuration>\n";
    const QString text = signature::extractText(file);
    RsaPublicKey publicKey;
    signature::builtInKey(publicKey);
    std::printf("signed configuration: %d bytes\n", file.size());

    // 1. The signature check: SHA-256 of the region, Base64, public operation, comparison.
    bool ok = true;
    const double oursCheck = timePerCall(
        [&] { ok = ok && signature::check(file, text, publicKey) == signature::Verdict::Valid; },
        budget);
    PkeyContext verify(EVP_PKEY_CTX_new(pkey.get(), nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY_verify_recover_init(verify.get());
    EVP_PKEY_CTX_set_rsa_padding(verify.get(), RSA_NO_PADDING);
    const double sslCheck = timePerCall(
        [&] {
            const QByteArray region = signature::signedRegion(file);
            unsigned char digest[32];
            EVP_Digest(region.constData(), size_t(region.size()), digest, nullptr, EVP_sha256(),
                       nullptr);
            unsigned char value[258];
            const QByteArray ascii = text.toLatin1();
            ok = ok && EVP_DecodeBlock(value, bytes(ascii), ascii.size()) == 258;
            unsigned char recovered[256];
            size_t size = sizeof recovered;
            ok = ok && EVP_PKEY_verify_recover(verify.get(), recovered, &size, value, 256) == 1 &&
                 std::memcmp(recovered + 224, digest, 32) == 0 && recovered[1] == 1;
        },
        budget);
    report("signature check", oursCheck, sslCheck);

    // 2. The raw private-key operation on a type-1 block.
    const QByteArray block = signature::block(signature::signedRegion(file));
    QByteArray ours(256, '\0');
    QByteArray theirs(256, '\0');
    const double oursPrivate = timePerCall(
        [&] {
            RsaParameters p{reinterpret_cast<const quint8 *>(block.constData()), 256,
                            reinterpret_cast<quint8 *>(ours.data()), 0};
            rsaInit(2);
            ok = ok && rsaDispatch(kRsaTypeRaw, kRsaModePrivate, &p, &key) == kRsaOk;
            rsaFinal();
        },
        budget);
    PkeyContext decrypt(EVP_PKEY_CTX_new(pkey.get(), nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY_decrypt_init(decrypt.get());
    EVP_PKEY_CTX_set_rsa_padding(decrypt.get(), RSA_NO_PADDING);
    const double sslPrivate = timePerCall(
        [&] {
            size_t size = 256;
            ok = ok &&
                 EVP_PKEY_decrypt(decrypt.get(), reinterpret_cast<unsigned char *>(theirs.data()),
                                  &size, bytes(block), 256) == 1;
        },
        budget);
    ok = ok && ours == theirs;
    report("RSA-2048 private operation (CRT)", oursPrivate, sslPrivate);

    // 3. AES-128-ECB decryption of 16 MiB (1 MiB in a short run) under the package key.
    const int sizeMiB = shortRun ? 1 : 16;
    const int size = sizeMiB * 1024 * 1024;
    QByteArray cipher(size, '\0');
    for (int i = 0; i < size; ++i)
        cipher[i] = char(i * 131 + (i >> 9));
    QByteArray plainOurs(size, '\0');
    QByteArray plainSsl(size, '\0');
    const double oursAes = timePerCall(
        [&] {
            decryptBuffer(reinterpret_cast<const quint8 *>(cipher.constData()), quint32(size),
                          reinterpret_cast<quint8 *>(plainOurs.data()));
        },
        2 * budget);
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> aes(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    const double sslAes = timePerCall(
        [&] {
            int written = 0;
            EVP_DecryptInit_ex(aes.get(), EVP_aes_128_ecb(), nullptr, keys::kPackageKey.data(),
                               nullptr);
            EVP_CIPHER_CTX_set_padding(aes.get(), 0);
            EVP_DecryptUpdate(aes.get(), reinterpret_cast<unsigned char *>(plainSsl.data()),
                              &written, bytes(cipher), size);
        },
        2 * budget);
    ok = ok && plainOurs == plainSsl;
    char aesWhat[40];
    std::snprintf(aesWhat, sizeof aesWhat, "AES-128-ECB decryption, %d MiB", sizeMiB);
    report(aesWhat, oursAes, sslAes);
    std::printf("%-34s vardel %10.1f MiB/s OpenSSL %10.1f MiB/s\n", "  throughput",
                sizeMiB / oursAes, sizeMiB / sslAes);

    if (!ok) {
        std::fprintf(stderr, "bench_crypto: results differ from OpenSSL's\n");
        return 1;
    }
    return 0;
}
