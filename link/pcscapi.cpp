#include "pcscapi.h"

const PcscApi &PcscApi::real()
{
#ifdef _WIN32
    static const PcscApi api{SCardEstablishContext, SCardListReadersW,  SCardConnectW,
                             SCardGetAttrib,        SCardControl,       SCardDisconnect,
                             SCardFreeMemory,       SCardReleaseContext};
#else
    static const PcscApi api{SCardEstablishContext, SCardListReaders,   SCardConnect,
                             SCardGetAttrib,        SCardControl,       SCardDisconnect,
                             SCardFreeMemory,       SCardReleaseContext};
#endif
    return api;
}
