#pragma once

// An emulated card reader on a pseudo-terminal, for the end-to-end tests and the demo.
//
// The emulator owns the master side of a pty and puts a link COMn to the slave side into a
// port directory, where the tool finds it through TESMORA_PORT_DIR. It keeps its own slave
// descriptor open, so that it sees the line settings the tool applies and the pty does not
// hang up when the tool closes the port between operations.
//
// The frame and checksum code here is deliberately separate from the tool's: a fault in the
// tool's framing must not be mirrored by its test partner. No Qt, so the executable stays small.

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cardqueue.h"
#include "cards.h"
#include "mifare.h"

namespace emu {

// The reader as the tool sees it. Every field may be set by a test, also while running
// (SetModel). Setting fields are raw text so that a test can put non-digits into them.
struct ReaderModel
{
    char prefix = 'A';      // letter of the reader type it answers to
    bool anyPrefix = false; // demo: answers to A, H, J and I, echoing the letter addressed
    std::string id = "01";  // identify is also answered at "00"; everything else only here
    std::string serial = "12345678";
    std::string version = "05.00-01";
    int baud = 19200; // answers only while the tool's line speed equals this (parity: see below)

    // "A": mode, Wiegand, RS-485 and (if interfaceWithCardType) card type at 5, 6, 7, 8.
    std::string interfaceMode = "0";
    std::string wiegand = "0";
    std::string rs485 = "1";
    std::string cardType = "0";
    bool interfaceWithCardType = true; // 12-byte answer; false gives 11 bytes
    std::string keyNumber = "04";      // "L": 5-6
    std::string keyParity = "0";       // "M": 5
    std::string keyStatus = "00";      // "N": 5-6
    std::string keyDelay = "03";       // "N": 7-8
    // "a": status "00" at 5-6, then these hex pairs at 7-8, 9-10, 11-12, 13-14, 15-16.
    std::string idSector = "00";
    std::string idBlock = "00";
    std::string idByte = "00";
    std::string idKeyType = "00";
    std::string idKeyErr = "01";

    // A "C" makes the old ID the former one: the reader answers at both until it restarts
    // (a line-setting change counts), then at the new ID only. Strict: the new ID at once.
    std::string formerId;
    bool strictId = false;

    // Command letters (or whole command texts, letter plus parameters) that get no answer.
    std::set<std::string> silentCommands;
    // Whole command texts (letter plus parameters) answered with status "01", changing nothing.
    std::set<std::string> errorCommands;
    // Whole command texts answered with status "00", changing nothing.
    std::set<std::string> ignoredCommands;

    // Cards and keys presented to "F" and "I" (cards.h).
    CardScript cards;
    // A box of cards over time (cardqueue.h): "F" and "I" see its EM numbers once the script
    // is used up, and its MIFARE cards take the field in turn.
    CardQueue queue;
    // MIFARE readers: the EEPROM key store, the loaded key and the card in the field (mifare.h).
    MifareReader mifare;
    // Never answers anything; the commands are still traced (a port with nothing behind it).
    bool dead = false;
    // Commands it does not know get status "01" instead of silence (the demo's command test).
    bool answerUnknown = false;
};

// A pty cannot carry parity (the driver clears PARENB), so parity is never compared and the
// wire time uses the bits the tty reports: start + data + parity + stop bits per byte.
struct Options
{
    bool fast = false;    // no wire timing; the turnaround still applies
    int turnaroundMs = 3; // the reader's think time between command and answer
};

enum class Fault {
    None,
    NoAnswer,
    BadChecksum,       // checksum off by one bit, still upper-case hex
    LowerCaseChecksum, // visible only when the checksum has a letter digit (A-F)
    StrayByte,         // 0x00 before the frame
    ShortByOne,        // last answer byte dropped, checksum recomputed (a 15-byte identify)
    LongByOne,         // one answer byte '0' added, checksum recomputed (a 17-byte identify)
    Late,              // the answer starts 350 ms after the command, past the tool's deadline
    // Acts as NoAnswer for the command. An answer that beats the tool's purge cannot be timed
    // from here reliably, so a test puts it on the line itself first: InjectNow(bytes), then
    // WaitPendingToTool(bytes.size(), ...) until the bytes wait on the tool's side, then lets
    // the tool run its exchange with this fault armed.
    EarlyAnswer,
    PartialThenSilence, // the first half of the frame, then nothing
    HangUp,             // the first half of the frame, then the master closes: the device is gone
                        // for good (the thread stops and the link is removed)
    BadStatus,          // valid frame whose status at 5-6 is "01"; answers without a status
                        // field are sent unchanged (the fault is still used up)
    LinkRemoved,        // the whole answer, the COM link gone before its last byte: the port
                        // no longer opens, while a tool that has it open can go on using it
    OtherData,          // a block answer with status "00" whose data's last digit is changed
};

struct TraceEntry
{
    enum Kind { Received, Sent } kind;
    // Received: the payload between 0x09 and the checksum. Sent: the bytes put on the line.
    std::string bytes;
    // Received: when the frame's 0x0D arrived. Sent: when its first byte was written.
    std::chrono::steady_clock::time_point time;
    bool baudMatched = true; // Received: the tool's line speed equalled the model's
    bool checksumOk = true;  // Received: the command's checksum was right (else: not answered)
    // Sent: when its last byte was written. Received: as time.
    std::chrono::steady_clock::time_point end;
};

// A command as addressed: prefix letter, two ID characters, command letter, parameters.
struct Command
{
    char prefix = 0;
    std::string id;
    char letter = 0;
    std::string params; // everything after the command letter, e.g. "01" of "b01"
};

// What a handler answers: the fields from offset 5 on. status marks answers whose offsets 5-6
// are a status, which the BadStatus fault spoils.
struct Reply
{
    std::string fields;
    bool status = false;
    Fault fault = Fault::None; // how to spoil this answer, when no armed fault applies
};

// Handlers may change the model (set commands will). nullopt means no answer.
using Handler = std::function<std::optional<Reply>(ReaderModel&, const Command&)>;

class ReaderEmulator
{
public:
    explicit ReaderEmulator(ReaderModel m = {}, Options o = {});
    ~ReaderEmulator();
    ReaderEmulator(const ReaderEmulator&) = delete;
    ReaderEmulator& operator=(const ReaderEmulator&) = delete;

