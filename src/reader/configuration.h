#pragma once

// The reader's own settings, as command sequences over the link: each takes the
// values to send and returns whether the reader accepted them.

#include <QString>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "link/commandlink.h"

namespace reader {

using link::Addressee;
using link::CommandLink;

constexpr int kAttempts = 2;
constexpr int kCommandPauseMs = 100;

// One command after the pause that precedes every command of an operation.
bool Send(CommandLink& link, const Addressee& to, const QString& command);

// Identify at the reader's own ID: accepted with the 16-byte answer only. The
// serial number, offsets 5 to 12 of that answer.
std::optional<std::string> Identify(CommandLink& link, const Addressee& to);

// Whether the reader accepted a command, from the exchange's result and the
// answer it left; by default any valid answer.
using Acceptance = std::function<bool(bool exchanged, const CommandLink& link)>;

// Up to two attempts of: pause, identify, pause, the set command, which is built
// from the serial number of the same attempt's identify answer.
bool IdentifyThenSet(CommandLink& link, const Addressee& to,
                     const std::function<QString(const std::string& serial)>& command,
                     const Acceptance& accepted = {});
// The same with a command that does not depend on the serial number.
bool IdentifyThenSet(CommandLink& link, const Addressee& to, const QString& command,
                     const Acceptance& accepted = {});

// "C" + serial number + the new ID (the caption of pnID, two digits).
bool SetReaderId(CommandLink& link, const Addressee& to, const QString& newId);
// "E" + the code of a line-setting index, "0" to "D".
bool SetBaudRate(CommandLink& link, const Addressee& to, int modeIndex);
QString BaudRateCode(int modeIndex);
// "A" + interface, Wiegand and RS-485 list indices, one digit each.
bool SetInterface(CommandLink& link, const Addressee& to, int mode, int wiegand, int rs485);
// One frame with the text as typed, after one pause: no identify, no second attempt.
bool CommandTest(CommandLink& link, const Addressee& to, const QString& text);
// "A" + card type index, "M" + key parity index.
bool SetCardType(CommandLink& link, const Addressee& to, int index);
bool SetKeyParity(CommandLink& link, const Addressee& to, int index);
// "L" + key number, "N" + key status + delay: the panel captions, two digits each.
bool SetKeyNumber(CommandLink& link, const Addressee& to, const QString& number);
bool SetKeyStatus(CommandLink& link, const Addressee& to, const QString& status,
                  const QString& delay);

// One command of a reader type's factory default; a required one that is not
// accepted ends the attempt.
struct FactoryCommand
{
    const char* text;
    bool required;
};

// Two attempts of: identify, "C" + serial + "01", the type's commands (the type
// reached: typeReached runs after the pause before the first of them), and
// "E5" last. Every command goes to the same address, the ID found by the scan.
bool FactoryDefault(CommandLink& link, const Addressee& to,
                    const std::vector<FactoryCommand>& typeCommands,
                    const std::function<void()>& typeReached);

} // namespace reader
