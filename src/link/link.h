#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <string>

#include "link/commandlink.h"
#include "link/responsecollector.h"
#include "link/serialport.h"
#include "link/transport.h"

inline namespace tesmora {
namespace link {

// How one exchange ended.
enum class Outcome {
    Accepted,    // a complete frame with a valid checksum
    BadChecksum, // a complete frame whose checksum is wrong
    Deadline,    // no complete frame within the deadline
    Overflow,    // the answer filled the receive buffer without ending
    Refused,     // a payload no frame can carry: nothing was sent
    Interrupted, // a stop was requested (a signal): nothing was sent, or the wait cut short
};
const char* OutcomeText(Outcome outcome);

// What the link reports: frames sent, bytes received with the exchange's
// outcome, and what became of the port. Called on the link's own thread.
class LinkObserver
{
public:
    virtual ~LinkObserver() = default;
    // The frame as the status bar shows it: "[09]A00B0A[0D]".
    virtual void FrameSent(const std::string& display) { (void)display; }
    // The bytes that came ("" when none), and how the exchange ended; `count`
    // is the number of bytes received.
    virtual void BytesReceived(const std::string& display, Outcome outcome, int count)
    {
        (void)display, (void)outcome, (void)count;
    }
    virtual void PortOpened(int port, const std::string& mode, const std::string& path)
    {
        (void)port, (void)mode, (void)path;
    }
    virtual void PortFailed(int port, const std::string& mode, const std::string& path,
                            OpenError error)
    {
        (void)port, (void)mode, (void)path, (void)error;
    }
    virtual void PortClosed(int port) { (void)port; }
    // A MIFARE key is about to cross the network unencrypted, to `path`
    // (a plain port URL): once an open.
    virtual void KeysInClear(int port, const std::string& path) { (void)port, (void)path; }
    // A reading run lost its reader, unplugged, and waits for the same device.
    virtual void ReaderUnplugged(int port) { (void)port; }
    // The device came back, at `path`: the port is open again and the run goes on.
    virtual void ReaderBack(int port, const std::string& path) { (void)port, (void)path; }
    // The wait was given up (a stop) without it.
    virtual void ReaderGivenUp(int port) { (void)port; }
};

// The port, the response collector and the framed exchange with its 300 ms
// deadline. While it waits it runs the event hook (the window's one pass of
// window events; nothing for the command-line tool), so that a front end stays
// alive. One link per thread.
class Link final : public CommandLink
{
public:
    Link() = default;
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    ~Link() override;

    void SetObserver(LinkObserver* observer) { observer_ = observer; }
    // The hook also runs while a network port waits on its server.
    void SetEventHook(std::function<void()> hook)
    {
        hook_ = std::move(hook);
        port_->SetIdle(hook_);
    }
    // One pass of the front end's events.
    void ProcessEvents() const;
    // A front end's events run in the waits (the window): they are to be short.
    bool HasEventHook() const { return bool(hook_); }

    // Opens "COMn" exclusively with a line setting; false when it cannot be opened.
    // COMn is a local device or, where the port map says so, a network port:
    // the transport behind it is chosen here, and nothing above tells them apart.
    bool OpenPort(int n, const QString& mode);
    // Opens the number of the last open again with its line setting, at `path`:
    // its device come back after an unplug, perhaps under another name.
    bool Reopen(const std::string& path);
    void ClosePort();
    // The device path or URL of the last open.
    const std::string& PortPath() const { return path_; }
    // The observer is told that the run's reader was unplugged and is waited
    // for, and then that it is back or that the wait was given up.
    void TellUnplugged();
    void TellBack();
    void TellGivenUp();
    bool PortIsOpen() const { return port_->IsOpen(); }
    // True when the port was lost while open (hung up, the connection closed):
    // what a run read then is not to be taken as complete.
    bool PortLost() const { return port_->Lost(); }
    // True when the open port's far end fixes the line setting (raw TCP).
    bool LineSettingFixed() const { return port_->LineSettingFixed(); }
    OpenError LastOpenError() const { return lastOpenError_; }
    int PortNumber() const { return portNumber_; }

    bool Exchange(const QString& payload) override;
    const std::string& LastResponse() const override { return lastResponse_; }
    int ResponseLength() const override { return responseLength_; }
    Outcome LastOutcome() const { return lastOutcome_; }
    bool FrameSent() const override { return frameSent_; }
    // Waits, running the event hook about every millisecond.
    void Pause(int ms) override;
    void KeysFollow() override;

private:
    bool OpenAt(int n, const std::string& path, const QString& mode);

    // Never null: a closed one until the first open, then the last one opened.
    std::unique_ptr<Transport> port_ = std::make_unique<SerialPort>();
    ResponseCollector receive_;
    std::string lastResponse_;
    int responseLength_ = 0;
    Outcome lastOutcome_ = Outcome::Deadline;
    bool frameSent_ = false; // the last Exchange wrote its frame
    OpenError lastOpenError_ = OpenError::None;
    int portNumber_ = 0;
    std::string path_;
    QString mode_;
    bool keysWarned_ = false;
    LinkObserver* observer_ = nullptr;
    std::function<void()> hook_;
};

} // namespace link
} // namespace tesmora
