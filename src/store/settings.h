#pragma once

#include <QString>

#include <map>
#include <string>

// The five values that survive from one run to the next, under the
// organisation "VORAX", application "ReaderConfig": the machine-wide store
// first, with the per-user store of the same names for accounts that cannot
// write the machine-wide one.
struct StoredSettings
{
    int readerType = 0;
    int scanCommNo = 0;
    QString scanBaudRate = QStringLiteral("19200,e,8,1");
    int scanBaudRateNo = 5;
    QString language = QStringLiteral("English");
    int languageIndex = 0;
};

// Reads the values in order into `s`, each from the store that saves go to and
// else from the other one, so that the value saved last loads. Missing values
// take their defaults; a value of the wrong type stops the load there, so the
// later values keep what `s` held. Never creates a store.
void LoadStoredSettings(StoredSettings& s);

// Write ReaderType, ScanCommNo, ScanBaudRateNo, ScanBaudRate. Silent on failure.
void SaveStoredScanSettings(int readerType, int scanCommNo, int scanBaudRateNo,
                            const QString& scanBaudRate);
// Write LanguageFlag. Silent on failure.
void SaveStoredLanguage(const QString& language);

// The group "Ports": COMn=device path, for n in 1-16, each number read by the
// same rule as the values above. Numbers out of range, other keys and empty
// paths are left out. A value may also be a port URL, rfc2217://HOST:PORT or
// tcp://HOST:PORT (one that is malformed is refused). An entry whose path is
// neither such a URL nor absolute, and every entry of
// a number named twice (COM3 and COM03), is refused: `refused` says why, by
// number, naming the entry.
struct StoredPortMap
{
    std::map<int, std::string> paths;
    std::map<int, std::string> refused;
};
StoredPortMap LoadStoredPortMap();
// Loads the group and hands it to the link, which maps COM numbers by it;
// with it [Tls] (CaFile, Fingerprint, CertFile, KeyFile: what a TLS port
// trusts and shows where its URL does not say) and [Network] RequireTls
// ("true": a plain network port is refused).
void ApplyStoredPortMap();

// When TESMORA_SETTINGS_DIR is set, both stores are kept in that folder, so
// that a trial run (the demo) leaves the installed tool's settings alone.
// Call before the first store is read.
void UseSettingsDirFromEnvironment();
