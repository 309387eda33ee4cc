#include "cli.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "link/link.h"
#include "link/modelist.h"
#include "link/payload.h"
#include "link/serialport.h"
#include "link/traffichistory.h"
#include "mifare/accessbits.h"
#include "mifare/blocks.h"
#include "mifare/operations.h"
#include "reader/cardreading.h"
#include "reader/configuration.h"
#include "reader/readertypes.h"
#include "reader/scan.h"
#include "settings.h"

namespace {

using link::Addressee;

std::atomic<bool> gInterrupted{false};

void OnInterrupt(int)
{
    gInterrupted = true;
}

// A usage error: reported, exit 2, nothing sent.
struct UsageError
{
    QString message;
};

// Everything written to stdout and stderr goes through here, one line at a
// time, so that the port workers of a scan over every port never interleave.
class Output
{
public:
    bool json = false;

    void Result(const QString& plain, const QJsonObject& object)
    {
        Write(stdout, json ? Json(object) : plain);
    }
    void Failure(const QString& verb, const QString& error, const QString& reason = {})
    {
        if (json) {
            QJsonObject o{{"verb", verb}, {"error", error}};
            if (!reason.isEmpty())
                o.insert("reason", reason);
            Write(stdout, Json(o));
        } else {
            Write(stderr, QStringLiteral("tesmora-cli: %1: %2%3")
                              .arg(verb, error, reason.isEmpty() ? QString() : ": " + reason));
        }
    }
    void Traffic(const QString& line) { Write(stderr, line); }

private:
    static QString Json(const QJsonObject& o)
    {
        return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
    }
    void Write(FILE* to, const QString& line)
    {
        std::lock_guard<std::mutex> lock(mu_);
        const QByteArray bytes = line.toUtf8() + '\n';
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), to);
        std::fflush(to);
    }
    std::mutex mu_;
};

QString OpenReason(link::OpenError error)
{
    QString reason = QString::fromLatin1(link::OpenErrorText(error));
    if (error == link::OpenError::Busy)
        reason += QStringLiteral(" (held by another program)");
    if (error == link::OpenError::PermissionDenied)
        reason += QStringLiteral(" (add the account to the dialout group: adduser $USER dialout,"
                                 " then log in again)");
    return reason;
}

// --- options -------------------------------------------------------------------

struct OptionDef
{
    const char* name;
    const char* valueName; // nullptr: a flag
    const char* help;
};

const OptionDef kOptions[] = {
    {"port", "N", "COM number 1-16 (default: the stored port)"},
    {"mode", "IDX", "line setting 0-13, see tesmora-cli --help (default: the stored one)"},
    {"type", "N", "reader type 1-8 (default: the stored one)"},
    {"id", "NN", "the reader's ID (default: asked of the reader, as the scan does)"},
    {"json", nullptr, "one JSON object per line"},
    {"verbose", nullptr, "the traffic on stderr"},
    {"log", "FILE", "the traffic appended to FILE, one entry a line"},
    {"save", nullptr, "remember the port, line setting and type found"},
    {"lock", nullptr, "try only the stored or given line setting on each port"},
    {"all", nullptr, "every reader on every port, the ports probed at the same time"},
    {"two-way", nullptr, "two-way reading"},
    {"count", "N", "stop after N cards or keys"},
    {"seconds", "S", "stop after S seconds"},
    {"sector", "S", "sector 0-39"},
    {"block", "B", "block 0-3 of the sector"},
    {"byte", "N", "byte 0-31 of the block"},
    {"key-error", "IDX", "key error signal: 0 none, 1 LED, 2 beep, 3 beep and LED"},
    {"key", "HEX12", "the key, 12 hexadecimal digits"},
    {"use-key-b", nullptr, "the key is key B (default key A)"},
    {"data", "HEX32", "the block, 32 hexadecimal digits"},
    {"new-key-a", "HEX12", "the trailer's new key A"},
    {"new-key-b", "HEX12", "the trailer's new key B"},
    {"access", "HEX8", "the trailer's access bits, 8 hexadecimal digits"},
    {"help", nullptr, "this help"},
    {"version", nullptr, "the version"},
};

const std::vector<const char*> kCommonOptions = {"port", "mode",    "type", "id",
                                                 "json", "verbose", "log",  "help"};

