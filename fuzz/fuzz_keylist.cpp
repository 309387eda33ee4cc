// Key files a user was handed. Property: the keys read, saved one a line and
// read again are the same keys, each 12 upper-case hexadecimal digits.
#include <QStringList>

#include <cstdint>

#include "check.h"
#include "mifare/blocks.h"
#include "mifare/keylist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QString error;
    const auto keys = mifare::ParseKeyFile(
        QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)), "keys.txt", &error);
    FUZZ_CHECK(keys.has_value() == error.isEmpty());
    if (!keys)
        return 0;
    for (const QString& key : *keys)
        FUZZ_CHECK(mifare::HexDigits(key, 12));
    const auto again = mifare::ParseKeyFile(keys->join(u'\n').toLatin1(), "keys.txt");
    FUZZ_CHECK(again.has_value() && *again == *keys);
    return 0;
}
