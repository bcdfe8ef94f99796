// Block indexes: librsync computes the sums and finds the blocks; this file frames them and reads
// librsync's delta commands to learn where each found block lies.
#include "release/block_index.h"

#include <unistd.h>

#include <librsync.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr char indexMagic[8] = {'V', 'H', 'B', 'L', 'K', 'I', 'D', 'X'};
constexpr uint32_t indexVersion = 1;
constexpr size_t librsyncHeaderSize = 12;
constexpr size_t seedReadSize = 262144;
constexpr size_t deltaOutputSize = 65536;

uint64_t readBigEndian(const unsigned char* bytes, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value = (value << 8) | bytes[i];
  return value;
}

void appendBigEndian(std::string& out, uint64_t value, size_t width) {
  for (size_t i = width; i > 0; --i) out.push_back(static_cast<char>((value >> (8 * (i - 1))) & 0xff));
}

bool isPowerOfTwo(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

void quiet(rs_loglevel, char const*) {}

struct JobFreed {
  rs_job_t* job;
  ~JobFreed() {
    if (job) rs_job_free(job);
  }
};

struct SignatureFreed {
  rs_signature_t* signature = nullptr;
  ~SignatureFreed() {
    if (signature) rs_free_sumset(signature);
  }
};

// Reads fd into the input side of buffers (keeping what the job left unread) and runs the job
// until it needs more; output goes to onOutput. Ends at the end of the file.
bool driveFromFile(rs_job_t* job, int fd, const std::function<bool(const char*, size_t)>& onOutput,
                   const std::atomic<bool>* stop, uint64_t& bytesRead, std::string& error) {
  bytesRead = 0;
  std::unique_ptr<char[]> input(new char[seedReadSize]);
  std::unique_ptr<char[]> output(new char[deltaOutputSize]);
  rs_buffers_t buffers{};
  buffers.next_in = input.get();
  for (;;) {
    if (!buffers.eof_in && buffers.avail_in < seedReadSize) {
      if (stop && stop->load()) {
        error = "stopped";
        return false;
      }
      if (buffers.avail_in > 0 && buffers.next_in != input.get()) {
        std::memmove(input.get(), buffers.next_in, buffers.avail_in);
      }
      buffers.next_in = input.get();
      const ssize_t count = ::read(fd, input.get() + buffers.avail_in, seedReadSize - buffers.avail_in);
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) {
        error = std::string("could not read (") + std::strerror(errno) + ")";
        return false;
      }
      if (count == 0) buffers.eof_in = 1;
      buffers.avail_in += static_cast<size_t>(count);
      bytesRead += static_cast<uint64_t>(count);
    }
    buffers.next_out = output.get();
    buffers.avail_out = deltaOutputSize;
    const rs_result result = rs_job_iter(job, &buffers);
    const size_t produced = deltaOutputSize - buffers.avail_out;
    if (produced > 0 && !onOutput(output.get(), produced)) {
      error = "stopped";
      return false;
    }
    if (result == RS_DONE) return true;
    if (result != RS_BLOCKED) {
      error = rs_strerror(result);
      return false;
    }
  }
}

// Reads the commands of a librsync delta of the seed against the index's signature: a literal
// is seed bytes the file lacks, a copy is seed bytes found at a position of the file.
class DeltaReader {
 public:
  DeltaReader(uint64_t fileSize, const std::function<bool(const BlockMatch&)>& onMatch)
      : fileSize_(fileSize), onMatch_(onMatch) {}

  bool feed(const char* data, size_t length) {
    while (length > 0) {
      if (literalLeft_ > 0) {
        const uint64_t skipped = literalLeft_ < length ? literalLeft_ : length;
        literalLeft_ -= skipped;
        seedOffset_ += skipped;
        data += skipped;
        length -= static_cast<size_t>(skipped);
        continue;
      }
      if (ended_) return false;  // nothing may follow the end
      command_[commandLength_++] = static_cast<unsigned char>(*data++);
      --length;
      const size_t needed = commandSize();
      if (needed == 0) return false;
      if (commandLength_ < needed) continue;
      if (!run()) return false;
      commandLength_ = 0;
    }
    return true;
  }
  bool ended() const { return ended_ && literalLeft_ == 0; }
  bool refused() const { return refused_; }

 private:
  static size_t width(size_t index) { return size_t{1} << index; }

  // The whole command's length as far as its first byte tells; 0 for an unknown command.
  size_t commandSize() const {
    if (!magicSeen_) return 4;
    const unsigned op = command_[0];
    if (op <= 0x40) return 1;
    if (op <= 0x44) return 1 + width(op - 0x41);
    if (op <= 0x54) return 1 + width((op - 0x45) / 4) + width((op - 0x45) % 4);
    return 0;
  }

