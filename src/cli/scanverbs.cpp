// scan and ports: finding readers, and what each COM number stands for.
#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <atomic>
#include <exception>

#include <thread>
#include <vector>

#include <sys/stat.h>

#include "cli.h"
#include "link/devices.h"
#include "link/interrupt.h"
#include "link/modelist.h"
#include "link/portwatch.h"
#include "link/serialport.h"
#include "link/transport.h"
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

void PrintReader(Context& c, const reader::ScanResult& r, int type,
                 const std::vector<int>& ports = {})
{
    const QJsonObject settings = SettingsObject(r.settings);
    const std::vector<int> names = ports.empty() ? std::vector<int>{r.port} : ports;
    QString plain = QStringLiteral("%1 %2 id %3 serial %4 version %5 type %6")
                        .arg(PortsText(names), r.mode, ReaderText(r.id), ReaderText(r.serial),
                             ReaderText(r.version.value_or(QStringLiteral("-"))))
                        .arg(type + 1);
    for (auto it = settings.begin(); it != settings.end(); ++it)
        plain += QStringLiteral(" %1 %2").arg(it.key(), it.value().isString()
                                                            ? it.value().toString()
                                                            : QString::number(it.value().toInt()));
    if (r.modeFixed)
        plain += QStringLiteral(" (line setting fixed by the server)");
    QJsonObject o{{"port", PortJson(r.port)},
                  {"mode", r.mode},
                  {"id", r.id},
                  {"serial", r.serial},
                  {"version", r.version.value_or(QString())},
                  {"type", type + 1},
                  {"settings", settings}};
    if (names.size() > 1) {
        QJsonArray all;
        for (int p : names)
            all.append(p);
        o.insert("ports", all);
    }
    if (r.modeFixed)
        o.insert("modeFixed", true);
    c.out.Result(plain, o);
}

// Why a reader was found but not read completely.
QString DataErrorReason(const reader::ScanResult& r)
{
    if (r.settingsOpenError != link::OpenError::None)
        return QStringLiteral("%1 did not open again for its settings: %2")
            .arg(PortLabel(r.port), OpenReason(r.settingsOpenError, r.port));
    return r.reached ? QStringLiteral("the settings were not read")
                     : QStringLiteral("the version was not answered");
}

void PrintDataError(Context& c, const reader::ScanResult& r)
{
    c.out.Failure(c.Name(), QStringLiteral("reader data error on %1").arg(PortLabel(r.port)),
                  DataErrorReason(r), {{"port", PortJson(r.port)}});
}

