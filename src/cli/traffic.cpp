#include "traffic.h"

namespace cli {

void TrafficPrinter::Print(const link::TrafficEntry& e)
{
    const QString line = link::EntryLine(e);
    if (verbose_)
        out_.Traffic(line);
    if (log_.fileName().isEmpty() || logFailed_)
        return;
    // The traffic holds the keys sent: the log is the user's alone, as a dump is.
    constexpr auto kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    if (!log_.isOpen() && log_.open(QIODevice::WriteOnly | QIODevice::Append, kOwnerOnly))
        log_.setPermissions(kOwnerOnly);
    const QByteArray bytes = ControlsEscaped(line).toUtf8() + '\n';
    if (!log_.isOpen() || log_.write(bytes) != bytes.size() || !log_.flush()) {
        logFailed_ = true;
        out_.Warning(QStringLiteral("cannot write the traffic log %1: %2")
                         .arg(log_.fileName(), log_.errorString()));
    }
}

} // namespace cli
