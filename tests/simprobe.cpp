// A small client for the vardel-sim tests: it runs the session and the transfer commands of a
// Model against the first serial port it sees, and says by its exit status how far it got.
#include "config/records.h"
#include "link/serialport.h"
#include "model/model.h"
#include "testseam.h"

#include <QCoreApplication>
#include <QSerialPortInfo>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const auto ports = QSerialPortInfo::availablePorts();
    if (ports.isEmpty() || ports.first().manufacturer() != QLatin1String("Tarvenix"))
        return 10;
    Model model(nullptr);
    Model::Timing timing;
    timing.hterminalDelayMs = 10;
    TestSeam::setTiming(model, timing);
    if (!model.getSerialPort()->open(SerialPort::labelFor(ports.first())))
        return 11;
    if (!model.initializeTerminal())
        return 12;
    if (!model.isVardelOnTerminal())
        return 13;
    if (!model.getHTerminal())
        return 14;
    const QStringList files = application.arguments().mid(1);
    for (const QString &path : files) {
        Application file(path);
        bool skipped = false;
        if (!model.sendInfo(&file, skipped) || skipped)
            return 15;
        if (!model.getAuthorization())
            return 16;
        if (!model.load(&file))
            return 17;
    }
    (void)model.rebootTerminal();
    model.getSerialPort()->close();
    return 0;
}
