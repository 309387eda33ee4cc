#pragma once

// The reader scan as a sequence over the link: the search for a reader on the
// ports, its identity, its version and the settings of the selected type.

#include <QString>

#include <optional>
#include <utility>
#include <vector>

#include "link/link.h"
#include "readertypes.h"

namespace reader {

// The settings a scan read, each as the reader reported it; none where it was
// not read. Defaults for unanswered reads are already in place.
struct ReaderSettings
{
    std::optional<int> interfaceMode, wiegand, rs485, cardType;
    std::optional<int> keyNumber, keyParity, keyStatus, keyDelay;
    std::optional<int> idSector, idBlock, idByte, idKeyErr;
    std::optional<bool> idKeyB;
};

struct ScanRequest
{
    QString prefix;     // the reader type's letter
    int readerType = 0; // 0-7; any other: no type
    int storedPort = 0; // tried first with three tries; 0: none
    int storedModeIndex = 5;
    QString storedMode = QStringLiteral("19200,e,8,1");
    bool locked = true; // one line setting per port: the stored one
    int firstPort = 1;  // the ports searched, in order
    int lastPort = 16;
};

struct ScanResult
{
    bool identified = false; // a port and line setting gave an accepted identify
    int port = 0;
    int modeIndex = 0;
    QString mode;
    bool foundBySearch = false; // not on the stored port: the new link is to be saved
    bool modeFixed = false;     // the port's far end fixes the line setting (raw TCP)
    QString serial, id;
    std::optional<QString> version;
    bool reached = false;  // the version was answered at the reader's own ID
    bool complete = false; // and the type's settings were read
    ReaderSettings settings;
    // Why the port did not open again for the settings; None when it did.
    link::OpenError settingsOpenError = link::OpenError::None;
    // Ports whose open was refused while searching (busy, permission denied),
    // each once, in order: a scan that found nothing can say why.
    std::vector<std::pair<int, link::OpenError>> refused;
    // Some port searched was there (it opened, or was refused): without one, the
    // machine has no serial device at all.
    bool anyPort = false;
};

// What a front end shows while the scan runs. Every step is optional.
class ScanProgress
{
public:
    virtual ~ScanProgress() = default;
    virtual void ModeSelected(int index) { (void)index; }
    virtual void PortTried(int port) { (void)port; }
    // Found by the search: the front end saves the new link at this moment.
    virtual void FoundBySearch(int port, int modeIndex, const QString& mode)
    {
        (void)port, (void)modeIndex, (void)mode;
    }
    virtual void Identified(const ScanResult& r) { (void)r; }
    virtual void VersionRead(const QString& version) { (void)version; }
    // After each read of the type's settings, with what the scan knows so far.
    virtual void SettingsRead(const ReaderSettings& s) { (void)s; }
    // The reader answered the version at its own ID.
    virtual void Reached() {}
};

// The whole scan; the port is closed on every path.
ScanResult Scan(link::Link& link, const ScanRequest& request, ScanProgress& progress);

// Identify at "00" on one port and line setting, as the search does: the
// reader's ID and serial number, or none.
struct Identity
{
    QString id, serial;
};
std::optional<Identity> IdentifyAnyId(link::Link& link, const QString& prefix, int tries);

} // namespace reader