  bool run() {
    if (!magicSeen_) {
      if (readBigEndian(command_, 4) != RS_DELTA_MAGIC) return false;
      magicSeen_ = true;
      return true;
    }
    const unsigned op = command_[0];
    if (op == 0) {
      ended_ = true;
    } else if (op <= 0x40) {
      literalLeft_ = op;
    } else if (op <= 0x44) {
      literalLeft_ = readBigEndian(command_ + 1, width(op - 0x41));
    } else {
      const size_t positionWidth = width((op - 0x45) / 4);
      const uint64_t position = readBigEndian(command_ + 1, positionWidth);
      uint64_t length = readBigEndian(command_ + 1 + positionWidth, width((op - 0x45) % 4));
      const uint64_t seedOffset = seedOffset_;
      seedOffset_ += length;
      if (position >= fileSize_) return true;
      if (length > fileSize_ - position) length = fileSize_ - position;
      if (length > 0 && !onMatch_(BlockMatch{seedOffset, position, length})) {
        refused_ = true;
        return false;
      }
    }
    return true;
  }

  const uint64_t fileSize_;
  const std::function<bool(const BlockMatch&)>& onMatch_;
  unsigned char command_[17] = {};
  size_t commandLength_ = 0;
  bool magicSeen_ = false;
  bool ended_ = false;
  bool refused_ = false;
  uint64_t literalLeft_ = 0;
  uint64_t seedOffset_ = 0;
};

}  // namespace

uint64_t blockIndexLength(const BlockIndexLayout& layout) {
  const uint64_t blocks = (layout.fileSize + layout.blockSize - 1) / layout.blockSize;
  return blockIndexHeaderSize + blocks * (blockIndexWeakWidth + layout.strongWidth);
}

uint64_t blockIndexLimit(uint64_t fileSize) {
  return blockIndexLength(BlockIndexLayout{fileSize, smallestIndexBlock, widestStrongSum});
}

BlockIndexWriter::~BlockIndexWriter() {
  if (job_) rs_job_free(static_cast<rs_job_t*>(job_));
}

bool BlockIndexWriter::begin(uint32_t blockSize, uint32_t strongWidth, std::string& error) {
  if (!isPowerOfTwo(blockSize) || blockSize < smallestIndexBlock || blockSize > largestIndexBlock ||
      strongWidth < narrowestStrongSum || strongWidth > widestStrongSum) {
    error = "unsupported block size or sum width";
    return false;
  }
  rs_trace_to(quiet);
  if (job_) rs_job_free(static_cast<rs_job_t*>(job_));
  job_ = rs_sig_begin(blockSize, strongWidth, RS_RK_BLAKE2_SIG_MAGIC);
  if (!job_) {
    error = "could not start the block sums";
    return false;
  }
  blockSize_ = blockSize;
  strongWidth_ = strongWidth;
  fileSize_ = 0;
  sums_.clear();
  return true;
}

bool BlockIndexWriter::run(const char* data, size_t length, bool last, std::string& error) {
  if (!job_) {
    error = "the block sums were not started";
    return false;
  }
  char output[deltaOutputSize];
  rs_buffers_t buffers{};
  buffers.next_in = const_cast<char*>(data);
  buffers.avail_in = length;
  buffers.eof_in = last ? 1 : 0;
  for (;;) {
    buffers.next_out = output;
    buffers.avail_out = sizeof output;
    const size_t before = buffers.avail_in;
    const rs_result result = rs_job_iter(static_cast<rs_job_t*>(job_), &buffers);
    const size_t produced = sizeof output - buffers.avail_out;
    sums_.append(output, produced);
    if (result == RS_DONE) return true;
    if (result != RS_BLOCKED) {
      error = rs_strerror(result);
      return false;
    }
    if (!last && buffers.avail_in == 0) return true;
    if (produced == 0 && buffers.avail_in == before) {
      error = "the block sums made no progress";
      return false;
    }
  }
}

bool BlockIndexWriter::add(const char* data, size_t length, std::string& error) {
  fileSize_ += length;
  return run(data, length, false, error);
}