QCommandLineOption MakeOption(const OptionDef& d)
{
    QStringList names{QString::fromLatin1(d.name)};
    if (QLatin1String(d.name) == QLatin1String("verbose"))
        names.prepend(QStringLiteral("v"));
    QCommandLineOption o(names, QString::fromLatin1(d.help));
    if (d.valueName)
        o.setValueName(QString::fromLatin1(d.valueName));
    return o;
}

const OptionDef& Def(const char* name)
{
    for (const OptionDef& d : kOptions)
        if (qstrcmp(d.name, name) == 0)
            return d;
    return kOptions[0];
}

// --- the verbs -----------------------------------------------------------------

struct Context;
using VerbRun = int (*)(Context&);

struct Verb
{
    const char* name;     // "scan", "mifare read", ...
    const char* synopsis; // positional arguments
    const char* summary;
    std::vector<const char*> options; // beyond the common ones
    int positionals;                  // exactly this many
    VerbRun run;
};

struct Context
{
    QCommandLineParser& p;
    const Verb& verb;
    QStringList args; // the positional arguments after the verb
    Output& out;
    StoredSettings stored;
    // Every link's traffic goes here; it writes it out for -v and --log.
    link::TrafficHistory& history;

    QString Name() const { return QString::fromLatin1(verb.name); }

    std::optional<int> Int(const char* option, int lo, int hi) const
    {
        if (!p.isSet(QString::fromLatin1(option)))
            return std::nullopt;
        return Number(p.value(QString::fromLatin1(option)), QStringLiteral("--") + option, lo, hi);
    }
    int RequiredInt(const char* option, int lo, int hi) const
    {
        const auto v = Int(option, lo, hi);
        if (!v)
            throw UsageError{QStringLiteral("--%1 is required").arg(option)};
        return *v;
    }
    static int Number(const QString& text, const QString& what, int lo, int hi)
    {
        bool ok = false;
        const int v = text.toInt(&ok);
        if (!ok || v < lo || v > hi || text.trimmed() != text)
            throw UsageError{QStringLiteral("%1 takes %2 to %3, not \"%4\"")
                                 .arg(what)
                                 .arg(lo)
                                 .arg(hi)
                                 .arg(text)};
        return v;
    }
    QString Hex(const char* option, int digits) const
    {
        const QString text = p.value(QString::fromLatin1(option)).toUpper();
        if (!p.isSet(QString::fromLatin1(option)))
            throw UsageError{QStringLiteral("--%1 is required").arg(option)};
        if (!mifare::HexDigits(text, digits))
            throw UsageError{QStringLiteral("--%1 takes %2 hexadecimal digits, not \"%3\"")
                                 .arg(option)
                                 .arg(digits)
                                 .arg(text)};
        return text;
    }
    bool Flag(const char* option) const { return p.isSet(QString::fromLatin1(option)); }
};

// The port, line setting and type an operation addresses.
struct Target
{
    int port = 0;
    int modeIndex = 0;
    QString mode;
    int type = 0; // 0-7
    QString prefix;
};

int ResolveType(const Context& c)
{
    if (const auto t = c.Int("type", 1, 8))
        return *t - 1;
    if (c.stored.readerType < 0 || c.stored.readerType > 7)
        throw UsageError{QStringLiteral("no reader type: give --type N")};
    return c.stored.readerType;
}

// The line setting: --mode, else the stored one.
std::pair<int, QString> ResolveMode(const Context& c)
{
    if (const auto m = c.Int("mode", 0, kModeCount - 1))
        return {*m, link::PayloadText(std::string(kModeList[size_t(*m)]))};
    return {c.stored.scanBaudRateNo, c.stored.scanBaudRate};
}

Target ResolveTarget(const Context& c)
{
    Target t;
    t.type = ResolveType(c);
    t.prefix = QString::fromLatin1(ReaderTypeFor(t.type).prefix.data(), 1);
    if (const auto p = c.Int("port", 1, 16))
        t.port = *p;
    else if (c.stored.scanCommNo >= 1 && c.stored.scanCommNo <= 16)
        t.port = c.stored.scanCommNo;
    else
        throw UsageError{QStringLiteral("no port: give --port N, or run scan --save first")};
    std::tie(t.modeIndex, t.mode) = ResolveMode(c);
    return t;
}

