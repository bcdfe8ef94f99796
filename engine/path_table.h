// A table keyed by the paths of a release, for releases of tens of thousands of files: open
// addressing in one allocation, keys viewed in place. The caller keeps the texts that the keys
// point into alive and unchanged while the table is used. Any thread, one at a time.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

template <typename Value>
class PathTable {
 public:
  explicit PathTable(size_t expectedCount = 0) { resize(expectedCount); }

  // Sets the value of path; a path set again takes the later value.
  void set(std::string_view path, Value value) {
    if (3 * (count_ + 1) > 2 * slots_.size()) resize(2 * (count_ + 1));
    Slot& slot = slots_[slotOf(path)];
    if (!slot.first.data()) ++count_;
    slot = {path, std::move(value)};
  }

  // The value of path, or nullptr when the table does not hold it.
  const Value* find(std::string_view path) const {
    const Slot& slot = slots_[slotOf(path)];
    return slot.first.data() ? &slot.second : nullptr;
  }

  bool contains(std::string_view path) const { return find(path) != nullptr; }

 private:
  using Slot = std::pair<std::string_view, Value>;  // a key without data marks a free slot

  // Room for count keys with the table at most two thirds full.
  void resize(size_t count) {
    size_t capacity = 16;
    while (2 * capacity < 3 * count) capacity *= 2;
    std::vector<Slot> old(capacity);
    old.swap(slots_);
    mask_ = capacity - 1;
    for (Slot& slot : old) {
      if (slot.first.data()) slots_[slotOf(slot.first)] = std::move(slot);
    }
  }

  // The slot that holds path, or the free slot where it would go.
  size_t slotOf(std::string_view path) const {
    size_t index = std::hash<std::string_view>()(path) & mask_;
    while (slots_[index].first.data() && slots_[index].first != path) index = (index + 1) & mask_;
    return index;
  }

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t count_ = 0;
};
