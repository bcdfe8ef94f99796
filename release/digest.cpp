// BLAKE2b-256 digests of files and of data streamed in chunks, as 64 lower-case hex digits.
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "release/file_guards.h"
#include "release/files.h"
#include "release/release.h"

namespace {

constexpr size_t digestLength = 32;

// The state lives in the object's own bytes, so that release.h need not carry libsodium's header.
crypto_generichash_state* blake2bState(unsigned char* bytes) {
  return reinterpret_cast<crypto_generichash_state*>(bytes);
}

}  // namespace

std::string fileDigest(const std::filesystem::path& path) {
  // O_NONBLOCK so that a FIFO without a writer cannot hang the open; it does not change how
  // a regular file reads.
  FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) return {};
  // Only a regular file has a content to compare: a folder, a FIFO or a device has none, and
  // one like /dev/zero would never end.
  struct stat status;
  if (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) return {};
  DigestStream stream;
  uint64_t count = 0;
  // A read error part way: the bytes so far are not the file's content, and a digest of them
  // would only look like a real answer.
  if (!digestAll(file.get(), stream, count)) return {};
  return finishDigest(stream);
}

// Neither call can fail for an unkeyed 32-byte digest; their results carry no information.
DigestStream::DigestStream() {
  static_assert(sizeof(crypto_generichash_state) <= sizeof state_ && alignof(crypto_generichash_state) <= 64);
  (void)crypto_generichash_init(blake2bState(state_), nullptr, 0, digestLength);
}

void DigestStream::add(const void* data, size_t length) {
  if (length == 0) return;
  (void)crypto_generichash_update(blake2bState(state_), static_cast<const unsigned char*>(data), length);
}

std::string finishDigest(DigestStream& stream) {
  unsigned char digest[digestLength];
  // A second finish is refused by libsodium; an empty text never matches a hash.
  if (crypto_generichash_final(blake2bState(stream.state_), digest, digestLength) != 0) return {};
  return hexText(digest, digestLength);
}
