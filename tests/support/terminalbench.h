#pragma once

#include "behaviour.h"
#include "mockbed.h"
#include "terminal.h"

#include <QStringList>

#include <memory>
#include <string>
#include <vector>

// Simulated terminals behind mocked USB serial devices, one per behaviour given: port names
// STEM<pid>_<k>, serial numbers SERIAL<k>. Ready once every one is plugged in and answering.
class TerminalBench
{
public:
    TerminalBench(const std::string &stem, const std::string &serial,
                  const std::vector<sim::Behaviour> &behaviours);
    ~TerminalBench();

    bool ready(int count) const { return int(terminals.size()) == count; }
    sim::Record record(int k) const { return terminals.at(std::size_t(k))->record(); }

    QStringList names; // the port names, in order

private:
    mockbed::Testbed bed;
    std::vector<std::unique_ptr<sim::Terminal>> terminals;
};