QString ReaderIdOption(const Context& c)
{
    const QString id = c.p.value(QStringLiteral("id"));
    if (id.size() != 2 || !id[0].isDigit() || !id[1].isDigit())
        throw UsageError{QStringLiteral("--id takes two digits, not \"%1\"").arg(id)};
    return id;
}

// Opens the target's port, learns the reader's ID unless given, runs the
// sequence and closes the port again. `command` false: the reader refused.
int WithReader(Context& c, const std::function<bool(link::Link&, const Addressee&)>& command)
{
    const Target t = ResolveTarget(c);
    const std::optional<QString> givenId =
        c.Flag("id") ? std::optional<QString>(ReaderIdOption(c)) : std::nullopt;
    link::Link link;
    link::TrafficRecorder traffic(c.history);
    link.SetObserver(&traffic);
    if (!link.OpenPort(t.port, t.mode)) {
        c.out.Failure(c.Name(), QStringLiteral("cannot open COM%1").arg(t.port),
                      OpenReason(link.LastOpenError()));
        return kExitPort;
    }
    QString id;
    if (givenId) {
        id = *givenId;
    } else if (const auto identity = reader::IdentifyAnyId(link, t.prefix, 2)) {
        id = identity->id;
    } else {
        link.ClosePort();
        c.out.Failure(c.Name(),
                      QStringLiteral("no reader answered on COM%1 at %2").arg(t.port).arg(t.mode));
        return kExitReader;
    }
    const bool ok = command(link, Addressee{t.prefix, id});
    const link::Outcome last = link.LastOutcome();
    link.ClosePort();
    if (!ok) {
        c.out.Failure(c.Name(), QStringLiteral("the reader did not accept it"),
                      QStringLiteral("last answer: ") + link::OutcomeText(last));
        return kExitReader;
    }
    return kExitOk;
}

// A set operation that prints only its success.
int Setting(Context& c, const std::function<bool(link::Link&, const Addressee&)>& command)
{
    const int code = WithReader(c, command);
    if (code == kExitOk)
        c.out.Result(c.Name() + QStringLiteral(": ok"), {{"verb", c.Name()}, {"ok", true}});
    return code;
}

// --- scan ----------------------------------------------------------------------

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

// --- configuration -------------------------------------------------------------

int SetId(Context& c)
{
    const int id = Context::Number(c.args[0], QStringLiteral("the new ID"), 1, 99);
    const QString text = QString::asprintf("%02d", id);
    return Setting(
        c, [&](link::Link& l, const Addressee& to) { return reader::SetReaderId(l, to, text); });
}

int SetBaud(Context& c)
{
    const int index =
        Context::Number(c.args[0], QStringLiteral("the line setting"), 0, kModeCount - 1);
    const int code = Setting(
        c, [&](link::Link& l, const Addressee& to) { return reader::SetBaudRate(l, to, index); });
    if (code == kExitOk && c.Flag("save")) {
        const Target t = ResolveTarget(c);
        SaveStoredScanSettings(t.type, t.port, index,
                               link::PayloadText(std::string(kModeList[size_t(index)])));
    }
    return code;
}

int SetInterface(Context& c)
{
    const int mode = Context::Number(c.args[0], QStringLiteral("the interface"), 0, 1);
    const int wiegand = Context::Number(c.args[1], QStringLiteral("the Wiegand format"), 0, 2);
    const int rs485 = Context::Number(c.args[2], QStringLiteral("the RS-485 format"), 0, 3);
    return Setting(c, [&](link::Link& l, const Addressee& to) {
        return reader::SetInterface(l, to, mode, wiegand, rs485);
    });
}

int SetCardType(Context& c)
{
    const int index = Context::Number(c.args[0], QStringLiteral("the card type"), 0, 2);
    return Setting(
        c, [&](link::Link& l, const Addressee& to) { return reader::SetCardType(l, to, index); });
}

int SetKeyParity(Context& c)
{
    const int index = Context::Number(c.args[0], QStringLiteral("the key parity"), 0, 1);
    return Setting(
        c, [&](link::Link& l, const Addressee& to) { return reader::SetKeyParity(l, to, index); });
}

