#include "rsa.h"

namespace {

constexpr int kStateIdle = 0;
constexpr int kStateReady = 2;

// The initialisation state, one per thread: a check that brackets its dispatch with
// rsaInit(2) and rsaFinal() on one thread can never be disturbed by another thread's rsaFinal()
// in between. Everything else an operation uses lives on the caller's stack.
thread_local int state = kStateIdle;

} // namespace

quint32 rsaInit(int level)
{
    if (level != kStateReady)
        return kRsaFailure;
    state = kStateReady;
    return kRsaOk;
}

quint32 rsaFinal()
{
    state = kStateIdle;
    return kRsaOk;
}

quint32 rsaDispatch(quint8 type, quint8 mode, RsaParameters *parameters, const void *key)
{
    if (state != kStateReady)
        return kRsaNotInitialised;
    if (type != kRsaTypeRaw || !parameters || !key)
        return kRsaFailure;
    switch (mode) {
    case kRsaModePrivate:
        return rsaPrivateBlock(parameters->output, &parameters->outputLength, parameters->input,
                               parameters->inputLength, static_cast<const RsaPrivateKey *>(key));
    case kRsaModePublic:
        // A private record starts with the public one.
        return rsaPublicBlock(parameters->output, &parameters->outputLength, parameters->input,
                              parameters->inputLength, static_cast<const RsaPublicKey *>(key));
    default:
        return kRsaFailure;
    }
}
