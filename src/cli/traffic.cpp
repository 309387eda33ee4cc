#include "traffic.h"

namespace cli {

void TrafficPrinter::Print(const link::TrafficEntry& e)
{
    const QString line = link::EntryLine(e);
    if (verbose_)
        out_.Traffic(line);
    if (log_.fileName().isEmpty())
        return;
    if (!log_.isOpen() && !log_.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    log_.write(ControlsEscaped(line).toUtf8() + '\n');
    log_.flush();
}

} // namespace cli