int SetKeyNumber(Context& c)
{
    const int n = Context::Number(c.args[0], QStringLiteral("the key number"), 0, 16);
    return Setting(c, [&](link::Link& l, const Addressee& to) {
        return reader::SetKeyNumber(l, to, QString::asprintf("%02d", n));
    });
}

int SetKeyStatus(Context& c)
{
    const int status = Context::Number(c.args[0], QStringLiteral("the key status"), 0, 8);
    const int delay = Context::Number(c.args[1], QStringLiteral("the delay"), 0, 99);
    return Setting(c, [&](link::Link& l, const Addressee& to) {
        return reader::SetKeyStatus(l, to, QString::asprintf("%02d", status),
                                    QString::asprintf("%02d", delay));
    });
}

int FactoryDefault(Context& c)
{
    const int type = ResolveType(c);
    return Setting(c, [&](link::Link& l, const Addressee& to) {
        return reader::FactoryDefault(l, to, ReaderTypeFor(type).factory, [] {});
    });
}

int CommandTest(Context& c)
{
    const QString text = c.args[0];
    // The prefix and the ID take three of the 255 characters a frame carries.
    if (!link::PayloadBytes(QStringLiteral("A00") + text))
        throw UsageError{QStringLiteral("the text is longer than 252 characters or has characters "
                                        "without a single-byte form")};
    return Setting(
        c, [&](link::Link& l, const Addressee& to) { return reader::CommandTest(l, to, text); });
}

// --- card reading ----------------------------------------------------------------

int ReadCard(Context& c)
{
    const bool twoWay = c.Flag("two-way");
    const auto count = c.Int("count", 1, 1000000000);
    const auto seconds = c.Int("seconds", 1, 1000000000);
    struct sigaction action
    {
    };
    action.sa_handler = OnInterrupt; // no SA_RESTART: a wait ends at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    QElapsedTimer clock;
    clock.start();
    int seen = 0;
    bool stopped = false;
    const int code = WithReader(c, [&](link::Link& l, const Addressee& to) {
        stopped = reader::ReadCards(
            l, to, twoWay, [] { return QStringLiteral("Card ID"); },
            [&] {
                return gInterrupted || (count && seen >= *count) ||
                       (seconds && clock.elapsed() >= qint64(*seconds) * 1000);
            },
            [&](const reader::CardShown& s) {
                using K = reader::CardShown::Kind;
                if (s.kind == K::Nothing)
                    return;
                ++seen;
                if (s.kind == K::Key) {
                    c.out.Result(QStringLiteral("key ") + s.keys,
                                 {{"kind", "key"}, {"text", s.keys}});
                    return;
                }
                QJsonObject o{{"kind", "card"}, {"hex", s.hex}};
                QString plain = QStringLiteral("card ") + s.hex;
                if (s.value) {
                    const QString decimal =
                        QString::asprintf("%010llu", (unsigned long long)*s.value);
                    o.insert("decimal", decimal);
                    plain += QStringLiteral(" ") + decimal;
                }
                if (!s.keys.isEmpty()) {
                    o.insert("keys", s.keys);
                    plain += QStringLiteral(" keys ") + s.keys;
                }
                c.out.Result(plain, o);
            },
            {});
        return stopped;
    });
    return code;
}

// --- MIFARE ------------------------------------------------------------------------

int MifareEepromKey(Context& c)
{
    const int sector = c.RequiredInt("sector", 0, 39);
    const QString key = c.Hex("key", 12);
    const bool keyB = c.Flag("use-key-b");
    return Setting(c, [&](link::Link& l, const Addressee& to) {
        return mifare::WriteKeyToEeprom(l, to, keyB, sector, key);
    });
}

int MifareIdLocation(Context& c)
{
    const int sector = c.RequiredInt("sector", 0, 39);
    const int block = c.RequiredInt("block", 0, 3);
    const int byte = c.RequiredInt("byte", 0, 31);
    const int indication = c.RequiredInt("key-error", 0, 3);
    const bool keyB = c.Flag("use-key-b");
    return Setting(c, [&](link::Link& l, const Addressee& to) {
        return mifare::SetIdLocation(l, to, sector, block, byte, keyB, indication);
    });
}