bool BlockIndexWriter::finish(std::string& index, std::string& error) {
  if (!run(nullptr, 0, true, error)) return false;
  rs_job_free(static_cast<rs_job_t*>(job_));
  job_ = nullptr;
  const BlockIndexLayout layout{fileSize_, blockSize_, strongWidth_};
  if (sums_.size() < librsyncHeaderSize ||
      sums_.size() - librsyncHeaderSize != blockIndexLength(layout) - blockIndexHeaderSize) {
    error = "the block sums do not fit the file";
    return false;
  }
  index.clear();
  index.reserve(static_cast<size_t>(blockIndexLength(layout)));
  index.append(indexMagic, sizeof indexMagic);
  appendBigEndian(index, indexVersion, 4);
  appendBigEndian(index, fileSize_, 8);
  appendBigEndian(index, blockSize_, 4);
  appendBigEndian(index, blockIndexWeakWidth, 1);
  appendBigEndian(index, strongWidth_, 1);
  index.append(sums_, librsyncHeaderSize, std::string::npos);
  sums_.clear();
  sums_.shrink_to_fit();
  return true;
}

bool makeBlockIndex(int fd, uint32_t blockSize, uint32_t strongWidth, std::string& index, std::string& error) {
  BlockIndexWriter writer;
  if (!writer.begin(blockSize, strongWidth, error)) return false;
  std::unique_ptr<char[]> buffer(new char[seedReadSize]);
  for (;;) {
    const ssize_t count = ::read(fd, buffer.get(), seedReadSize);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      error = std::string("could not read (") + std::strerror(errno) + ")";
      return false;
    }
    if (count == 0) break;
    if (!writer.add(buffer.get(), static_cast<size_t>(count), error)) return false;
  }
  return writer.finish(index, error);
}

bool parseBlockIndex(std::string_view index, uint64_t expectedSize, BlockIndexLayout& layout) {
  if (index.size() < blockIndexHeaderSize) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(index.data());
  if (std::memcmp(bytes, indexMagic, sizeof indexMagic) != 0) return false;
  if (readBigEndian(bytes + 8, 4) != indexVersion) return false;
  const uint64_t fileSize = readBigEndian(bytes + 12, 8);
  if (fileSize != expectedSize) return false;
  const uint64_t blockSize = readBigEndian(bytes + 20, 4);
  if (!isPowerOfTwo(blockSize) || blockSize < smallestIndexBlock || blockSize > largestIndexBlock) return false;
  if (bytes[24] != blockIndexWeakWidth) return false;
  const uint32_t strongWidth = bytes[25];
  if (strongWidth < narrowestStrongSum || strongWidth > widestStrongSum) return false;
  const BlockIndexLayout found{fileSize, static_cast<uint32_t>(blockSize), strongWidth};
  if (index.size() != blockIndexLength(found)) return false;
  layout = found;
  return true;
}

bool findBlocks(std::string_view index, int seedFd, const std::function<bool(const BlockMatch&)>& onMatch,
                const std::atomic<bool>* stop, std::string& error) {
  BlockIndexLayout layout;
  if (!parseBlockIndex(index, readBigEndian(reinterpret_cast<const unsigned char*>(index.data()) + 12, 8),
                       layout)) {
    error = "malformed block index";
    return false;
  }
  rs_trace_to(quiet);
  // librsync reads its own signature framing: its magic, the block size and the strong width.
  std::string framing;
  appendBigEndian(framing, RS_RK_BLAKE2_SIG_MAGIC, 4);
  appendBigEndian(framing, layout.blockSize, 4);
  appendBigEndian(framing, layout.strongWidth, 4);
  SignatureFreed signature;
  {
    JobFreed load{rs_loadsig_begin(&signature.signature)};
    if (!load.job) {
      error = "could not load the block sums";
      return false;
    }
    for (std::string_view part : {std::string_view(framing), index.substr(blockIndexHeaderSize)}) {
      rs_buffers_t buffers{};
      buffers.next_in = const_cast<char*>(part.data());
      buffers.avail_in = part.size();
      rs_result result = rs_job_iter(load.job, &buffers);
      if (result != RS_BLOCKED && result != RS_DONE) {
        error = rs_strerror(result);
        return false;
      }
    }
    rs_buffers_t end{};
    end.eof_in = 1;
    const rs_result result = rs_job_iter(load.job, &end);
    if (result != RS_DONE) {
      error = rs_strerror(result);
      return false;
    }
  }
  if (rs_build_hash_table(signature.signature) != RS_DONE) {
    error = "could not index the block sums";
    return false;
  }
  JobFreed delta{rs_delta_begin(signature.signature)};
  if (!delta.job) {
    error = "could not start the block search";
    return false;
  }
  DeltaReader reader(layout.fileSize, onMatch);
  auto read = [&reader](const char* data, size_t length) { return reader.feed(data, length); };
  uint64_t seedSize = 0;
  if (!driveFromFile(delta.job, seedFd, read, stop, seedSize, error)) {
    if (error == "stopped" && !reader.refused()) error = "unreadable block search output";
    if (stop && stop->load()) error = "stopped";
    return false;
  }
  if (!reader.ended()) {
    error = "the block search ended early";
    return false;
  }
  return true;
}
