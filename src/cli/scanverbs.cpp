// scan and ports: finding readers, and what each COM number stands for.
#include <QJsonObject>

#include <thread>
#include <vector>

#include "cli.h"
#include "link/modelist.h"
#include "link/serialport.h"
#include "reader/readertypes.h"
#include "reader/scan.h"
#include "verb.h"

namespace cli {

namespace {

QJsonObject SettingsObject(const reader::ReaderSettings& s)
{
    QJsonObject o;
    const std::pair<const char*, const std::optional<int>*> numbers[] = {
        {"interface", &s.interfaceMode}, {"wiegand", &s.wiegand},     {"rs485", &s.rs485},
        {"cardType", &s.cardType},       {"keyNumber", &s.keyNumber}, {"keyParity", &s.keyParity},
        {"keyStatus", &s.keyStatus},     {"keyDelay", &s.keyDelay},   {"idSector", &s.idSector},
        {"idBlock", &s.idBlock},         {"idByte", &s.idByte},       {"idKeyError", &s.idKeyErr},
    };
    for (const auto& [name, value] : numbers)
        if (*value)
            o.insert(QLatin1String(name), **value);
    if (s.idKeyB)
        o.insert("idKey", *s.idKeyB ? "B" : "A");
    return o;
}

void PrintReader(Context& c, const reader::ScanResult& r, int type)
{
    const QJsonObject settings = SettingsObject(r.settings);
    QString plain = QStringLiteral("COM%1 %2 id %3 serial %4 version %5 type %6")
                        .arg(r.port)
                        .arg(r.mode, r.id, r.serial, r.version.value_or(QStringLiteral("-")))
                        .arg(type + 1);
    for (auto it = settings.begin(); it != settings.end(); ++it)
        plain += QStringLiteral(" %1 %2").arg(it.key(), it.value().isString()
                                                            ? it.value().toString()
                                                            : QString::number(it.value().toInt()));
    c.out.Result(plain, {{"port", r.port},
                         {"mode", r.mode},
                         {"id", r.id},
                         {"serial", r.serial},
                         {"version", r.version.value_or(QString())},
                         {"type", type + 1},
                         {"settings", settings}});
}

reader::ScanRequest Request(const Context& c, int type)
{
    reader::ScanRequest r;
    r.readerType = type;
    r.prefix = QString::fromLatin1(ReaderTypeFor(type).prefix.data(), 1);
    std::tie(r.storedModeIndex, r.storedMode) = ResolveMode(c);
    r.locked = c.Flag("lock");
    return r;
}

int ScanAll(Context& c, int type)
{
    std::vector<int> ports;
    if (const auto p = c.Int("port", 1, 16))
        ports.push_back(*p);
    else
        for (int p = 1; p <= 16; ++p)
            ports.push_back(p);
    std::vector<reader::ScanResult> results(ports.size());
    std::vector<std::thread> workers;
    // One worker per port, each with its own link; a port's line settings are
    // tried in the window's order.
    for (size_t i = 0; i < ports.size(); ++i) {
        workers.emplace_back([&, i] {
            reader::ScanRequest r = Request(c, type);
            r.firstPort = r.lastPort = ports[i];
            link::Link link;
            link::TrafficRecorder traffic(c.history);
            link.SetObserver(&traffic);
            reader::ScanProgress quiet;
            results[i] = reader::Scan(link, r, quiet);
        });
    }
    for (std::thread& w : workers)
        w.join();
    int found = 0;
    for (const reader::ScanResult& r : results) {
        if (!r.identified)
            continue;
        ++found;
        PrintReader(c, r, type);
    }
    if (found == 0) {
        c.out.Failure(c.Name(), QStringLiteral("no reader found"));
        return kExitReader;
    }
    return kExitOk;
}

} // namespace

int Scan(Context& c)
{
    const int type = ResolveType(c);
    if (c.Flag("all"))
        return ScanAll(c, type);
    reader::ScanRequest r = Request(c, type);
    const auto port = c.Int("port", 1, 16);
    if (port) {
        r.firstPort = r.lastPort = *port;
    } else if (c.stored.scanCommNo >= 1 && c.stored.scanCommNo <= 16) {
        r.storedPort = c.stored.scanCommNo;
    }
    link::Link link;
    link::TrafficRecorder traffic(c.history);
    link.SetObserver(&traffic);
    reader::ScanProgress quiet;
    const reader::ScanResult result = reader::Scan(link, r, quiet);
    if (!result.identified) {
        // One port searched: its last open failing means it never opened.
        if (port && link.LastOpenError() != link::OpenError::None) {
            c.out.Failure(c.Name(), QStringLiteral("cannot open COM%1").arg(*port),
                          OpenReason(link.LastOpenError()));
            return kExitPort;
        }
        c.out.Failure(c.Name(), QStringLiteral("no reader found"));
        return kExitReader;
    }
    if (c.Flag("save"))
        SaveStoredScanSettings(type, result.port, result.modeIndex, result.mode);
    PrintReader(c, result, type);
    if (!result.complete) {
        c.out.Failure(c.Name(), QStringLiteral("reader data error on COM%1").arg(result.port),
                      result.reached ? QStringLiteral("the settings were not read")
                                     : QStringLiteral("the version was not answered"));
        return kExitReader;
    }
    return kExitOk;
}

int Ports(Context& c)
{
    for (int n = 1; n <= 16; ++n) {
        const std::string path = link::PortDevicePath(n);
        link::SerialPort port;
        QString status = QStringLiteral("present");
        if (port.Open(n, kModeList[kDefaultModeIndex]))
            port.Close();
        else
            status = QString::fromLatin1(port.LastOpenError() == link::OpenError::PermissionDenied
                                             ? "not permitted"
                                             : link::OpenErrorText(port.LastOpenError()));
        c.out.Result(QStringLiteral("COM%1 %2 %3").arg(n).arg(QString::fromStdString(path), status),
                     {{"port", n}, {"path", QString::fromStdString(path)}, {"status", status}});
    }
    return kExitOk;
}

} // namespace cli
