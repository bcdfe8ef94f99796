// Placeholder until this unit is written; it does no work.
#include "engine/update_plan.h"
void readInstalledState() {}