int PrintBlock(Context& c,
               const std::function<std::optional<QString>(link::Link&, const Addressee&)>& op)
{
    std::optional<QString> data;
    const int code = WithReader(c, [&](link::Link& l, const Addressee& to) {
        data = op(l, to);
        return data.has_value();
    });
    if (code == kExitOk)
        c.out.Result(*data, {{"verb", c.Name()}, {"data", *data}});
    return code;
}

QString TrailerReason(mifare::TrailerFault fault)
{
    switch (fault) {
    case mifare::TrailerFault::Keys:
        return QStringLiteral("keys must be 12 hexadecimal digits");
    case mifare::TrailerFault::AccessLength:
        return QStringLiteral("access bits must be 8 hexadecimal digits");
    case mifare::TrailerFault::Inconsistent:
        return QStringLiteral("access bits inconsistent: the sector would be blocked");
    case mifare::TrailerFault::None:
        break;
    }
    return {};
}

int MifareRead(Context& c)
{
    const int sector = c.RequiredInt("sector", 0, 39);
    const int block = c.RequiredInt("block", 0, 3);
    const QString key = c.Hex("key", 12);
    const bool keyB = c.Flag("use-key-b");
    return PrintBlock(c, [&](link::Link& l, const Addressee& to) {
        return mifare::ReadBlock(l, to, keyB, mifare::AbsoluteBlock(sector, block), key);
    });
}

int MifareWrite(Context& c)
{
    const int sector = c.RequiredInt("sector", 0, 39);
    const int block = c.RequiredInt("block", 0, 3);
    const QString key = c.Hex("key", 12);
    const QString data = c.Hex("data", 32);
    const bool keyB = c.Flag("use-key-b");
    if (mifare::IsTrailer(sector, block))
        if (const auto fault = mifare::CheckTrailerBlock(data); fault != mifare::TrailerFault::None)
            throw UsageError{QStringLiteral("refused trailer: ") + TrailerReason(fault)};
    return PrintBlock(c, [&](link::Link& l, const Addressee& to) {
        return mifare::WriteBlock(l, to, keyB, mifare::AbsoluteBlock(sector, block), key, data);
    });
}

int MifareTrailer(Context& c)
{
    const int sector = c.RequiredInt("sector", 0, 39);
    const QString key = c.Hex("key", 12);
    const QString keyA = c.Hex("new-key-a", 12);
    const QString keyB = c.Hex("new-key-b", 12);
    const QString access = c.Hex("access", 8);
    if (const auto fault = mifare::CheckTrailer(keyA, access, keyB);
        fault != mifare::TrailerFault::None)
        throw UsageError{QStringLiteral("refused trailer: ") + TrailerReason(fault)};
    const bool oldKeyB = c.Flag("use-key-b");
    return Setting(c, [&](link::Link& l, const Addressee& to) {
        return mifare::WriteTrailer(l, to, oldKeyB, key, mifare::TrailerBlock(sector),
                                    keyA + access + keyB);
    });
}

// --- access bits -------------------------------------------------------------------

QString Bits(mifare::Condition c)
{
    return QStringLiteral("%1%2%3").arg(c >> 2 & 1).arg(c >> 1 & 1).arg(c & 1);
}

mifare::Condition ParseBits(const QString& text)
{
    if (text.size() != 3 || text.count(QLatin1Char('0')) + text.count(QLatin1Char('1')) != 3)
        throw UsageError{
            QStringLiteral("a condition is three binary digits C1C2C3, not \"%1\"").arg(text)};
    return (text[0] == u'1') << 2 | (text[1] == u'1') << 1 | (text[2] == u'1');
}

QString Who(mifare::Caption c)
{
    switch (c) {
    case mifare::Caption::AB:
        return QStringLiteral("key A or key B");
    case mifare::Caption::A:
        return QStringLiteral("key A");
    case mifare::Caption::B:
        return QStringLiteral("key B");
    case mifare::Caption::Never:
        break;
    }
    return QStringLiteral("never");
}

