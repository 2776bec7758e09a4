#pragma once

#include "model/installation/installresult.h"
#include "model/protocol/frames.h"

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
// terminal accepted; every failure writes its one log line and notes its cause in the Model.
[[nodiscard]] bool acknowledged(Model &model, Block &request, Block &reply, const Step &step);

QString errorLine(const QString &command, const QString &word);

// An exact read that ended `missing` bytes short of `wanted`: nothing at all came, or the
// reply stopped half-way.
FailureCause shortRead(quint16 missing, quint16 wanted);
// A reply whose CRC holds but whose bytes are not the acceptance: a refusal when it echoes the
// request's code, else a reply to something else.
FailureCause notAccepted(quint8 requestCode, quint8 replyCode);

} // namespace exchange
