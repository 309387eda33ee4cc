#pragma once

// What the command-line tool writes: results on stdout, failures on stderr, or
// both as JSON Lines on stdout; progress on a terminal; and why a port did not
// open.

#include <QJsonObject>
#include <QString>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "link/printable.h"
#include "link/serialport.h"

namespace cli {

// Everything written to stdout and stderr goes through here, one line at a
// time, so that the port workers of a scan over every port never interleave.
class Output
{
public:
    bool json = false;
    // Progress is shown on stderr while this is true (a terminal, plain output).
    bool progress = false;

    void Result(const QString& plain, const QJsonObject& object);
    // As Result, but plain text goes to stderr: where stdout carries data (an
    // image), what is said about it stays out of it.
    void Note(const QString& plain, const QJsonObject& object);
    // `extra` adds keys to the JSON object (a port, say); plain output shows
    // only the error and the reason.
    void Failure(const QString& verb, const QString& error, const QString& reason = {},
                 const QJsonObject& extra = {});
    void Traffic(const QString& line);
    // On stderr as "tesmora-cli: warning: ...", with --json too: stdout
    // carries the results alone.
    void Warning(const QString& text);
    // On stderr as "tesmora-cli: ...", with --json too: what a run is waiting for.
    void Info(const QString& text);
    // One line of progress on the terminal, replaced by the next and cleared
    // before anything else is written.
    void Progress(const QString& text);
    // Why stdout stopped taking lines (a full disk, say; a closed pipe is a
    // stop instead); 0 while it takes them.
    int StdoutError() const { return stdoutError_.load(); }
    // Says on stderr, whatever the format, that the results were not all written.
    void StdoutLost(const QString& verb);

private:
    void Write(FILE* to, const QString& line);
    void ClearProgressLocked();
    std::mutex mu_;
    bool progressShown_ = false;
    std::atomic<int> stdoutError_{0};
};

using link::ControlsEscaped;
using link::ReaderText;

// What to do about a port that did not open, where there is something; "" else.
// The dialout advice, for a device of the group dialout, comes once a run: the
// first call for a refusal gets it; another device is named by whose it is.
QString OpenHint(link::OpenError error, int port);
// Why COMn did not open, with what to do about it where there is something.
QString OpenReason(link::OpenError error, int port = 0);

} // namespace cli
