#include "configuration.h"

#include "link/answers.h"
#include "link/payload.h"

namespace reader {

namespace {

// Answer fields by offset; the identify answer is 16 bytes, so these exist.
constexpr size_t kSerialOffset = 5;
constexpr size_t kSerialLength = 8;

QString Digit(int value)
{
    return QString::number(value);
}

// The commands that carry a MIFARE key: the key loaded for a block, a key
// into the reader's EEPROM, a trailer written under its old key (its length
// tells it from a data block's write). Length 0: any.
struct KeyCommand
{
    QLatin1String start;
    qsizetype length;
};
constexpr KeyCommand kKeyCommands[] = {
    {QLatin1String("f"), 0},
    {QLatin1String("d6"), 0},
    {QLatin1String("i6"), 49},
};

bool CarriesKey(const QString& command)
{
    for (const auto& k : kKeyCommands)
        if (command.startsWith(k.start) && (k.length == 0 || command.size() == k.length))
            return true;
    return false;
}

} // namespace

bool Send(CommandLink& link, const Addressee& to, const QString& command)
{
    link.Pause(kCommandPauseMs);
    if (CarriesKey(command))
        link.KeysFollow();
    return link.Exchange(to(command));
}

std::optional<std::string> Identify(CommandLink& link, const Addressee& to)
{
    const bool ok = link.Exchange(to(QStringLiteral("B")));
    if (!link::IdentifyAccepted(ok, link.ResponseLength()))
        return std::nullopt;
    return link.LastResponse().substr(kSerialOffset, kSerialLength);
}

bool IdentifyThenSet(CommandLink& link, const Addressee& to,
                     const std::function<QString(const std::string& serial)>& command,
                     const Acceptance& accepted)
{
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        link.Pause(kCommandPauseMs);
        const auto serial = Identify(link, to);
        if (!serial)
            continue;
        const bool exchanged = Send(link, to, command(*serial));
        if (accepted ? accepted(exchanged, link) : exchanged)
            return true;
    }
    return false;
}

bool IdentifyThenSet(CommandLink& link, const Addressee& to, const QString& command,
                     const Acceptance& accepted)
{
    return IdentifyThenSet(
        link, to, [&](const std::string&) { return command; }, accepted);
}

bool SetReaderId(CommandLink& link, const Addressee& to, const QString& newId)
{
    return IdentifyThenSet(link, to, [&](const std::string& serial) {
        return QStringLiteral("C") + link::PayloadText(serial) + newId;
    });
}

QString BaudRateCode(int modeIndex)
{
    return QString::number(modeIndex, 16).toUpper();
}

bool SetBaudRate(CommandLink& link, const Addressee& to, int modeIndex)
{
    return IdentifyThenSet(link, to, QStringLiteral("E") + BaudRateCode(modeIndex));
}

bool SetInterface(CommandLink& link, const Addressee& to, int mode, int wiegand, int rs485)
{
    return IdentifyThenSet(link, to,
                           QStringLiteral("A") + Digit(mode) + Digit(wiegand) + Digit(rs485));
}

bool CommandTest(CommandLink& link, const Addressee& to, const QString& text)
{
    return Send(link, to, text);
}

bool SetCardType(CommandLink& link, const Addressee& to, int index)
{
    return IdentifyThenSet(link, to, QStringLiteral("A") + Digit(index));
}

bool SetKeyParity(CommandLink& link, const Addressee& to, int index)
{
    return IdentifyThenSet(link, to, QStringLiteral("M") + Digit(index));
}

bool SetKeyNumber(CommandLink& link, const Addressee& to, const QString& number)
{
    return IdentifyThenSet(link, to, QStringLiteral("L") + number);
}

bool SetKeyStatus(CommandLink& link, const Addressee& to, const QString& status,
                  const QString& delay)
{
    return IdentifyThenSet(link, to, QStringLiteral("N") + status + delay);
}

bool FactoryDefault(CommandLink& link, const Addressee& to,
                    const std::vector<FactoryCommand>& typeCommands,
                    const std::function<void()>& typeReached)
{
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        link.Pause(kCommandPauseMs);
        const auto serial = Identify(link, to);
        if (!serial)
            continue;
        const QString id = QStringLiteral("C") + link::PayloadText(*serial) + QStringLiteral("01");
        if (!Send(link, to, id))
            continue;
        link.Pause(kCommandPauseMs);
        typeReached();
        bool complete = true;
        for (size_t i = 0; i < typeCommands.size() && complete; ++i) {
            if (i > 0)
                link.Pause(kCommandPauseMs);
            const bool accepted = link.Exchange(to(QLatin1String(typeCommands[i].text)));
            complete = accepted || !typeCommands[i].required;
        }
        if (complete && Send(link, to, QStringLiteral("E5")))
            return true;
    }
    return false;
}

} // namespace reader
