// Placeholder until this unit is written; it does no work.
#include "release/release.h"
std::string fileDigest(const std::filesystem::path&) { return {}; }
DigestStream::DigestStream() {}
void DigestStream::add(const void*, size_t) {}
std::string finishDigest(DigestStream&) { return {}; }
