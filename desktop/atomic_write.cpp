// Placeholder until this unit is written; it does no work.
#include "desktop/desktop.h"
bool writeFileAtomically(const std::filesystem::path&, std::string_view) { return false; }