// What a condition allows, in words, from the editor's pictures.
QString Words(int block, mifare::Condition condition)
{
    using G = mifare::Group;
    static const std::pair<G, const char*> kData[] = {
        {G::Read, "read"},
        {G::Write, "write"},
        {G::Increment, "increment"},
        {G::Decrement, "decrement, transfer, restore"}};
    static const std::pair<G, const char*> kTrailer[] = {
        {G::KeyARead, "read key A"},         {G::KeyAWrite, "write key A"},
        {G::AccessRead, "read access bits"}, {G::AccessWrite, "write access bits"},
        {G::KeyBRead, "read key B"},         {G::KeyBWrite, "write key B"}};
    QStringList parts;
    if (block < 3)
        for (const auto& [g, what] : kData)
            parts << QStringLiteral("%1: %2").arg(what, Who(mifare::PictureCaption(g, condition)));
    else
        for (const auto& [g, what] : kTrailer)
            parts << QStringLiteral("%1: %2").arg(what, Who(mifare::PictureCaption(g, condition)));
    return parts.join(QStringLiteral("; "));
}

const char* const kBlockNames[4] = {"block0", "block1", "block2", "trailer"};

int PrintAccess(Context& c, const QString& access,
                const std::array<mifare::Condition, 4>& conditions, bool words)
{
    QJsonObject o{{"access", access}};
    QJsonObject cs;
    QString plain = access;
    for (int b = 0; b < 4; ++b) {
        cs.insert(QLatin1String(kBlockNames[b]), Bits(conditions[size_t(b)]));
        plain += QStringLiteral("\n%1 %2").arg(QLatin1String(kBlockNames[b]),
                                               Bits(conditions[size_t(b)]));
        if (words)
            plain += QStringLiteral(" (%1)").arg(Words(b, conditions[size_t(b)]));
    }
    o.insert("conditions", cs);
    if (words) {
        // Key B that can be read is no key: "key A or key B" then means key A.
        const mifare::Condition t = conditions[3];
        if (mifare::PictureCaption(mifare::Group::KeyBRead, t) != mifare::Caption::Never) {
            plain +=
                QStringLiteral("\nnote: key B can be read, so it cannot serve to authenticate");
            o.insert("note", "key B can be read, so it cannot serve to authenticate");
        }
        QJsonObject w;
        for (int b = 0; b < 4; ++b)
            w.insert(QLatin1String(kBlockNames[b]), Words(b, conditions[size_t(b)]));
        o.insert("words", w);
    }
    c.out.Result(plain, o);
    return kExitOk;
}

int AccessEncode(Context& c)
{
    std::array<mifare::Condition, 4> conditions{};
    std::array<std::optional<mifare::Condition>, 4> given;
    for (int b = 0; b < 4; ++b)
        given[size_t(b)] = conditions[size_t(b)] = ParseBits(c.args[b]);
    return PrintAccess(c, mifare::AccessBitsText(given), conditions, false);
}

int AccessDecode(Context& c)
{
    const QString text = c.args[0].toUpper();
    if (!mifare::HexDigits(text, 8))
        throw UsageError{
            QStringLiteral("access bits are 8 hexadecimal digits, not \"%1\"").arg(text)};
    const unsigned b6 = text.mid(0, 2).toUInt(nullptr, 16);
    const unsigned b7 = text.mid(2, 2).toUInt(nullptr, 16);
    const unsigned b8 = text.mid(4, 2).toUInt(nullptr, 16);
    // Each of C1, C2, C3 is stored twice, once inverted; every pair must agree.
    if ((b6 & 0x0F) != (~b7 >> 4 & 0x0F))
        throw UsageError{QStringLiteral("inconsistent: C1 (byte 7, bits 4-7) is not the inverse of "
                                        "byte 6, bits 0-3")};
    if ((b8 & 0x0F) != (~b6 >> 4 & 0x0F))
        throw UsageError{QStringLiteral("inconsistent: C2 (byte 8, bits 0-3) is not the inverse of "
                                        "byte 6, bits 4-7")};
    if ((b8 >> 4) != (~b7 & 0x0F))
        throw UsageError{QStringLiteral("inconsistent: C3 (byte 8, bits 4-7) is not the inverse of "
                                        "byte 7, bits 0-3")};
    std::array<mifare::Condition, 4> conditions{};
    for (int b = 0; b < 4; ++b)
        conditions[size_t(b)] =
            int(b7 >> (4 + b) & 1) << 2 | int(b8 >> b & 1) << 1 | int(b8 >> (4 + b) & 1);
    return PrintAccess(c, text, conditions, true);
}

// --- ports ---------------------------------------------------------------------------

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

