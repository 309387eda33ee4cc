#include "handlers.h"

namespace emu {

std::optional<std::string> MifareCardId(const ReaderModel&)
{
    return std::nullopt;
}

void AddMifareHandlers(std::map<char, Handler>&) {}

} // namespace emu
