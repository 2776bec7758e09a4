#include "model.h"

#include "link/pcsc.h"
#include "link/pcscapi.h"
#include "link/serialport.h"

#include <QThread>

std::atomic<bool> Model::firstSearch{true};

void Model::searchTerminals()
{
    log(QStringLiteral("Démarrage de la recherche de terminal"));

    // Only the first search of the run switches the card readers; every later one pauses first.
    // The flag is taken here rather than at the end: the signal below may start the next search
    // before this one returns, and that search must not switch the readers again.
    if (firstSearch.exchange(false))
        Pcsc_switchToCom(pcscApi ? *pcscApi : PcscApi::real());
    else
        QThread::msleep(static_cast<unsigned long>(timing.searchPauseMs));

    if (serialPort->detectTerminals())
        emit terminalsFound();
    else
        emit terminalsFailed();
}
