// Placeholder until this unit is written; it does no work.
#include "engine/update_plan.h"
bool checkForUpdate(std::string& e) { e = "not built"; return false; }
