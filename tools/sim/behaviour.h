#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <array>
#include <memory>
#include <optional>
#include <set>

class ReplyRecording; // model/report/replyrecording.h

// How the simulated terminal behaves during a run, and what it records of what it receives.
namespace sim {

// The requests the terminal knows, by the name the options use.
enum class Command
{
    Init,          // "init": short initialisation frame
    Query,         // "query": is the receiving application present?
    Release,       // "release": either frame of the release sweep
    Applications,  // "apps": 0x01, application list
    Info,          // "info": 0x02, file advertisement
    Authorization, // "auth": 0x03, download authorisation
    Load,          // "load": 0x04, download start
    Activate,      // "activate": 0x05
    Reboot,        // "reboot": 0x06
    HTerminal,     // "hterm": 0x07, hardware configuration record
    Data,          // "data": a 128-byte data block of a download
};
constexpr int kCommandCount = 11;

QString commandName(Command command);
bool commandFromName(const QString &name, Command &command);

// The terminal's answer to one data block.
enum class BlockReply
{
    Ok,
    Nok,       // ACK_NOK: send the block again
    BadCrc,    // an ACK_OK whose CRC is damaged
    BadHeader, // a reply whose byte 1 is not 0x01
    Stop,      // ACK_STOP: the download ends
    Mute,      // no answer at all
    Late,      // accepted, but acknowledged lateMs after the block has arrived
};

// The final acknowledgement of a download.
enum class FinalAck
{
    Ok,
    None,    // never sent
    BadCode, // 04 01 00
    BadCrc,  // 04 01 55 with a damaged CRC
};

// One record of the application list: byte 1 is the name's length, then the name and the
// extra characters (at most 28 bytes in all).
struct AppEntry
{
    QByteArray name;
    QByteArray extra;
};

struct Behaviour
{
    static constexpr int kRecordSize = 126;
    static constexpr int kCatalogueOffset = 10;

    Behaviour();

    // Hardware configuration record sent to getHTerminal (126 bytes, CRC added on sending).
    QByteArray record;
    void setCatalogue(quint8 a, quint8 b, quint8 c); // bytes 10, 11 and 12 of the record

    QList<AppEntry> applications;
    // What the list becomes with each accepted activation, in turn (the first activation takes
    // the first), from the restart that follows it on; an entry without a value, or none at
    // all, keeps the list as it is.
    QList<std::optional<QList<AppEntry>>> applicationsAfter;

    bool receivingApp = true; // false: the query is answered with the refusal 01 81
    bool silent = false;      // answers nothing at all

    std::set<Command> refused;    // a negative answer (see Terminal for each command)
    std::set<Command> muted;      // no answer
    std::set<Command> damaged;    // the usual answer with a damaged CRC
    std::set<Command> unaccepted; // the usual answer with byte 1 = 00 instead of 01

    // Faults of the data blocks, by the block's position in its download (0 for the first).
    // Each received block takes the first fault left for its position; a position without
    // faults left is acknowledged. So {3: [Nok, Nok]} answers the fourth block of a download
    // twice with ACK_NOK, and the faults of a position left over go to the next download.
    QMap<int, QList<BlockReply>> blockFaults;
    void addBlockFault(int position, BlockReply reply) { blockFaults[position].append(reply); }
    int lateMs = 2500;        // how late a Late block is acknowledged
    bool nokForever = false;  // every data block is answered with ACK_NOK

    // Final acknowledgements: the script is used first, one entry per finished download, then
    // finalAck for every later one.
    QList<FinalAck> finalAckScript;
    FinalAck finalAck = FinalAck::Ok;
    int finalAckDelayMs = 10;           // after the last block's acknowledgement
    bool finalAckWithLastReply = false; // sent in the same write as that acknowledgement

    // A reboot it acknowledges restarts it: it goes on answering for restartAfterMs (the second
    // reboot frame of the program comes within that time), then it is deaf for rebootSilenceMs
    // while it restarts. A reboot acknowledged meanwhile sets the restart back. With a silence
    // of 0 it never restarts: it acknowledges the reboot and carries on as before.
    int restartAfterMs = 100;
    int rebootSilenceMs = 1500;
    // The line goes dead at this received frame (0 = first): it and every later frame are
    // recorded but never answered, as if the cable had come loose. -1: never.
    int cutAtFrame = -1;

    // Every byte takes its time on a 9600-baud 8N1 line both ways. A reply is handed over in
    // pieces of pieceSize bytes, each once its last byte has crossed the line, as a serial
    // driver delivers what it has received.
    bool pace9600 = false;
    int pieceSize = 16;
    int workMs = 0;      // the terminal works this long on each frame before it answers
    bool bursts = false; // replies leave in pieces of burstSize bytes, burstGapMs apart
    int burstSize = 8;
    int burstGapMs = 20;

    // Set: the terminal plays back these recorded replies instead of the protocol, and every
    // option above but the device's is ignored.
    std::shared_ptr<const ReplyRecording> replay;
};

enum class FrameKind
{
    Short, // 2F type length payload CRC
    Block, // 32-byte block frame
    Data,  // 128-byte data block
};

struct Frame
{
    FrameKind kind = FrameKind::Block;
    Command command = Command::Init;
    QByteArray bytes;
    qint64 atMs = 0;       // since the terminal started
    bool answered = false; // a reply was scheduled
};

struct Advertisement
{
    QByteArray lengthText; // as sent: six digits, or digits and ';'
    QByteArray name;       // as sent (8-bit)
    quint32 length = 0;    // the length the text stands for
    bool accepted = false;
};

struct Download
{
    QByteArray name;
    quint32 length = 0; // announced by the advertisement
    QByteArray content; // acknowledged plain bytes, in order
    bool complete = false;
};

// What the terminal received.
struct Record
{
    QList<Frame> frames;
    QList<Advertisement> advertisements;
    QList<quint16> blockNumbers; // of every data block, resends included
    QList<Download> downloads;   // every download whose start was accepted
    QStringList anomalies;       // requests that break the protocol
    qint64 garbageBytes = 0;     // bytes that belonged to no frame
    int droppedReplies = 0;      // replies not sent because the line was closed
    // A replay: what it did, and where the frames received differ from those recorded.
    bool replayed = false;
    QStringList replayNotes;

    int count(Command command) const;
    QList<Download> completeDownloads() const;
    // A copy that shares none of the lists the engine goes on growing, nor a download's
    // content: for a reader on another thread, taken under the lock that guards this record.
    Record detached() const;
};

// A list of its own, element by element, which never shares the block of `list`. Qt grows a
// list in place once it believes no copy holds its block any more, from a look at the count of
// holders that orders nothing (a relaxed load): the last read of a copy on another thread, even
// one taken under a lock, is then not ordered before the growth, and ThreadSanitizer reports
// the two (QListData::realloc_grow against the reader). A list handed to another thread while
// its owner keeps appending to it is handed over as such a copy.
template <typename T>
QList<T> ownCopy(const QList<T> &list)
{
    QList<T> copy;
    copy.reserve(list.size());
    for (const T &item : list)
        copy.append(item);
    return copy;
}

} // namespace sim