// No reader: where ports were refused, which and what to do, since that is
// the one cause the user can mend; the ports of one cause together, the cause
// said once. Without any port, that the machine has none.
QString RefusedReason(const std::vector<std::pair<int, link::OpenError>>& refused, bool anyPort)
{
    if (!anyPort)
        return QStringLiteral("no COM port exists on this machine; 'tesmora-cli ports' lists "
                              "what each number stands for");
    // A cause is its reason with what the port said (the host a certificate
    // does not match); its text comes from the first port of the group.
    struct Cause
    {
        link::OpenError error;
        std::string detail;
        std::vector<int> ports;
    };
    std::vector<Cause> causes;
    for (const auto& [port, error] : refused) {
        const std::string detail = link::OpenDetail(port);
        auto it = std::find_if(causes.begin(), causes.end(), [&](const Cause& cause) {
            return cause.error == error && cause.detail == detail;
        });
        if (it == causes.end())
            it = causes.insert(causes.end(), {error, detail, {}});
        it->ports.push_back(port);
    }
    QStringList parts;
    for (const Cause& cause : causes) {
        QStringList ports;
        for (int p : cause.ports)
            ports << PortLabel(p);
        parts << ports.join(QStringLiteral(", ")) + ' ' + OpenReason(cause.error, cause.ports[0]);
    }
    return parts.join(QStringLiteral("; "));
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

// The scan's progress on the terminal: the port and line setting tried.
class TerminalProgress final : public reader::ScanProgress
{
public:
    explicit TerminalProgress(Output& out) : out_(out) {}
    void ModeSelected(int index) override { mode_ = index; }
    void PortTried(int port) override
    {
        out_.Progress(QStringLiteral("scan: %1 at %2 ...")
                          .arg(PortLabel(port), QLatin1String(kModeList[size_t(mode_)])));
    }

private:
    Output& out_;
    int mode_ = kDefaultModeIndex;
};

// What a device is, whatever its COM numbers.
struct Device
{
    std::vector<int> ports; // ascending; the first one is probed
    reader::ScanResult result;
    link::OpenError openError = link::OpenError::None;
    QString failure; // a worker that could not run its port says why
};

std::vector<Device> Devices(const std::vector<int>& ports)
{
    std::vector<Device> devices;
    for (std::vector<int>& group : DevicePorts(ports))
        devices.push_back(Device{std::move(group), {}, {}, {}});
    return devices;
}

// One reader reached through two URLs of one host (two accepters of one
// device) is one reader: listed once, with both.
void MergeSameReader(std::vector<Device>& devices)
{
    for (size_t i = 0; i < devices.size(); ++i) {
        const auto url = link::ParsePortUrl(link::PortDevicePath(devices[i].ports.front()));
        if (!url || !devices[i].result.identified)
            continue;
        for (size_t j = i + 1; j < devices.size();) {
            const reader::ScanResult& a = devices[i].result;
            const reader::ScanResult& b = devices[j].result;
            const auto other = link::ParsePortUrl(link::PortDevicePath(devices[j].ports.front()));
            if (other && other->host == url->host && b.identified && a.serial == b.serial &&
                a.id == b.id) {
                devices[i].ports.insert(devices[i].ports.end(), devices[j].ports.begin(),
                                        devices[j].ports.end());
                devices.erase(devices.begin() + static_cast<long>(j));
            } else {
                ++j;
            }
        }
    }
}

int ScanAll(Context& c, int type)
{
    // Everything is checked before any worker starts: a usage error is reported
    // once, and nothing has been sent.
    if (c.Flag("save"))
        throw UsageError{QStringLiteral("--save and --all do not go together: which reader "
                                        "would be remembered?")};
    const reader::ScanRequest request = Request(c, type);
    std::vector<int> ports;
    const auto given = c.Port();
    if (given)
        ports.push_back(*given);
    else
        for (int p = 1; p <= 16; ++p)
            ports.push_back(p);
    std::vector<Device> devices = Devices(ports);

    // One worker per local device, each with its own link; a port's line
    // settings are tried in the window's order. The network ports of one host
    // are tried one after the other by one worker: two of its URLs may lead to
    // one device, and its server turns the second away as busy while the
    // first is open. Nothing may escape a worker.
    std::vector<std::vector<Device*>> turns;
    std::vector<std::pair<std::string, size_t>> hosts; // a host, its turn
    for (Device& d : devices) {
        const auto url = link::ParsePortUrl(link::PortDevicePath(d.ports.front()));
        const auto same = std::find_if(hosts.begin(), hosts.end(),
                                       [&](const auto& h) { return url && h.first == url->host; });
        if (same != hosts.end()) {
            turns[same->second].push_back(&d);
            continue;
        }
        if (url)
            hosts.emplace_back(url->host, turns.size());
        turns.push_back({&d});
    }
    std::atomic<int> done{0};
    std::vector<std::thread> workers;
    for (const std::vector<Device*>& turn : turns) {
        workers.emplace_back([&] {
            for (Device* each : turn) {
                Device& d = *each;
                try {
                    reader::ScanRequest r = request;
                    r.firstPort = r.lastPort = d.ports.front();
                    link::TrafficRecorder traffic(c.history);
                    link::Link link;
                    link.SetObserver(&traffic);
                    reader::ScanProgress quiet;
                    d.result = reader::Scan(link, r, quiet);
                    d.openError = link.LastOpenError();
                } catch (const std::exception& e) {
                    d.failure = QString::fromLocal8Bit(e.what());
                } catch (...) {
                    d.failure = QStringLiteral("the port's scan failed");
                }
                c.out.Progress(
                    QStringLiteral("scan: %1 of %2 ports done").arg(++done).arg(devices.size()));
            }
        });
    }
    for (std::thread& w : workers)
        w.join();
    if (link::StopRequested())
        return Interrupted(c);
    MergeSameReader(devices);

    int found = 0;
    int code = kExitOk;
    std::vector<std::pair<int, link::OpenError>> refused;
    for (const Device& d : devices) {
        const reader::ScanResult& r = d.result;
        if (!d.failure.isEmpty()) {
            c.out.Failure(c.Name(), QStringLiteral("cannot scan %1").arg(PortsText(d.ports)),
                          d.failure, {{"port", PortJson(d.ports.front())}});
            code = kExitReader;
        } else if (r.identified) {
            ++found;
            PrintReader(c, r, type, d.ports);
            if (!r.complete) {
                PrintDataError(c, r);
                code = kExitReader;
            }
        } else if (ReportNotOpened(c, d.ports, d.openError)) {
            // Said, without changing the outcome of the scan.
            refused.insert(refused.end(), r.refused.begin(), r.refused.end());
            if (given)
                return kExitPort;
        } else if (given && d.openError == link::OpenError::Missing) {
            c.out.Failure(c.Name(), QStringLiteral("cannot open %1").arg(PortLabel(*given)),
                          OpenReason(d.openError, *given));
            return kExitPort;
        }
    }
    if (found == 0) {
        const bool anyPort = std::any_of(devices.begin(), devices.end(), [](const Device& d) {
            return d.openError != link::OpenError::Missing;
        });
        c.out.Failure(c.Name(), QStringLiteral("no reader found"), RefusedReason(refused, anyPort));
        return kExitReader;
    }
    return code;
}

} // namespace

