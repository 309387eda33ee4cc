// The reader's identity and settings: read with the bare command letter, set with parameters.
#include <array>
#include <cctype>
#include <utility>
#include <vector>

#include "handlers.h"

namespace emu {

namespace {

// Line speeds of the reader's setting codes "0" to "D"; parity does not cross a pty.
constexpr std::array<int, 14> kCodeBauds = {4800,  4800,  9600,  9600,   19200,  19200,  38400,
                                            38400, 57600, 57600, 115200, 115200, 230400, 230400};

bool AllOf(const std::string& s, int (*is)(int))
{
    for (unsigned char c : s)
        if (!is(c))
            return false;
    return !s.empty();
}

bool Digits(const std::string& s, size_t n)
{
    return s.size() == n && AllOf(s, ::isdigit);
}

// Upper-case hexadecimal pairs only, as the tool sends them.
bool HexDigits(const std::string& s, size_t n)
{
    if (s.size() != n)
        return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

Reply Read(std::string fields, bool status = false)
{
    return Reply{std::move(fields), status};
}

Reply Done()
{
    return Reply{"00", true};
}

Reply Refused()
{
    return Reply{"01", true};
}

using Field = std::pair<std::string ReaderModel::*, size_t>;

struct FieldSetting
{
    char letter;
    std::vector<Field> fields;
    bool hex;           // upper-case hexadecimal pairs, else decimal digits
    std::string status; // before the fields in the read answer
};

const FieldSetting kFieldSettings[] = {
    {'L', {{&ReaderModel::keyNumber, 2}}, false, ""},
    {'M', {{&ReaderModel::keyParity, 1}}, false, ""},
    {'N', {{&ReaderModel::keyStatus, 2}, {&ReaderModel::keyDelay, 2}}, false, ""},
    // The ID location: sector, block, byte, key type and key-error indication.
    {'a',
     {{&ReaderModel::idSector, 2},
      {&ReaderModel::idBlock, 2},
      {&ReaderModel::idByte, 2},
      {&ReaderModel::idKeyType, 2},
      {&ReaderModel::idKeyErr, 2}},
     true,
     "00"},
};

} // namespace

void AddSettingHandlers(std::map<char, Handler>& h)
{
    h['B'] = [](ReaderModel& m, const Command& c) -> std::optional<Reply> {
        if (!c.params.empty())
            return std::nullopt;
        return Read(m.serial);
    };
    h['V'] = [](ReaderModel& m, const Command& c) -> std::optional<Reply> {
        if (!c.params.empty())
            return std::nullopt;
        return Read(m.version);
    };
    // "C" + serial + new ID: only for this reader's serial number.
    h['C'] = [](ReaderModel& m, const Command& c) -> std::optional<Reply> {
        if (c.params.size() != 10 || c.params.substr(0, 8) != m.serial)
            return Refused();
        const std::string newId = c.params.substr(8);
        if (m.strictId) {
            m.formerId.clear();
        } else if (m.formerId.empty()) {
            m.formerId = m.id;
        }
        m.id = newId;
        if (m.formerId == m.id)
            m.formerId.clear();
        return Done();
    };
    // "E" + code: the new line setting holds from the next command on, which is a restart.
    h['E'] = [](ReaderModel& m, const Command& c) -> std::optional<Reply> {
        const std::string digits = "0123456789ABCD";
        if (c.params.size() != 1 || digits.find(c.params[0]) == std::string::npos)
            return Refused();
        m.baud = kCodeBauds[digits.find(c.params[0])];
        m.formerId.clear();
        return Done();
    };
    // "A" alone reads; three digits set the interface, one digit the card type.
    h['A'] = [](ReaderModel& m, const Command& c) -> std::optional<Reply> {
        if (c.params.empty())
            return Read(m.interfaceMode + m.wiegand + m.rs485 +
                        (m.interfaceWithCardType ? m.cardType : std::string()));
        if (Digits(c.params, 3)) {
            m.interfaceMode = c.params.substr(0, 1);
            m.wiegand = c.params.substr(1, 1);
            m.rs485 = c.params.substr(2, 1);
            return Done();
        }
        if (Digits(c.params, 1)) {
            m.cardType = c.params;
            return Done();
        }
        return Refused();
    };
    // The settings of fixed-width fields: the bare letter reads them, the letter
    // with all of them set.
    for (const auto& setting : kFieldSettings) {
        h[setting.letter] = [&setting](ReaderModel& m, const Command& c) -> std::optional<Reply> {
            std::string all;
            size_t width = 0;
            for (const auto& [field, size] : setting.fields) {
                all += m.*field;
                width += size;
            }
            if (c.params.empty())
                return Read(setting.status + all, !setting.status.empty());
            if (!(setting.hex ? HexDigits(c.params, width) : Digits(c.params, width)))
                return Refused();
            size_t at = 0;
            for (const auto& [field, size] : setting.fields) {
                m.*field = c.params.substr(at, size);
                at += size;
            }
            return Done();
        };
    }
}

} // namespace emu
