#pragma once

#include <QFile>

#include "link/traffichistory.h"
#include "output.h"

namespace cli {

// Writes the traffic history's entries out as they come: on stderr with -v,
// appended to the --log file.
class TrafficPrinter
{
public:
    TrafficPrinter(Output& out, bool verbose, QFile& log) : out_(out), verbose_(verbose), log_(log)
    {
    }
    bool Wanted() const { return verbose_ || log_.isOpen(); }
    void Print(const link::TrafficEntry& e);

private:
    Output& out_;
    bool verbose_;
    QFile& log_;
};

} // namespace cli
