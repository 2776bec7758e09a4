// ThreadSanitizer builds only: the copies that Qt Core makes of a buffer of ours, made visible.
//
// tsan.supp has the detector ignore every call Qt Core makes into the C library
// (called_from_lib:libQt5Core.so.5): Qt moves its own data between threads under locks the
// detector cannot see, in functions Debian's build leaves unnamed. The price would be that a
// QByteArray or a QString built from a buffer that another thread is writing goes unreported:
// the read is Qt's memcpy. So every program of ours, in this build, takes Qt's entry points that
// copy a caller's bytes through here first: each tells the detector which bytes it is about to
// read, then lets Qt do the copy. Qt calls its own entry points directly (its library is linked
// with -Bsymbolic-functions), so only the copies our code asks for are watched.
//
// The functions are defined by their mangled names, without Qt's headers (a program of ours
// need not link Qt), with the Itanium C++ ABI's calling conventions: `this` first, and a class
// returned by value through a hidden pointer that the function also returns. Their signatures
// are those of Qt 5.15's headers (qbytearray.h, qstring.h).
#include <dlfcn.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" void __tsan_read_range(const void *address, unsigned long size);

namespace {

// Qt's own definition of `symbol`, found past this program's.
void *qtDefinition(const char *symbol)
{
    void *found = ::dlsym(RTLD_NEXT, symbol);
    if (!found) {
        std::fprintf(stderr, "qtcopies: Qt Core has no %s\n", symbol);
        std::abort();
    }
    return found;
}

// The bytes a (data, size) pair stands for: a negative size means up to the terminating zero.
void read(const char *data, int size)
{
    if (!data)
        return;
    const unsigned long length = size < 0 ? std::strlen(data) : static_cast<unsigned long>(size);
    if (length > 0)
        __tsan_read_range(data, length);
}

} // namespace

extern "C" {

// QByteArray::QByteArray(const char *data, int size)
void vardelQByteArrayFromData(void *self, const char *data, int size)
    __asm__("_ZN10QByteArrayC1EPKci");
void vardelQByteArrayFromData(void *self, const char *data, int size)
{
    using Qt = void (*)(void *, const char *, int);
    static const Qt qt = reinterpret_cast<Qt>(qtDefinition("_ZN10QByteArrayC1EPKci"));
    read(data, size);
    qt(self, data, size);
}

// QByteArray &QByteArray::append(const char *data, int size)
void *vardelQByteArrayAppend(void *self, const char *data, int size)
    __asm__("_ZN10QByteArray6appendEPKci");
void *vardelQByteArrayAppend(void *self, const char *data, int size)
{
    using Qt = void *(*)(void *, const char *, int);
    static const Qt qt = reinterpret_cast<Qt>(qtDefinition("_ZN10QByteArray6appendEPKci"));
    read(data, size);
    return qt(self, data, size);
}

// QString QString::fromUtf8_helper(const char *data, int size), behind QString::fromUtf8()
void *vardelQStringFromUtf8(void *result, const char *data, int size)
    __asm__("_ZN7QString15fromUtf8_helperEPKci");
void *vardelQStringFromUtf8(void *result, const char *data, int size)
{
    using Qt = void *(*)(void *, const char *, int);
    static const Qt qt = reinterpret_cast<Qt>(qtDefinition("_ZN7QString15fromUtf8_helperEPKci"));
    read(data, size);
    return qt(result, data, size);
}

// QString::Data *QString::fromLatin1_helper(const char *data, int size), behind
// QString::fromLatin1() and QString(QLatin1String): it returns the string's block itself.
void *vardelQStringFromLatin1(const char *data, int size)
    __asm__("_ZN7QString17fromLatin1_helperEPKci");
void *vardelQStringFromLatin1(const char *data, int size)
{
    using Qt = void *(*)(const char *, int);
    static const Qt qt =
        reinterpret_cast<Qt>(qtDefinition("_ZN7QString17fromLatin1_helperEPKci"));
    read(data, size);
    return qt(data, size);
}

} // extern "C"