std::vector<std::vector<int>> DevicePorts(const std::vector<int>& ports)
{
    std::vector<std::vector<int>> groups;
    std::vector<std::pair<dev_t, size_t>> seen;       // a character device's number, its group
    std::vector<std::pair<std::string, size_t>> urls; // a port URL, its group
    for (int port : ports) {
        struct stat st
        {
        };
        const std::string path = link::PortDevicePath(port);
        if (link::LooksLikePortUrl(path)) {
            const auto same = std::find_if(urls.begin(), urls.end(),
                                           [&](const auto& u) { return u.first == path; });
            if (same != urls.end()) {
                groups[same->second].push_back(port);
                continue;
            }
            urls.emplace_back(path, groups.size());
        }
        if (!path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
            const auto same = std::find_if(seen.begin(), seen.end(),
                                           [&](const auto& s) { return s.first == st.st_rdev; });
            if (same != seen.end()) {
                groups[same->second].push_back(port);
                continue;
            }
            seen.emplace_back(st.st_rdev, groups.size());
        }
        groups.push_back({port});
    }
    return groups;
}

QString PortsText(const std::vector<int>& ports)
{
    QString text = PortLabel(ports.front());
    QStringList also;
    for (size_t i = 1; i < ports.size(); ++i)
        also << PortLabel(ports[i]);
    if (!also.isEmpty())
        text += QStringLiteral(" (also %1)").arg(also.join(QStringLiteral(", ")));
    return text;
}

bool ReportNotOpened(Context& c, const std::vector<int>& ports, link::OpenError error)
{
    if (error == link::OpenError::None || error == link::OpenError::Missing)
        return false;
    c.out.Failure(c.Name(), QStringLiteral("cannot open %1").arg(PortsText(ports)),
                  OpenReason(error, ports.front()), {{"port", PortJson(ports.front())}});
    return true;
}

int Scan(Context& c)
{
    const int type = ResolveType(c);
    if (c.Flag("all") && c.Flag("wait"))
        throw UsageError{QStringLiteral("--wait and --all do not go together: --wait scans the "
                                        "one device plugged in")};
    if (c.Flag("all"))
        return ScanAll(c, type);
    reader::ScanRequest r = Request(c, type);
    const auto port = c.Port();
    if (port) {
        r.firstPort = r.lastPort = *port;
    } else if (c.stored.scanCommNo >= 1 && c.stored.scanCommNo <= 16) {
        r.storedPort = c.stored.scanCommNo;
    }
    // Watching from before the scan: a device plugged in during it is not missed.
    Waiting waiting(c, port);
    link::TrafficRecorder traffic(c.history);
    link::Link link;
    link.SetObserver(&traffic);
    TerminalProgress progress(c.out);
    reader::ScanResult result = reader::Scan(link, r, progress);
    // --wait: each device plugged in meanwhile is scanned, until one has a
    // reader or the time is up.
    while (!result.identified && !link::StopRequested()) {
        const int came = waiting.Next(c);
        if (came == 0)
            break;
        reader::ScanRequest plugged = r;
        plugged.storedPort = 0;
        plugged.firstPort = plugged.lastPort = came;
        result = reader::Scan(link, plugged, progress);
    }
    if (link::StopRequested())
        return Interrupted(c);
    if (!result.identified && c.Flag("wait")) {
        c.out.Failure(c.Name(), QStringLiteral("no reader found"),
                      QStringLiteral("no device with a reader was plugged in%1 within %2 s")
                          .arg(port ? QStringLiteral(" on ") + PortLabel(*port) : QString())
                          .arg(c.p.value(QStringLiteral("wait"))));
        return kExitReader;
    }
    if (!result.identified) {
        // One port searched: its last open failing means it never opened.
        if (port && link.LastOpenError() != link::OpenError::None) {
            c.out.Failure(c.Name(), QStringLiteral("cannot open %1").arg(PortLabel(*port)),
                          OpenReason(link.LastOpenError(), *port));
            return kExitPort;
        }
        c.out.Failure(c.Name(), QStringLiteral("no reader found"),
                      RefusedReason(result.refused, result.anyPort));
        return kExitReader;
    }
    if (c.Flag("save"))
        SaveStoredScanSettings(type, result.port, result.modeIndex, result.mode);
    PrintReader(c, result, type);
    if (!result.complete) {
        PrintDataError(c, result);
        return kExitReader;
    }
    return kExitOk;
}