const Verb kVerbs[] = {
    {"scan",
     "",
     "find a reader (the stored port first) and print its settings",
     {"lock", "save", "all"},
     0,
     Scan},
    {"set-id", "NN", "set the reader's ID (1-99)", {}, 1, SetId},
    {"set-baud", "IDX", "set the reader's line setting (0-13)", {"save"}, 1, SetBaud},
    {"set-interface",
     "MODE WIEGAND RS485",
     "set the output interface: MODE 0 Wiegand, 1 RS485; WIEGAND 0-2 (26, 34, 42); RS485 0-3 "
     "(24, 32, 40, 64)",
     {},
     3,
     SetInterface},
    {"set-card-type", "N", "set the card type: 0 EM, 1 VORAX, 2 SECURITY", {}, 1, SetCardType},
    {"set-key-parity",
     "N",
     "set the Wiegand key format: 0 no parity (4 bits), 1 with parity",
     {},
     1,
     SetKeyParity},
    {"set-key-number", "N", "set the key number (0-16)", {}, 1, SetKeyNumber},
    {"set-key-status",
     "N DELAY",
     "set the key status code (0-8) and its delay (0-99 s)",
     {},
     2,
     SetKeyStatus},
    {"factory-default", "", "return the reader to its factory settings", {}, 0, FactoryDefault},
    {"test",
     "TEXT",
     "send TEXT after the prefix and ID once; any valid answer passes",
     {},
     1,
     CommandTest},
    {"read-card",
     "",
     "print each card and key until the count, the time or Ctrl-C",
     {"two-way", "count", "seconds"},
     0,
     ReadCard},
    {"mifare eeprom-key",
     "",
     "store a sector key in the reader's EEPROM",
     {"sector", "key", "use-key-b"},
     0,
     MifareEepromKey},
    {"mifare id-location",
     "",
     "set where on the card the reader takes the card ID",
     {"sector", "block", "byte", "key-error", "use-key-b"},
     0,
     MifareIdLocation},
    {"mifare read",
     "",
     "read a block: its 32 hexadecimal digits",
     {"sector", "block", "key", "use-key-b"},
     0,
     MifareRead},
    {"mifare write",
     "",
     "write a block; a trailer block only if it is consistent",
     {"sector", "block", "key", "use-key-b", "data"},
     0,
     MifareWrite},
    {"mifare trailer",
     "",
     "write a sector trailer with new keys and access bits",
     {"sector", "key", "use-key-b", "new-key-a", "new-key-b", "access"},
     0,
     MifareTrailer},
    {"access-bits encode",
     "B0 B1 B2 T",
     "the access bits of four conditions C1C2C3 (blocks 0-2, trailer)",
     {},
     4,
     AccessEncode},
    {"access-bits decode",
     "HEX8",
     "the four conditions of access bits, in words",
     {},
     1,
     AccessDecode},
    {"ports", "", "each COM number, its device and whether it can be opened", {}, 0, Ports},
};

bool NeedsSecondWord(const QString& word)
{
    return word == QLatin1String("mifare") || word == QLatin1String("access-bits");
}

const Verb* FindVerb(const QString& name)
{
    for (const Verb& v : kVerbs)
        if (name == QLatin1String(v.name))
            return &v;
    return nullptr;
}

QString ToolHelp()
{
    QString h = QStringLiteral("Usage: tesmora-cli [options] VERB [arguments]\n"
                               "Every reader operation of Tesmora from a shell.\n\nVerbs:\n");
    for (const Verb& v : kVerbs)
        h += QStringLiteral("  %1 %2\n      %3\n")
                 .arg(QLatin1String(v.name), QLatin1String(v.synopsis), QLatin1String(v.summary));
    h += QStringLiteral("\nOptions of every verb:\n");
    for (const char* o : kCommonOptions)
        h += QStringLiteral("  --%1 %2\n      %3\n")
                 .arg(QLatin1String(o), QLatin1String(Def(o).valueName ? Def(o).valueName : ""),
                      QLatin1String(Def(o).help));
    h += QStringLiteral("  --version\n      the version\n\nLine settings:");
    for (int i = 0; i < kModeCount; ++i)
        h += QStringLiteral(" %1 %2%3")
                 .arg(i)
                 .arg(link::PayloadText(std::string(kModeList[size_t(i)])))
                 .arg(i + 1 < kModeCount ? "," : "");
    h += QStringLiteral(
        "\n\nExit codes: 0 done; 1 the reader refused, did not answer or answered wrongly, or no "
        "reader was found; 2 usage error, nothing sent; 3 the port could not be opened.\n"
        "'tesmora-cli VERB --help' describes a verb.\n");
    return h;
}

} // namespace

