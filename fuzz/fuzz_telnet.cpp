// The telnet layer of a network port, fed what a server sends, in any split.
// Input: pairs of bytes, an operation and its argument, from which a server's
// stream is made: data (escaped as the server must, CR as CR NUL while the
// server does not send BINARY), option commands, subnegotiations (the length
// from the argument, the content from the input), other commands, and the
// points where the stream is split between two reads. The data that comes out
// must be the data put in, split or whole, and the answers stay bounded.
#include <cstdint>
#include <string>
#include <vector>

#include "check.h"
#include "link/serialport.h"
#include "link/telnet.h"

namespace {

constexpr uint8_t kIac = 255, kSb = 250, kSe = 240, kWill = 251, kWont = 252, kCr = 13;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string stream, meant;
    std::vector<size_t> splits;
    bool binary = false; // the server sends BINARY (it said WILL, which the client takes)
    for (size_t i = 0; i + 1 < size; i += 2) {
        const uint8_t arg = data[i + 1];
        switch (data[i] % 8) {
        case 0:
        case 1:
        case 2:
        case 3:
            meant += static_cast<char>(arg);
            stream += static_cast<char>(arg);
            if (arg == kIac)
                stream += static_cast<char>(kIac);
            else if (arg == kCr && !binary)
                stream += '\0';
            break;
        case 4: {
            const uint8_t verb = static_cast<uint8_t>(kWill + (arg >> 6));
            const uint8_t option = arg % 48;
            stream += {static_cast<char>(kIac), static_cast<char>(verb), static_cast<char>(option)};
            if (option == link::Telnet::kBinary && (verb == kWill || verb == kWont))
                binary = verb == kWill;
            break;
        }
        case 5: {
            stream += {static_cast<char>(kIac), static_cast<char>(kSb)};
            const size_t length = arg % 80;
            for (size_t k = 0; k < length && i + 2 < size; ++k, ++i) {
                stream += static_cast<char>(data[i + 2]);
                if (data[i + 2] == kIac)
                    stream += static_cast<char>(kIac);
            }
            stream += {static_cast<char>(kIac), static_cast<char>(kSe)};
            break;
        }
        case 6:
            splits.push_back(stream.size());
            break;
        default: // NOP, DM, BRK, IP, AO, AYT, EC, EL, GA
            stream += {static_cast<char>(kIac), static_cast<char>(241 + arg % 9)};
            break;
        }
    }
    splits.push_back(stream.size());

    const auto* bytes = reinterpret_cast<const uint8_t*>(stream.data());
    link::Telnet split, whole;
    split.Start();
    whole.Start();
    std::string out, wholeOut;
    size_t from = 0;
    for (size_t to : splits) {
        split.Feed(bytes + from, to - from, out);
        FUZZ_CHECK(split.TakeAnswers().size() <= link::Telnet::kMaxReplies + 3);
        from = to;
    }
    whole.Feed(bytes, stream.size(), wholeOut);
    FUZZ_CHECK(out == meant);
    FUZZ_CHECK(wholeOut == meant);
    FUZZ_CHECK(split.BinaryIn() == binary);
    // Whatever came, a line request can still be made and answered.
    split.LineRequests(link::LineSetting{9600, 'n', 8, 1}, false);
    FUZZ_CHECK(!split.AllReplied());
    return 0;
}
