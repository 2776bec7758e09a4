#include "terminalbench.h"

#include <QCoreApplication>

TerminalBench::TerminalBench(const std::string &stem, const std::string &serial,
                             const std::vector<sim::Behaviour> &behaviours)
{
    const std::string base = stem + std::to_string(QCoreApplication::applicationPid());
    for (std::size_t k = 0; k < behaviours.size(); ++k) {
        mockbed::Device device;
        device.name = base + "_" + std::to_string(k);
        device.serial = serial + std::to_string(k);
        auto terminal = std::make_unique<sim::Terminal>(behaviours.at(k));
        if (!bed.add(device) || !terminal->start(bed.masterFd(device.name), true))
            return;
        names << QString::fromStdString(device.name);
        terminals.push_back(std::move(terminal));
    }
}

TerminalBench::~TerminalBench()
{
    for (auto &terminal : terminals)
        terminal->stop();
}