int RunCli(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tesmora-cli"));
    Output out;
    QStringList args = QCoreApplication::arguments();

    // First pass with every option, to find the verb.
    QCommandLineParser all;
    for (const OptionDef& d : kOptions)
        all.addOption(MakeOption(d));
    if (!all.parse(args)) {
        out.Failure(QStringLiteral("usage"), all.errorText());
        return kExitUsage;
    }
    out.json = all.isSet(QStringLiteral("json"));
    QStringList positional = all.positionalArguments();
    if (all.isSet(QStringLiteral("version"))) {
        std::printf("tesmora-cli %s\n", TESMORA_VERSION);
        return kExitOk;
    }
    if (positional.isEmpty()) {
        if (all.isSet(QStringLiteral("help"))) {
            std::fputs(ToolHelp().toUtf8().constData(), stdout);
            return kExitOk;
        }
        out.Failure(QStringLiteral("usage"), QStringLiteral("no verb; see tesmora-cli --help"));
        return kExitUsage;
    }
    QString name = positional.takeFirst();
    if (NeedsSecondWord(name) && !positional.isEmpty())
        name += QLatin1Char(' ') + positional.takeFirst();
    const Verb* verb = FindVerb(name);
    if (!verb && all.isSet(QStringLiteral("help"))) {
        std::fputs(ToolHelp().toUtf8().constData(), stdout);
        return kExitOk;
    }
    if (!verb) {
        out.Failure(QStringLiteral("usage"),
                    QStringLiteral("unknown verb \"%1\"; see tesmora-cli --help").arg(name));
        return kExitUsage;
    }

    // Second pass with the verb's own options only.
    QCommandLineParser p;
    p.setApplicationDescription(QLatin1String(verb->summary));
    for (const char* o : kCommonOptions)
        p.addOption(MakeOption(Def(o)));
    for (const char* o : verb->options)
        p.addOption(MakeOption(Def(o)));
    p.addPositionalArgument(QLatin1String(verb->name), QStringLiteral("the verb"));
    if (*verb->synopsis)
        p.addPositionalArgument(QLatin1String(verb->synopsis), QStringLiteral("its arguments"));
    if (!p.parse(args)) {
        out.Failure(name, p.errorText());
        return kExitUsage;
    }
    if (p.isSet(QStringLiteral("help"))) {
        std::fputs(p.helpText().toUtf8().constData(), stdout);
        return kExitOk;
    }
    if (positional.size() != verb->positionals) {
        out.Failure(name, QStringLiteral("takes %1 argument(s): %2")
                              .arg(verb->positionals)
                              .arg(QLatin1String(verb->synopsis)));
        return kExitUsage;
    }
    UseSettingsDirFromEnvironment();
    // The entries are written out as they come; none need be kept.
    link::TrafficHistory history(1);
    history.SetOperation(name);
    QFile log(p.value(QStringLiteral("log")));
    if (p.isSet(QStringLiteral("log")) && !log.open(QIODevice::WriteOnly | QIODevice::Append)) {
        out.Failure(name, QStringLiteral("cannot write the log %1").arg(log.fileName()),
                    log.errorString());
        return kExitUsage;
    }
    const bool verbose = p.isSet(QStringLiteral("verbose"));
    if (verbose || log.isOpen()) {
        history.SetListener([&](const link::TrafficEntry& e) {
            const QString line = link::EntryLine(e);
            if (verbose)
                out.Traffic(line);
            if (log.isOpen()) {
                log.write(line.toUtf8() + '\n');
                log.flush();
            }
        });
    }
    Context c{p, *verb, positional, out, {}, history};
    LoadStoredSettings(c.stored);
    // The same COM numbers as the window: the store's Ports group first.
    link::SetPortMap(LoadStoredPortMap());
    try {
        return verb->run(c);
    } catch (const UsageError& e) {
        out.Failure(name, e.message);
        return kExitUsage;
    }
}
