// The window's link operations: the port and the framed request/response exchange.
#include <QCoreApplication>

#include <string_view>
#include <thread>

#include "frmmodule.h"
#include "link/frame.h"
#include "link/payload.h"
#include "link/ticks.h"

bool TfrmModule::OpenPort(int n, const QString& mode)
{
    return Port.Open(n, mode.toStdString());
}

void TfrmModule::ClosePort()
{
    Port.Close();
}

bool TfrmModule::WriteByte(uint8_t b)
{
    return Port.WriteByte(b);
}

bool TfrmModule::WriteBuffer(const uint8_t* data, size_t count)
{
    return Port.WriteBuffer(data, count);
}

void TfrmModule::PurgePort()
{
    Port.Purge();
}

bool TfrmModule::ReadByte(uint8_t& b)
{
    const auto got = Port.ReadByte();
    if (!got)
        return false;
    b = *got;
    return true;
}

bool TfrmModule::Exchange(const QString& payload)
{
    // A payload that no frame can carry (over-long, or a character without a
    // single-byte form) is refused before anything is sent or shown.
    const auto bytes = link::PayloadBytes(payload);
    if (!bytes)
        return false;
    const std::string_view text(*bytes);
    const auto frame = link::BuildCommandFrame(text);
    if (!frame)
        return false;

    Receive.Clear();
    std::this_thread::yield();

    const auto* frameBytes = reinterpret_cast<const uint8_t*>(frame->data());
    const size_t n = text.size();
    WriteByte(frameBytes[0]);
    WriteBuffer(frameBytes + 1, n);
    WriteByte(frameBytes[n + 1]);
    WriteByte(frameBytes[n + 2]);
    WriteByte(frameBytes[n + 3]);

    SetCommPanel(0, link::PayloadText(link::SentDisplay(text)));

    // Whatever arrived before this point is not an answer to this command. The
    // window gets its turn only after the purge: a repaint before it could take
    // longer than the reader's turnaround, and its answer would be purged too.
    PurgePort();
    QCoreApplication::processEvents();
    std::this_thread::yield();
    ResponseLength = 0;
    const uint32_t start = link::TickCount();
    int32_t elapsed = 0;
    bool result = false;

    for (;;) {
        uint8_t b = 0;
        if (ReadByte(b)) {
            const auto fed = Receive.Feed(b);
            ResponseLength = Receive.Length();
            // A full buffer holds no frame that could still end: the answer is
            // refused as it stands, and the panel shows what came.
            if (fed == link::Fed::Full)
                break;
            if (fed == link::Fed::Complete) {
                LastResponse = Receive.Text();
                result = link::ResponseChecksumValid(Receive.Data(),
                                                     static_cast<size_t>(ResponseLength));
                break;
            }
        } else {
            // Keep the window alive while waiting.
            QCoreApplication::processEvents();
        }
        // The deadline also holds while bytes keep coming: a line that streams
        // noise without a pause must not hold the window forever.
        elapsed = link::TickDifference(start, link::TickCount());
        if (elapsed > link::kResponseDeadlineMs) {
            result = false;
            break;
        }
    }

    SetCommPanel(1, QString::fromStdString(link::ReceivedDisplay(
                        Receive.Data(), static_cast<size_t>(ResponseLength))));
    QCoreApplication::processEvents();
    return result;
}
