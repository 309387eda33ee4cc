// The card image files a user was handed. Input: one byte choosing the format
// (MCT, binary, JSON), then the file. Property: what is read, written and read
// again is the same image, written the same way.
#include <cstdint>

#include "check.h"
#include "mifare/dumpfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const auto format = mifare::DumpFormat(data[0] % 3);
    QString error;
    const auto image = mifare::ReadDump(
        QByteArray(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1)), format, &error);
    FUZZ_CHECK(image.has_value() == error.isEmpty());
    if (!image)
        return 0;
    const QByteArray written = mifare::WriteDump(*image, format);
    const auto again = mifare::ReadDump(written, format, &error);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(*again == *image);
    FUZZ_CHECK(mifare::WriteDump(*again, format) == written);
    return 0;
}
