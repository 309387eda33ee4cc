#include "handlers.h"

namespace emu {

void AddCardHandlers(std::map<char, Handler>&) {}

} // namespace emu
