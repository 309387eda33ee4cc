// A command frame against the response check. Input: two bytes choosing the
// byte to change, one byte to change it by, then the payload.
#include <QString>

#include <cstdint>
#include <string>

#include "check.h"
#include "link/frame.h"
#include "link/payload.h"

namespace {

// Worked out here rather than taken from the code under test.
std::string Hex2(unsigned v)
{
    static const char digits[] = "0123456789ABCDEF";
    return {digits[v >> 4 & 0x0F], digits[v & 0x0F]};
}

bool Valid(const std::string& frame)
{
    return link::ResponseChecksumValid(reinterpret_cast<const uint8_t*>(frame.data()),
                                       frame.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const size_t at = data[0] | size_t(data[1]) << 8;
    const auto by = static_cast<uint8_t>(data[2] == 0 ? 1 : data[2]);
    const std::string payload(reinterpret_cast<const char*>(data + 3), size - 3);

    const auto frame = link::BuildCommandFrame(payload);
    FUZZ_CHECK(frame.has_value() == (payload.size() <= link::kMaxPayload));
    if (!frame)
        return 0;
    unsigned x = 0;
    bool printable = true;
    for (char c : payload) {
        x ^= uint8_t(c);
        printable = printable && uint8_t(c) >= 0x20 && uint8_t(c) <= 0x7F;
    }
    FUZZ_CHECK(*frame == "\t" + payload + Hex2(x ^ 0x09) + "\r");
    if (printable)
        FUZZ_CHECK(
            link::SentDisplay(payload) ==
            link::ReceivedDisplay(reinterpret_cast<const uint8_t*>(frame->data()), frame->size()));
    // Every payload the frame carries comes back from its text unchanged.
    const auto bytes = link::PayloadBytes(link::PayloadText(payload));
    FUZZ_CHECK(bytes && *bytes == payload);

    // The same frame as a response: 0x0A in front, the checksum over it.
    std::string response = *frame;
    response[0] = '\n';
    response.replace(response.size() - 3, 2, Hex2(x ^ 0x0A));
    FUZZ_CHECK(Valid(response));

    // One changed byte anywhere is caught: by the checksum, or the frame has
    // lost its start or its end.
    std::string changed = response;
    changed[at % changed.size()] = static_cast<char>(uint8_t(changed[at % changed.size()]) ^ by);
    FUZZ_CHECK(!Valid(changed) || changed.front() != '\n' || changed.back() != '\r');
    return 0;
}
