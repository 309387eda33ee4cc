#include "scan.h"

#include "link/answers.h"
#include "link/decimal.h"
#include "link/interrupt.h"
#include "link/modelist.h"
#include "link/payload.h"
#include "link/serialport.h"
#include "link/transport.h"
#include "scanfields.h"

namespace reader {

namespace {

constexpr int kStoredPortTries = 3;
constexpr int kSearchTries = 2;
constexpr int kSettingsTries = 2;

// A character that does not convert ends the reads of the type.
struct ConversionError
{
};

int Decimal(const std::string& response, size_t offset, size_t count)
{
    const std::string field = AnswerField(response, offset, count);
    if (auto v = link::ParseDecimal(field); v && field.size() == count)
        return *v;
    throw ConversionError{};
}

int Hex(const std::string& response, size_t offset, size_t count)
{
    const std::string field = AnswerField(response, offset, count);
    if (auto v = HexField(field); v && field.size() == count)
        return *v;
    throw ConversionError{};
}

QString Text(const std::string& response, size_t offset, size_t count)
{
    return link::PayloadText(AnswerField(response, offset, count));
}

bool IdentifyAt00(link::Link& link, const QString& prefix)
{
    const bool ok = link.Exchange(prefix + QStringLiteral("00B"));
    return link::IdentifyAccepted(ok, link.ResponseLength());
}

// The settings of the type, in their order, into `s` as they come. False when
// the interface goes unanswered; a field that does not convert throws, the
// fields before it keeping their values.
bool ReadSettings(link::Link& link, const QString& prefix, const QString& id,
                  const ReaderTypeRow& row, ReaderSettings& s, ScanProgress& progress)
{
    auto command = [&](const char* letters) {
        link.Pause(kCommandPauseMs);
        return link.Exchange(prefix + id + QLatin1String(letters));
    };
    const std::string& r = link.LastResponse();
    for (ScanRead read : row.reads) {
        switch (read) {
        case ScanRead::Interface:
            if (!command("A"))
                return false;
            s.interfaceMode = Decimal(r, 5, 1);
            s.wiegand = Decimal(r, 6, 1);
            s.rs485 = Decimal(r, 7, 1);
            if (row.interfaceHasCardType)
                s.cardType = link.ResponseLength() == 12 ? Decimal(r, 8, 1) : 0;
            break;
        case ScanRead::KeyNumber:
            if (command("L"))
                s.keyNumber = Decimal(r, 5, 2);
            break;
        case ScanRead::KeyParity:
            s.keyParity = command("M") ? Decimal(r, 5, 1) : 1;
            break;
        case ScanRead::KeyStatus:
            if (command("N")) {
                s.keyStatus = Decimal(r, 5, 2);
                s.keyDelay = Decimal(r, 7, 2);
            } else {
                s.keyStatus = 0;
                s.keyDelay = 3;
            }
            break;
        case ScanRead::IdLocation:
            if (command("a")) {
                s.idSector = Hex(r, 7, 2);
                s.idBlock = Hex(r, 9, 2);
                s.idByte = Hex(r, 11, 2);
                s.idKeyB = Hex(r, 13, 2) != 0;
                s.idKeyErr = Hex(r, 15, 2);
            } else {
                // The ID location a reader has from the factory.
                s.idSector = s.idBlock = s.idByte = 0;
                s.idKeyB = false;
                s.idKeyErr = 1;
            }
            break;
        }
        progress.SettingsRead(s);
    }
    return true;
}

} // namespace

std::optional<Identity> IdentifyAnyId(link::Link& link, const QString& prefix, int tries)
{
    for (int t = 0; t < tries && !link::StopRequested(); ++t) {
        if (IdentifyAt00(link, prefix)) {
            const std::string& r = link.LastResponse();
            return Identity{Text(r, 2, 2), Text(r, 5, 8)};
        }
    }
    return std::nullopt;
}

namespace {

// A port this account may not use, or that another program holds, and a
// network port that did not open, whatever the reason: the causes of "no
// reader" that the user can mend.
void NoteRefusal(ScanResult& result, int port, link::OpenError error)
{
    result.anyPort = result.anyPort || error != link::OpenError::Missing;
    if (error != link::OpenError::PermissionDenied && error != link::OpenError::Busy &&
        !link::LooksLikePortUrl(link::PortDevicePath(port)))
        return;
    for (const auto& [p, e] : result.refused)
        if (p == port)
            return;
    result.refused.emplace_back(port, error);
}

} // namespace

ScanResult Scan(link::Link& link, const ScanRequest& request, ScanProgress& progress)
{
    ScanResult result;
    bool found = false;

    // The stored port first, so that a known reader is found again at once.
    if (request.storedPort > 0) {
        progress.ModeSelected(request.storedModeIndex);
        if (link.OpenPort(request.storedPort, request.storedMode)) {
            result.anyPort = true;
            progress.PortTried(request.storedPort);
            for (int t = 0; t < kStoredPortTries && !found; ++t)
                found = IdentifyAt00(link, request.prefix);
            link.ClosePort();
        } else {
            NoteRefusal(result, request.storedPort, link.LastOpenError());
        }
        if (found) {
            result.port = request.storedPort;
            result.modeIndex = request.storedModeIndex;
            result.mode = request.storedMode;
        }
    }

    for (int port = request.firstPort; port <= request.lastPort && !found && !link::StopRequested();
         ++port) {
        // A port whose far end fixes the line setting is tried at one only, as if locked.
        const bool fixed = link::LineSettingFixedAt(link::PortDevicePath(port));
        const bool locked = request.locked || fixed;
        for (int i = 0; i < kSearchedModeCount && !link::StopRequested(); ++i) {
            // A stored index outside the list has no line setting of its own;
            // the lock then holds the search to the default one.
            const bool valid = request.storedModeIndex >= 0 && request.storedModeIndex < kModeCount;
            const int index = locked ? (valid ? request.storedModeIndex : kDefaultModeIndex) : i;
            progress.ModeSelected(index);
            const QString mode =
                link::PayloadText(std::string(kModeList[static_cast<size_t>(index)]));
            if (!link.OpenPort(port, mode)) {
                NoteRefusal(result, port, link.LastOpenError());
                break;
            }
            result.anyPort = true;
            progress.PortTried(port);
            for (int t = 0; t < kSearchTries && !found; ++t) {
                if (IdentifyAt00(link, request.prefix)) {
                    result.port = port;
                    result.mode = mode;
                    result.modeIndex = index;
                    result.foundBySearch = true;
                    progress.FoundBySearch(port, index, mode);
                    found = true;
                }
            }
            link.ClosePort();
            if (found || locked)
                break;
        }
    }
    if (!found)
        return result;

    // Identity, from the accepted 16-byte identify answer.
    result.identified = true;
    result.modeFixed = link::LineSettingFixedAt(link::PortDevicePath(result.port));
    result.serial = Text(link.LastResponse(), 5, 8);
    result.id = Text(link.LastResponse(), 2, 2);
    progress.Identified(result);

    // Settings phase, by the reader's own ID.
    const ReaderTypeRow& row = ReaderTypeFor(request.readerType);
    if (link.OpenPort(result.port, result.mode)) {
        for (int t = 0; t < kSettingsTries; ++t) {
            link.Pause(kCommandPauseMs);
            if (!link.Exchange(request.prefix + result.id + QStringLiteral("V")))
                continue;
            result.version = Text(link.LastResponse(), 5, 8);
            progress.VersionRead(*result.version);
            try {
                result.complete =
                    ReadSettings(link, request.prefix, result.id, row, result.settings, progress);
            } catch (const ConversionError&) {
                progress.SettingsRead(result.settings); // what converted before it
            }
            result.reached = true;
            progress.Reached();
            break;
        }
        link.ClosePort();
    } else {
        result.settingsOpenError = link.LastOpenError();
    }
    return result;
}

} // namespace reader
