// Placeholder until this unit is written; it does no work.
#include "app/modes.h"
bool launchGame(bool) { return false; }
