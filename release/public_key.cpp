#include "release/release.h"

const char* const releasePublicKey = VARNHOLT_RELEASE_PUBLIC_KEY;
