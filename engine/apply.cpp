// Placeholder until this unit is written; it does no work.
#include "engine/update_plan.h"
bool applyUpdate(std::string& e) { e = "not built"; return false; }
std::filesystem::path stagingFolder() { return {}; }