QJsonObject UsbJson(const link::UsbIdentity& usb)
{
    QJsonObject o;
    const std::pair<const char*, const std::string*> fields[] = {
        {"vendor", &usb.vendor}, {"product", &usb.product},
        {"serial", &usb.serial}, {"manufacturer", &usb.manufacturer},
        {"name", &usb.name},
    };
    for (const auto& [key, value] : fields)
        if (!value->empty())
            o.insert(QLatin1String(key), QString::fromStdString(*value));
    return o;
}

namespace {

// [Ports] lines that pin each USB adapter there now to its COM number by its
// by-id name, which stays when adapters come up in another order. One on no
// COM number gets the first number that has neither a device nor an entry.
int SuggestPorts(Context& c)
{
    std::vector<std::pair<int, link::DeviceInfo>> pinned;
    std::vector<link::DeviceInfo> unnumbered;
    for (link::DeviceInfo& d : link::PresentDevices()) {
        if (d.byId.empty())
            continue;
        const bool seen = std::any_of(pinned.begin(), pinned.end(),
                                      [&](const auto& p) { return p.second.rdev == d.rdev; });
        if (seen)
            continue;
        if (d.port != 0)
            pinned.emplace_back(d.port, d);
        else
            unnumbered.push_back(d);
    }
    const StoredPortMap entries = LoadStoredPortMap();
    for (const link::DeviceInfo& d : unnumbered) {
        for (int n = 1; n <= 16; ++n) {
            struct stat st
            {
            };
            const std::string path = link::PortDevicePath(n);
            const bool taken = std::any_of(pinned.begin(), pinned.end(),
                                           [n](const auto& p) { return p.first == n; });
            const bool entry = entries.paths.count(n) != 0 || entries.refused.count(n) != 0;
            if (!taken && !entry && ::stat(path.c_str(), &st) != 0) {
                pinned.emplace_back(n, d);
                c.out.Info(QStringLiteral("%1 has no COM number: given COM%2, free")
                               .arg(ReaderText(QString::fromStdString(d.device)))
                               .arg(n));
                break;
            }
        }
    }
    if (pinned.empty()) {
        c.out.Info(QStringLiteral("no USB serial adapter with a by-id name is plugged in"));
        return kExitOk;
    }
    std::sort(pinned.begin(), pinned.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    if (!c.out.json)
        c.out.Result(QStringLiteral("[Ports]"), {});
    for (const auto& [n, d] : pinned) {
        const QString byId = QString::fromStdString(d.byId);
        c.out.Result(QStringLiteral("COM%1=%2").arg(n).arg(byId),
                     {{"port", n}, {"byId", byId}, {"device", QString::fromStdString(d.device)}});
    }
    return kExitOk;
}

} // namespace

int Ports(Context& c)
{
    if (c.Flag("suggest"))
        return SuggestPorts(c);
    for (int n = 1; n <= 16; ++n) {
        const std::string path = link::PortDevicePath(n);
        QString status = QStringLiteral("missing");
        QString hint;
        link::OpenError e = link::OpenError::Missing;
        if (!path.empty()) {
            const auto port = link::MakeTransport(path);
            if (port->OpenPath(path, kModeList[kDefaultModeIndex])) {
                status = QString::fromStdString(port->ReachableText());
                port->Close();
                e = link::OpenError::None;
            } else {
                e = port->LastOpenError();
                link::SetOpenDetail(n, port->LastOpenDetail());
            }
        } else if (!link::PortEntryRefusal(n).empty()) {
            e = link::OpenError::BadEntry;
        }
        if (e != link::OpenError::None) {
            // the words scan uses
            status = QString::fromStdString(link::OpenErrorLine(e, link::OpenDetail(n)));
            hint = OpenHint(e, n);
        }
        QJsonObject o{{"port", n}, {"path", QString::fromStdString(path)}, {"status", status}};
        QString plain =
            QStringLiteral("COM%1 %2 %3")
                .arg(n)
                .arg(path.empty() ? QStringLiteral("-") : QString::fromStdString(path), status);
        if (!hint.isEmpty()) {
            o.insert("hint", hint);
            plain += QStringLiteral(" (%1)").arg(hint);
        }
        // What a USB adapter is, so that two of a kind are told apart.
        if (!path.empty() && !link::LooksLikePortUrl(path)) {
            const link::DeviceInfo d = link::DescribeDevice(path);
            if (d.usb.Known())
                o.insert("usb", UsbJson(d.usb));
            if (!d.byId.empty())
                o.insert("byId", QString::fromStdString(d.byId));
            if (const std::string what = link::DeviceText(d); !what.empty())
                plain += QStringLiteral(": ") + ReaderText(QString::fromStdString(what));
        }
        c.out.Result(plain, o);
    }
    return kExitOk;
}

} // namespace cli
