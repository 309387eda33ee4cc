// The reader's own settings: ID, line setting, interface, card type, keypad,
// the factory default and the command test.
#include <QJsonObject>

#include "cli.h"
#include "link/frame.h"
#include "link/modelist.h"
#include "link/payload.h"
#include "reader/configuration.h"
#include "reader/readertypes.h"
#include "store/settings.h"
#include "verb.h"

namespace cli {

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
    const Target t = ResolveTarget(c);
    RefuseFixedLineSetting(c, t.port, -1, QStringLiteral("a new line setting"));
    const QString mode = link::PayloadText(std::string(kModeList[size_t(index)]));
    const int code = WithReader(
        c, [&](link::Link& l, const Addressee& to) { return reader::SetBaudRate(l, to, index); });
    if (code != kExitOk)
        return code;
    QJsonObject o{{"verb", c.Name()}, {"ok", true}};
    QString plain = c.Name() + QStringLiteral(": ok");
    // The stored line setting must not point at one the reader no longer has:
    // where the store pointed at this reader, it follows; --save stores it anyway.
    const bool stored = c.stored.scanCommNo == t.port;
    if (c.Flag("save") || stored) {
        SaveStoredScanSettings(c.Flag("save") ? t.type : c.stored.readerType, t.port, index, mode);
        o.insert("stored", mode);
        plain += QStringLiteral(", the stored line setting of %1 is now %2")
                     .arg(PortLabel(t.port), mode);
    }
    c.out.Result(plain, o);
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
    QString answer;
    const int code = WithReader(c, [&](link::Link& l, const Addressee& to) {
        const bool ok = reader::CommandTest(l, to, text);
        const std::string& r = l.LastResponse();
        answer = QString::fromStdString(
            link::ReceivedDisplay(reinterpret_cast<const uint8_t*>(r.data()), r.size()));
        return ok;
    });
    // The answer as the status bar shows it: control bytes as "[0D]".
    if (code == kExitOk)
        c.out.Result(c.Name() + QStringLiteral(": ok, answer ") + answer,
                     {{"verb", c.Name()}, {"ok", true}, {"answer", answer}});
    return code;
}

} // namespace cli
