#include "pcsc.h"

#include "pcscapi.h"

#include <QLoggingCategory>
#include <QString>

#include <algorithm>
#include <cstring>

// The reader-features request of PC/SC v2; pcsc-lite defines it, winscard does not.
#ifndef CM_IOCTL_GET_FEATURE_REQUEST
#define CM_IOCTL_GET_FEATURE_REQUEST SCARD_CTL_CODE(3400)
#endif

namespace {

Q_LOGGING_CATEGORY(lcPcsc, "vardel.pcsc")

constexpr DWORD kNoProtocol = 0;
// Control code of the escape command when the reader does not name one in its feature list.
constexpr DWORD kDefaultEscapeCode = SCARD_CTL_CODE(1);
constexpr BYTE kEscapeFeatureTag = 0x13; // FEATURE_CCID_ESC_COMMAND of PC/SC v2
constexpr int kFeatureEntrySize = 6;     // tag, length (4), value (4 bytes, big-endian)
constexpr BYTE kSwitchCommand = 0x10;    // escape command: switch the reader to serial mode
constexpr DWORD kBufferSize = 256;       // vendor name, feature list, reader answers
constexpr char kBrandVendor[] = "tarvenix";

void info(const QString &text)
{
    qCInfo(lcPcsc).noquote() << text;
}

// Error codes are printed as the unsigned 32-bit values the PC/SC headers define.
unsigned hex(LONG code)
{
    return static_cast<unsigned>(code);
}

// The reader's name as the messages show it: through Latin-1, so other characters become '?'.
QString printableName(const PcscChar *reader)
{
#ifdef _WIN32
    const QString name = QString::fromWCharArray(reader);
#else
    const QString name = QString::fromUtf8(reader);
#endif
    return QString::fromLatin1(name.toLatin1());
}

char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whole-string comparison with ASCII case folding: "Tarvenix Foo" is not the brand.
bool isBrandVendor(const char *name)
{
    const char *brand = kBrandVendor;
    for (; *name && *brand; ++name, ++brand) {
        if (asciiLower(*name) != *brand)
            return false;
    }
    return *name == '\0' && *brand == '\0';
}

// First entry with the escape tag and a non-zero value; the fixed code when there is none.
DWORD escapeControlCode(const BYTE *features, DWORD length)
{
    for (DWORD at = 0; at + kFeatureEntrySize <= length; at += kFeatureEntrySize) {
        if (features[at] != kEscapeFeatureTag)
            continue;
        const DWORD value = (DWORD(features[at + 2]) << 24) | (DWORD(features[at + 3]) << 16) |
                            (DWORD(features[at + 4]) << 8) | DWORD(features[at + 5]);
        if (value != 0)
            return value;
    }
    return kDefaultEscapeCode;
}

// Everything between the connection and the disconnect of one reader.
void switchReader(const PcscApi &api, SCARDHANDLE card, const QString &name)
{
    BYTE buffer[kBufferSize] = {};
    DWORD length = kBufferSize;
    LONG result = api.getAttrib(card, SCARD_ATTR_VENDOR_NAME, buffer, &length);
    if (result != SCARD_S_SUCCESS) {
        info(QString::asprintf("Pcsc_switchToCom cannot get SCARD_ATTR_VENDOR_NAME Error : 0x%x\n",
                               hex(result)));
        return;
    }
    // A name that fills the whole buffer loses its last byte to the terminator.
    buffer[std::min(length, kBufferSize - 1)] = 0;
    if (!isBrandVendor(reinterpret_cast<const char *>(buffer))) {
        info(QStringLiteral("Pcsc_switchToCom : Not an Brovia reader\n"));
        return;
    }

    std::memset(buffer, 0, sizeof buffer);
    DWORD returned = 0;
    result =
        api.control(card, CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, buffer, kBufferSize, &returned);
    if (result != SCARD_S_SUCCESS) {
        info(QString::asprintf("Pcsc_switchToCom CM_IOCTL_GET_FEATURE_REQUEST failed : 0x%x",
                               hex(result)));
        return;
    }
    // Looked up for this reader alone: another reader's escape code is never reused.
    const DWORD escapeCode = escapeControlCode(buffer, std::min(returned, kBufferSize));

    std::memset(buffer, 0, sizeof buffer);
    returned = 0;
    const BYTE command = kSwitchCommand;
    result = api.control(card, escapeCode, &command, 1, buffer, kBufferSize, &returned);
    if (result != SCARD_S_SUCCESS)
        info(QString::asprintf("Pcsc_switchToCom SCardControl Escape command failed : 0x%x",
                               hex(result)));
    else
        info(QStringLiteral("Pcsc_switchToCom : Switched reader: ") + name);
    // The reader's answer is not looked at.
}

void tryReader(const PcscApi &api, SCARDCONTEXT context, const PcscChar *reader)
{
    const QString name = printableName(reader);
    info(QStringLiteral("Pcsc_switchToCom : Try reader: ") + name);

    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    const LONG result =
        api.connect(context, reader, SCARD_SHARE_DIRECT, kNoProtocol, &card, &protocol);
    if (result != SCARD_S_SUCCESS) {
        // Nothing is connected, so there is nothing to disconnect.
        info(QString::asprintf("Pcsc_switchToCom SCardConnect failed Error : 0x%x\n", hex(result)));
        return;
    }
    switchReader(api, card, name);
    api.disconnect(card, SCARD_LEAVE_CARD);
}

// The reader multi-string: names ended by a zero, the list ended by an empty name. `length`
// counts every character of it, so a list that lacks its terminators is not read past its end.
void tryReaders(const PcscApi &api, SCARDCONTEXT context, const PcscChar *readers, DWORD length)
{
    const PcscChar *const end = readers + length;
    const PcscChar *name = readers;
    while (name < end && *name) {
        const PcscChar *stop = name;
        while (stop < end && *stop)
            ++stop;
        if (stop == end)
            return;
        tryReader(api, context, name);
        name = stop + 1;
    }
}

} // namespace

void Pcsc_switchToCom()
{
    Pcsc_switchToCom(PcscApi::real());
}

void Pcsc_switchToCom(const PcscApi &api)
{
    SCARDCONTEXT context = 0;
    // Without a service there is no context: no reader to try and nothing to release.
    if (api.establishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
        return;

    PcscChar *readers = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    const LONG listed =
        api.listReaders(context, nullptr, reinterpret_cast<PcscChar *>(&readers), &length);
    if (listed == SCARD_S_SUCCESS && readers)
        tryReaders(api, context, readers, length);

    // Only what the service allocated is given back to it.
    if (readers)
        api.freeMemory(context, readers);
    api.releaseContext(context);
}
