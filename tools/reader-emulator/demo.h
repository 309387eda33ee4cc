#pragma once

// The demo for a user without a reader: the demo reader's settings, and the private port
// folder it is put in.

#include <string>
#include <utility>
#include <vector>

#include "readeremulator.h"

namespace emu {

// The demo's reader: any type letter, 19200 baud, unknown commands answered, cards and keys
// by the clock, interface 011, card type 1, key number 08, key parity 1, key status 03 with
// delay 10, and no card yet (the caller puts one in the field).
ReaderModel DemoReaderModel();

// $XDG_RUNTIME_DIR/tesmora-demo, or /tmp/tesmora-demo-UID where that is unset.
std::string DemoPortDir();

// What a command pointed at the demo gets in its environment, in order: the port folder, and
// a settings folder and a state folder of the demo's own inside it (per COM number, as two
// demos may share the port folder), so that the demo never changes what the installed tools
// remember and its card backups go with it.
using DemoEnvironment = std::vector<std::pair<std::string, std::string>>;
DemoEnvironment DemoEnvironmentFor(const std::string& portDir, int com);

// The demo card's key file, as the emulator's package installs it beside the executable
// (BIN/../share/tesmora-reader-emulator/demo-keys.txt), or as the build puts it (beside the
// executable in the build tree); the installed path when neither is there.
std::string DemoKeyFile(const std::string& executable);

// Makes dir with mode 0700 (made: true), or takes it as it is when it already is a folder of
// this user's that nobody else may enter (made: false). False with the reason otherwise:
// another user's folder, a link, or one that others may enter could hand the port to them.
bool MakePrivateDir(const std::string& dir, bool* made, std::string* error);

// A word as a POSIX shell reads it back: as it is when plain, else in single quotes.
std::string ShellQuote(const std::string& word);

} // namespace emu
