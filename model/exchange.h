#pragma once

#include "frames.h"

#include <QString>

#include <array>

class Model;

// The acknowledged block exchange that most commands share: a 32-byte request, then a 32-byte
// reply read whole, checked for its CRC and its bytes 0 to 2.
namespace exchange {

using Block = std::array<quint8, frame::kBlockSize>;

struct Step
{
    QString command;      // "sendInfo": each failure is logged as command + " Erreur " + word
    QString readWord;     // logged when the exact read fails
    QString lengthWord;   // logged when the read reports no byte
    int delayMs = 0;      // before the write
    int afterWriteMs = 0; // between the write and the read
    quint8 result = frame::kResultOk; // expected byte 2 (byte 0 echoes the code, byte 1 is 0x01)
    bool clearOnSuccess = true;       // clearInput once the reply is accepted
};

// Finishes `request` (CRC), sends it and judges the reply left in `reply`. Returns whether the
// terminal accepted; every failure writes its one log line.
[[nodiscard]] bool acknowledged(Model &model, Block &request, Block &reply, const Step &step);

QString errorLine(const QString &command, const QString &word);

} // namespace exchange
