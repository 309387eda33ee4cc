#include "operations.h"

#include <functional>

#include "blocks.h"
#include "link/answers.h"
#include "link/payload.h"
#include "reader/configuration.h"

namespace mifare {

using reader::Send;

namespace {

constexpr int kEepromAnswerLength = 10;

QString KeyCode(bool keyB)
{
    return keyB ? QStringLiteral("61") : QStringLiteral("60");
}

// Up to two attempts of identify, mode on and the block command; mode off once
// at the end, whatever came of them.
bool InMifareMode(CommandLink& link, const Addressee& to, const std::function<bool()>& command)
{
    bool done = false;
    for (int attempt = 0; attempt < reader::kAttempts && !done; ++attempt) {
        link.Pause(reader::kCommandPauseMs);
        if (!reader::Identify(link, to))
            continue;
        Send(link, to, QStringLiteral("b01"));
        done = command();
    }
    Send(link, to, QStringLiteral("b00"));
    return done;
}

bool BlockAnswer(bool exchanged, const CommandLink& link)
{
    return link::StatusAccepted(exchanged, link.LastResponse(), link.ResponseLength(),
                                kBlockAnswerLength);
}

QString BlockData(const CommandLink& link)
{
    return link::PayloadText(link.LastResponse().substr(7, 32));
}

} // namespace

bool WriteKeyToEeprom(CommandLink& link, const Addressee& to, bool keyB, int sector,
                      const QString& key)
{
    return reader::IdentifyThenSet(
        link, to, QStringLiteral("d") + KeyCode(keyB) + Hex2(sector) + key,
        [](bool exchanged, const CommandLink& l) {
            return link::StatusAccepted(exchanged, l.LastResponse(), l.ResponseLength(),
                                        kEepromAnswerLength);
        });
}

bool SetIdLocation(CommandLink& link, const Addressee& to, int sector, int block, int byte,
                   bool keyB, int indication)
{
    return reader::IdentifyThenSet(link, to,
                                   QStringLiteral("a") + Hex2(sector) + Hex2(block) + Hex2(byte) +
                                       Hex2(keyB ? 1 : 0) + Hex2(indication));
}

std::optional<QString> ReadBlock(CommandLink& link, const Addressee& to, bool keyB, int block,
                                 const QString& key, const BlockShown& shown)
{
    std::optional<QString> data;
    InMifareMode(link, to, [&] {
        if (!Send(link, to, QStringLiteral("f") + key))
            return false;
        if (!BlockAnswer(Send(link, to, QStringLiteral("h") + KeyCode(keyB) + Hex2(block)), link))
            return false;
        data = BlockData(link);
        if (shown)
            shown(*data);
        return true;
    });
    return data;
}

std::optional<QString> WriteBlock(CommandLink& link, const Addressee& to, bool keyB, int block,
                                  const QString& key, const QString& data, const BlockShown& shown)
{
    const auto written = link::PayloadBytes(data);
    std::optional<QString> echo;
    InMifareMode(link, to, [&] {
        if (!Send(link, to, QStringLiteral("f") + key))
            return false;
        const bool exchanged =
            Send(link, to, QStringLiteral("i") + KeyCode(keyB) + Hex2(block) + data);
        if (!written || !link::BlockEchoAccepted(exchanged, link.LastResponse(),
                                                 link.ResponseLength(), *written))
            return false;
        echo = BlockData(link);
        if (shown)
            shown(*echo);
        return true;
    });
    return echo;
}

bool WriteTrailer(CommandLink& link, const Addressee& to, bool oldKeyB, const QString& oldKey,
                  int trailerBlock, const QString& contents)
{
    return InMifareMode(link, to, [&] {
        return BlockAnswer(
            Send(link, to,
                 QStringLiteral("i") + KeyCode(oldKeyB) + oldKey + Hex2(trailerBlock) + contents),
            link);
    });
}

} // namespace mifare
