#include "release/release.h"

const char* releasePublicKey = VARNHOLT_RELEASE_PUBLIC_KEY;
