// Placeholder until this unit is written; it does no work.
#include "app/modes.h"
int uninstallMain() { return 1; }
