#pragma once

#include <QFile>
#include <QString>

#include "link/traffichistory.h"
#include "output.h"

namespace cli {

// Writes the traffic history's entries out as they come: on stderr with -v,
// appended to the --log file, which is made with the first entry.
class TrafficPrinter
{
public:
    TrafficPrinter(Output& out, bool verbose, const QString& logPath)
        : out_(out), verbose_(verbose), log_(logPath)
    {
    }
    bool Wanted() const { return verbose_ || !log_.fileName().isEmpty(); }
    void Print(const link::TrafficEntry& e);

private:
    Output& out_;
    bool verbose_;
    QFile log_;
    bool logFailed_ = false; // said once; the run goes on without it
};

} // namespace cli
