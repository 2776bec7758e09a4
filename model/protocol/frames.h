#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <array>

// Byte layouts shared by every exchange with the terminal.
//
// Short frame:  2F | type | L | payload (L bytes) | CRC lo | CRC hi
// Block frame:  code | 29 parameter bytes | CRC lo | CRC hi          (32 bytes)
// Long block:   126 content bytes | CRC lo | CRC hi                   (128 bytes)
//
// The CRC is CRC-16/KERMIT (reflected 0x1021, init 0, no final XOR) over every byte before it,
// stored low byte first.
namespace frame {

constexpr quint8 kShortMarker = 0x2F; // first byte of every short frame
constexpr quint8 kTypeControl = 0xC0; // short frame type: initialise / release
constexpr quint8 kTypeQuery = 0x40;   // short frame type: receiving-application query
constexpr int kShortHeaderSize = 3;   // marker, type, payload length
constexpr int kCrcSize = 2;

constexpr int kBlockSize = 32;      // block frame and its replies
constexpr int kBlockCrcOffset = 30; // CRC covers bytes 0..29
constexpr int kLongBlockSize = 128; // hardware record reply and download data block
constexpr int kLongBlockCrcOffset = 126;

// Command codes, byte 0 of a block frame.
constexpr quint8 kCmdGetApplications = 0x01;  // list installed applications
constexpr quint8 kCmdSendInfo = 0x02;         // advertise a file (length text + name)
constexpr quint8 kCmdGetAuthorization = 0x03; // ask permission to download
constexpr quint8 kCmdLoad = 0x04;             // download start, data blocks, final acknowledgement
constexpr quint8 kCmdActivate = 0x05;         // activate the downloaded applications
constexpr quint8 kCmdReboot = 0x06;           // reboot the terminal
constexpr quint8 kCmdGetHTerminal = 0x07;     // read the hardware configuration record

// Reply bytes of an acknowledgement block: code echoed, then these.
constexpr quint8 kReplyAccepted = 0x01;    // byte 1: command accepted
constexpr quint8 kResultOk = 0x55;         // byte 2 ("U") for 0x02, 0x04, 0x05, 0x06; ACK_OK
constexpr quint8 kResultAuthorized = 0x01; // byte 2 for 0x03
constexpr quint8 kAckNok = 0x33;           // byte 2 ("3") to a data block: send it again

// Payloads of the four short frames.
constexpr std::array<quint8, 4> kInitPayload{0x00, 0x14, 0x00, 0xC8}; // initialise
constexpr std::array<quint8, 3> kQueryPayload{0x05, 0x00, 0xFF};      // receiving app present?
constexpr std::array<quint8, 4> kReleaseInitPayload{0x00, 0x14, 0x01, 0x2C}; // release, first
constexpr std::array<quint8, 3> kReleaseQueryPayload{0x05, 0x01, 0xFC};      // release, second

// Reply of the receiving application: "OK", or the refusal 01 81 at offsets 3 and 4.
constexpr quint8 kRefusal0 = 0x01;
constexpr quint8 kRefusal1 = 0x81;

// Replies and fields of the exchanges built on these frames.
constexpr int kInitReplySize = 16;         // reply buffer of the initialisation frame
constexpr int kQueryReplySize = 7;         // marker, type, 2, two payload bytes, CRC
constexpr int kReleaseReplySize = 256;     // replies of the release sweep (not examined)
constexpr quint8 kOk0 = 0x4F;              // "O" of the receiving application's "OK"
constexpr quint8 kOk1 = 0x4B;              // "K"
constexpr int kCatalogueOffset = 10;       // terminal record: catalogue code in bytes 10, 11, 12
constexpr int kHTermCatalogueOffset = 8;   // accepted configuration: the same code in bytes 8..10
constexpr int kEntryOffset = 2;            // application record: name from byte 2
constexpr int kEntryExtraChars = 6;        // characters of an entry beyond its name length
constexpr quint8 kAuthorizationAsk = 0x01; // byte 1 of the authorisation request
constexpr int kAdvertTextMax = 28;         // length text + name, bytes 2..29 of the frame
constexpr int kMaxChunk = 122;             // plain bytes in one data block
constexpr int kDataOffset = 4;             // data block: code, number (2, big-endian), chunk

quint16 crc16(const quint8 *data, int n);

// Marker, type, length, payload and CRC.
QByteArray shortFrame(quint8 type, const quint8 *payload, int length);
template<std::size_t N>
QByteArray shortFrame(quint8 type, const std::array<quint8, N> &payload)
{
    return shortFrame(type, payload.data(), static_cast<int>(N));
}

// Whether a frame the program writes is a data block of a download: the only frame of 128 bytes.
inline bool isDataBlock(const quint8 *bytes, int length)
{
    return length == kLongBlockSize && bytes[0] == kCmdLoad;
}

// A zero-filled 32-byte request with `code` in byte 0 (CRC not yet computed).
std::array<quint8, kBlockSize> block(quint8 code);

// "6 1 54 12 ab": bytes 0, 1, 2, 30 and 31 of a 32-byte reply in lower-case hex, no padding.
QString replyDump(const quint8 *reply);

} // namespace frame
