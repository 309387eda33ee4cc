// The MIFARE verbs: the reader's key store and ID location, blocks and
// trailers; and the access bits, which need no reader.
#include <QJsonObject>

#include <array>

#include "cli.h"
#include "mifare/accessbits.h"
#include "mifare/accessrights.h"
#include "mifare/blocks.h"
#include "mifare/operations.h"
#include "verb.h"

namespace cli {

namespace {

// The link as a block operation sees it, keeping the answer to its block
// command ("h" or "i"), which the mode off after it would hide.
class BlockWatch final : public link::CommandLink
{
public:
    explicit BlockWatch(link::CommandLink& l) : l_(l) {}
    bool Exchange(const QString& payload) override
    {
        const bool ok = l_.Exchange(payload);
        // Prefix, two ID characters, then the command letter.
        if (payload.size() > 3 && (payload[3] == u'h' || payload[3] == u'i'))
            answer = ok ? l_.LastResponse() : std::string();
        return ok;
    }
    const std::string& LastResponse() const override { return l_.LastResponse(); }
    int ResponseLength() const override { return l_.ResponseLength(); }
    void Pause(int ms) override { l_.Pause(ms); }
    bool FrameSent() const override { return l_.FrameSent(); }
    void KeysFollow() override { l_.KeysFollow(); }
    std::string answer; // "" where none came

private:
    link::CommandLink& l_;
};

// What a block answer said, where it said no: its status and what it means.
QString BlockRefusal(const std::string& answer)
{
    const std::string status = answer.size() >= 7 ? answer.substr(5, 2) : std::string();
    if (status.empty())
        return {};
    if (status != "00")
        return QStringLiteral("the reader answered status %1: authentication or access refused")
            .arg(ReaderText(QString::fromLatin1(status)));
    return QStringLiteral("the reader answered status 00, but echoed other data than was written");
}

int PrintBlock(
    Context& c,
    const std::function<std::optional<QString>(link::CommandLink&, const Addressee&)>& op)
{
    std::optional<QString> data;
    const int code = WithReader(c, [&](link::Link& l, const Addressee& to) {
        BlockWatch watch(l);
        data = op(watch, to);
        if (!data)
            c.refusal = BlockRefusal(watch.answer);
        return data.has_value();
    });
    if (code == kExitOk)
        c.out.Result(ReaderText(*data), {{"verb", c.Name()}, {"data", *data}});
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
            plain += QStringLiteral(" (%1)").arg(mifare::ConditionWords(b, conditions[size_t(b)]));
    }
    o.insert("conditions", cs);
    if (words) {
        // Key B that can be read is no key: "key A or key B" then means key A.
        const mifare::Condition t = conditions[3];
        if (mifare::KeyBReadable(t)) {
            plain +=
                QStringLiteral("\nnote: key B can be read, so it cannot serve to authenticate");
            o.insert("note", "key B can be read, so it cannot serve to authenticate");
        }
        QJsonObject w;
        for (int b = 0; b < 4; ++b)
            w.insert(QLatin1String(kBlockNames[b]),
                     mifare::ConditionWords(b, conditions[size_t(b)]));
        o.insert("words", w);
    }
    c.out.Result(plain, o);
    return kExitOk;
}

} // namespace

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

int MifareRead(Context& c)
{
    const int sector = c.RequiredInt("sector", 0, 39);
    const int block = c.RequiredInt("block", 0, 3);
    const QString key = c.Hex("key", 12);
    const bool keyB = c.Flag("use-key-b");
    return PrintBlock(c, [&](link::CommandLink& l, const Addressee& to) {
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
    return PrintBlock(c, [&](link::CommandLink& l, const Addressee& to) {
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

} // namespace cli
