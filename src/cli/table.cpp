#include "table.h"

#include <cstring>
#include <initializer_list>

namespace cli {

namespace {

const OptionDef kOptions[] = {
    {"port", "", "N",
     "COM number 1-16, or rfc2217://HOST:PORT, tcp://HOST:PORT or their TLS forms rfc2217s:// "
     "and tcps:// (default: the stored port)"},
    {"mode", "", "IDX", "line setting 0-13, see tesmora-cli --help (default: the stored one)"},
    {"type", "", "N", "reader type 1-8 (default: the stored one)"},
    {"id", "", "NN", "the reader's ID (default: asked of the reader, as the scan does)"},
    {"json", "", nullptr, "one JSON object per line"},
    {"verbose", "v", nullptr, "the traffic on stderr"},
    {"log", "", "FILE", "the traffic appended to FILE, one entry a line"},
    {"quiet", "q", nullptr, "no progress on the terminal"},
    {"save", "", nullptr, "remember the port, line setting and type found"},
    {"lock", "", nullptr, "try only the stored or given line setting on each port"},
    {"all", "", nullptr, "every reader on every port, the ports probed at the same time"},
    {"two-way", "", nullptr, "two-way reading"},
    {"count", "", "N", "stop after N cards or keys"},
    {"seconds", "", "S", "stop after S seconds"},
    {"sector", "", "S", "sector 0-39"},
    {"block", "", "B", "block 0-3 of the sector"},
    {"byte", "", "N", "byte 0-31 of the block"},
    {"key-error", "", "IDX", "key error signal: 0 none, 1 LED, 2 beep, 3 beep and LED"},
    {"key", "", "HEX12", "the key, 12 hexadecimal digits (trailer: the sector's current key)"},
    {"use-key-b", "", nullptr, "the key is key B (default key A)"},
    {"data", "", "HEX32", "the block, 32 hexadecimal digits"},
    {"new-key-a", "", "HEX12", "the trailer's new key A"},
    {"new-key-b", "", "HEX12", "the trailer's new key B"},
    {"access", "", "HEX8", "the trailer's access bits, 8 hexadecimal digits"},
    {"size", "", "1k|4k|auto", "the card's size (default auto: as block 0 tells)"},
    {"keys", "", "FILE", "also the keys of FILE, one a line (may be given again)"},
    {"no-default-keys", "", nullptr, "leave out the built-in public default keys"},
    {"output", "", "FILE", "write to FILE instead of stdout"},
    {"check", "", nullptr, "report what would change; send no set command"},
    {"id-from", "", "NN", "consecutive reader IDs from NN, in port order"},
    {"format", "", "mct|mfd|json",
     "the format of the image read or written (default: the file's extension)"},
    {"backup", "", "FILE",
     "save the card as it was, as a JSON image, to FILE, which must not exist (default: a new "
     "file in ~/.local/state/tesmora/backups)"},
    {"allow-permanent", "", nullptr, "also write trailers that would fix a sector for good"},
    {"wiegand", "", "26|34|42",
     "the reader's Wiegand output, for facility and number (default: its interface setting)"},
    {"again", "", nullptr, "also cards whose UID is in the log"},
    {"number", "", "S:B:START",
     "a running number from START as a value block in block B of sector S"},
    {"wait", "", "S",
     "when no reader is there, wait up to S seconds for a device to be plugged in, and try it"},
    {"suggest", "", nullptr,
     "print [Ports] lines that pin each USB adapter plugged in to its COM number by its "
     "/dev/serial/by-id name"},
    {"help", "h", nullptr, "this help"},
    {"version", "", nullptr, "the version"},
};

// The options of every verb that talks to a reader, and more.
std::vector<const char*> Reader(std::initializer_list<const char*> more = {})
{
    std::vector<const char*> o{"port", "mode", "type", "id", "verbose", "log"};
    o.insert(o.end(), more);
    return o;
}

const Verb kVerbs[] = {
    {"scan",
     "",
     "find a reader (the stored port first) and print its settings",
     {"port", "mode", "type", "lock", "save", "all", "wait", "quiet", "verbose", "log"},
     0,
     Scan},
    {"set-id", "NN", "set the reader's ID (1-99)", Reader(), 1, SetId},
    {"set-baud", "IDX", "set the reader's line setting (0-13)", Reader({"save"}), 1, SetBaud},
    {"set-interface", "MODE WIEGAND RS485",
     "set the output interface: MODE 0 Wiegand, 1 RS485; WIEGAND 0-2 (26, 34, 42); RS485 0-3 "
     "(24, 32, 40, 64)",
     Reader(), 3, SetInterface},
    {"set-card-type", "N", "set the card type: 0 EM, 1 VORAX, 2 SECURITY", Reader(), 1,
     SetCardType},
    {"set-key-parity", "N", "set the Wiegand key format: 0 no parity (4 bits), 1 with parity",
     Reader(), 1, SetKeyParity},
    {"set-key-number", "N", "set the key number (0-16)", Reader(), 1, SetKeyNumber},
    {"set-key-status", "N DELAY", "set the key status code (0-8) and its delay (0-99 s)", Reader(),
     2, SetKeyStatus},
    {"factory-default", "", "return the reader to its factory settings", Reader(), 0,
     FactoryDefault},
    {"test", "TEXT", "send TEXT after the prefix and ID once and print the answer", Reader(), 1,
     CommandTest},
    {"read-card", "", "print each card and key until the count, the time or Ctrl-C",
     Reader({"two-way", "count", "seconds", "wait"}), 0, ReadCard, false, true},
    {"enroll", "", "read a box of cards into a CSV list (--output), each new card at once",
     Reader({"output", "count", "seconds", "wiegand", "wait"}), 0, Enroll, false, true},
    {"mifare eeprom-key", "", "store a sector key in the reader's EEPROM",
     Reader({"sector", "key", "use-key-b"}), 0, MifareEepromKey},
    {"mifare id-location", "", "set where on the card the reader takes the card ID",
     Reader({"sector", "block", "byte", "key-error", "use-key-b"}), 0, MifareIdLocation},
    {"mifare read", "", "read a block: its 32 hexadecimal digits",
     Reader({"sector", "block", "key", "use-key-b"}), 0, MifareRead},
    {"mifare write", "", "write a block; a trailer block only if it is consistent",
     Reader({"sector", "block", "key", "use-key-b", "data"}), 0, MifareWrite},
    {"mifare trailer", "", "write a sector trailer with new keys and access bits",
     Reader({"sector", "key", "use-key-b", "new-key-a", "new-key-b", "access"}), 0, MifareTrailer},
    {"mifare dump", "", "read every sector with the key lists and save the card's image",
     Reader({"size", "keys", "no-default-keys", "output", "format", "quiet"}), 0, MifareDump},
    {"mifare restore", "FILE",
     "write a card image onto the card, after a backup of it; data blocks first, the "
     "trailer last, block 0 never",
     Reader({"size", "keys", "no-default-keys", "backup", "allow-permanent", "format", "quiet"}), 1,
     MifareRestore},
    {"mifare format", "", "put every sector back to its delivery state, after a backup",
     Reader({"size", "keys", "no-default-keys", "backup", "allow-permanent", "quiet"}), 0,
     MifareFormat},
    {"mifare issue",
     "TEMPLATE",
     "write the image TEMPLATE onto card after card, each verified and logged in --log FILE",
     {"port", "mode", "type", "id", "verbose", "log", "keys", "no-default-keys", "size",
      "allow-permanent", "count", "number", "again", "quiet"},
     1,
     MifareIssue,
     true},
    {"mifare diff", "A B", "compare two card images block by block", {}, 2, MifareDiff},
    {"mifare convert", "IN OUT", "a card image in another format", {"format"}, 2, MifareConvert},
    {"mifare value decode", "HEX32", "the value and address of a value block", {}, 1, ValueDecode},
    {"mifare value encode",
     "VALUE ADDR",
     "the value block of a value (32 bits) and an address",
     {},
     2,
     ValueEncode},
    {"config read",
     "",
     "the reader's settings as a profile (JSON)",
     {"port", "mode", "type", "lock", "output", "verbose", "log"},
     0,
     ConfigRead},
    {"config apply",
     "FILE",
     "set what differs from the profile FILE, back up the old settings, verify",
     {"port", "type", "lock", "all", "check", "id-from", "verbose", "log"},
     1,
     ConfigApply},
    {"config diff",
     "FILE",
     "compare the reader with the profile FILE; exit 1 when they differ",
     {"port", "type", "lock", "all", "verbose", "log"},
     1,
     ConfigDiff},
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
    {"ports",
     "",
     "each COM number, its device (a USB adapter: what it is) and whether it can be opened",
     {"suggest"},
     0,
     Ports},
    {"watch",
     "",
     "print each serial device plugged in or out until the count, the time or Ctrl-C",
     {"count", "seconds"},
     0,
     Watch,
     false,
     true},
};

} // namespace

std::span<const OptionDef> Options()
{
    return kOptions;
}

const OptionDef* FindOption(const char* name)
{
    for (const OptionDef& d : kOptions)
        if (std::strcmp(d.name, name) == 0)
            return &d;
    return nullptr;
}

QCommandLineOption MakeOption(const OptionDef& d)
{
    QStringList names{QString::fromLatin1(d.name)};
    if (*d.shortName)
        names.prepend(QString::fromLatin1(d.shortName));
    QCommandLineOption o(names, QString::fromLatin1(d.help));
    if (d.valueName)
        o.setValueName(QString::fromLatin1(d.valueName));
    return o;
}

std::span<const Verb> Verbs()
{
    return kVerbs;
}

const Verb* FindVerb(const QString& name)
{
    for (const Verb& v : kVerbs)
        if (name == QLatin1String(v.name))
            return &v;
    return nullptr;
}

bool IsGroup(const QString& prefix)
{
    return !GroupVerbs(prefix).empty();
}

std::vector<const Verb*> GroupVerbs(const QString& prefix)
{
    std::vector<const Verb*> verbs;
    for (const Verb& v : kVerbs)
        if (QLatin1String(v.name).startsWith(prefix + QLatin1Char(' ')))
            verbs.push_back(&v);
    return verbs;
}

} // namespace cli
