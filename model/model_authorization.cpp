// Authorisation to download the file advertised just before.
#include "model.h"

#include "exchange.h"
#include "model/protocol/frames.h"

bool Model::getAuthorization()
{
    auto request = frame::block(frame::kCmdGetAuthorization);
    request[1] = frame::kAuthorizationAsk;
    exchange::Step step;
    step.command = QStringLiteral("getAuthorization");
    step.readWord = QStringLiteral("read");
    step.lengthWord = QStringLiteral("_length");
    step.delayMs = timing.requestDelayMs;
    step.result = frame::kResultAuthorized;
    exchange::Block reply{};
    return exchange::acknowledged(*this, request, reply, step);
}