    // Opens the pty and links portDir/COM<comNumber> to its slave (an existing entry of that
    // name is replaced). False, with LastError(), when any step fails; nothing is left behind.
    bool Start(const std::string& portDir, int comNumber);
    // Stops the thread, closes the pty and removes the link. Safe to call twice.
    void Stop();
    bool Running() const;
    bool HungUp() const;          // a HangUp fault has closed the line
    std::string LinkPath() const; // portDir/COMn, also after Stop or a hang-up
    std::string SlavePath() const;
    std::string LastError() const;

    // From the next Start on, every well-formed command's payload is appended to this file,
    // a line each, as it arrives (whatever the line speed): another process can see what was
    // sent. Empty: no file.
    void SetTraceFile(const std::string& path);

    void SetModel(const ReaderModel& m);
    ReaderModel Model() const;
    // Replaces the handler of a command letter; the built-in ones cover B, V, A, L, M, N, a.
    // Commands without a handler get no answer, as from a reader that does not know them.
    void SetHandler(char letter, Handler h);

    // Faults queue up in the order armed; each answer takes the first armed fault that fits.
    // ArmFault fits any answer; ArmFaultFor only answers to that command letter.
    void ArmFault(Fault f, int count = 1);
    void ArmFaultFor(char letter, Fault f, int count = 1);
    void ClearFaults();

    // The next command received at the right line speed, known or not, is answered with
    // exactly these bytes (no framing added), with the usual wire timing.
    void SetNextRawAnswer(const std::string& bytes);

    // Writes bytes to the line at once, without wire timing (traced as Sent).
    bool InjectNow(const std::string& bytes);
    // True once at least `bytes` bytes wait unread on the tool's side of the line.
    bool WaitPendingToTool(int bytes, int timeoutMs) const;
    // The frame the current model would answer to this payload, without faults and whatever
    // the line speed; empty when it would not answer.
    std::string BuildAnswerFor(const std::string& payload) const;

    std::vector<TraceEntry> Trace() const;
    void ClearTrace();
    // Payloads of the well-formed commands received, whatever the line speed.
    std::vector<std::string> ReceivedPayloads() const;

private:
    struct Outgoing
    {
        std::string bytes;
        std::chrono::steady_clock::time_point start; // transmission begins
        std::chrono::nanoseconds byteTime{0};        // zero: all at once
        size_t written = 0;
        std::chrono::steady_clock::time_point firstWrite;
        bool hangUpAfter = false;
        bool unlinkAfter = false;
    };
    struct ArmedFault
    {
        Fault fault;
        int count;
        char letter; // 0: any answer
    };

    void Run();
    void OnBytesLocked(const char* data, size_t n, std::chrono::steady_clock::time_point now);
    void OnFrameLocked(std::chrono::steady_clock::time_point now);
    void WritePendingLocked(std::chrono::steady_clock::time_point now);
    std::chrono::steady_clock::time_point NextDueLocked() const;
    void HangUpLocked();
    void CountCommandLocked(const std::string& payload, std::chrono::steady_clock::time_point now);
    void UnlinkLocked();
    struct Answer
    {
        std::string body; // the bytes between 0x0A and the checksum
        bool status = false;
        char letter = 0;
        Fault fault = Fault::None;
    };
    std::optional<Answer> AnswerLocked(ReaderModel& model, const std::string& payload) const;
    Fault TakeFaultLocked(char letter);
    void CloseAllLocked();

    mutable std::mutex mu_;
    ReaderModel model_;
    Options options_;
    std::map<char, Handler> handlers_;
    std::deque<ArmedFault> faults_;
    std::optional<std::string> rawNext_;
    std::vector<TraceEntry> trace_;
    std::deque<Outgoing> out_;

    int master_ = -1;
    int slave_ = -1;
    int wake_ = -1; // eventfd: stop
    std::string traceFile_;
    int traceFd_ = -1;
    std::string link_; // kept after Stop, so a test can see that it is gone
    bool linked_ = false;
    std::string slavePath_;
    std::string error_;
    bool hungUp_ = false;
    bool hangUpPending_ = false; // the partial frame is out; close once the tool has read it
    std::chrono::steady_clock::time_point hangUpWritten_;
    std::chrono::steady_clock::time_point lastLineWrite_; // of the last byte put on the line

    // Frame being received.
    std::string rx_;
    bool inFrame_ = false;
    std::chrono::steady_clock::time_point rxFirst_;

    std::thread thread_;
};

// A pty with a link COMn whose far side never answers. Commands are still traced.
class DeadPort : public ReaderEmulator
{
public:
    DeadPort();
};

// Holds a port as another program would: open, flock(LOCK_EX) and TIOCEXCL.
class HeldPort
{
public:
    explicit HeldPort(const std::string& path);
    ~HeldPort();
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Line speed in bits per second for a termios speed constant; 0 if unknown.
int SpeedToBaud(unsigned speed);

} // namespace emu
