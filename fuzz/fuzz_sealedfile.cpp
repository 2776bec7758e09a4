// The sealed-file reader on arbitrary bytes, strict and lenient.

#include "crypto/sealedfile.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray raw(reinterpret_cast<const char *>(data), int(size));
    for (bool strict : {true, false}) {
        SealedFile file;
        if (SealedFile::decode(raw, file, strict) == SealedFile::Status::Ok) {
            const QByteArray plain = file.plain();
            if (plain.size() > file.decrypted.size() ||
                (strict && quint32(plain.size()) != file.plainLength))
                __builtin_trap();
        }
    }
    return 0;
}
