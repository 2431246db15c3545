// The table from a destination name to its source names. Its own hash and
// growth rules fix the order in which the replacement cycle visits the
// destinations, the same on every build and in every pass.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class ReplacementTable {
 public:
  // Room for 100 entries: 193 buckets.
  ReplacementTable();
  ReplacementTable(const ReplacementTable&) = delete;
  ReplacementTable& operator=(const ReplacementTable&) = delete;

  // Appends source to the destination's list, creating the entry when the
  // destination is new. Keys compare byte for byte.
  void AddSource(const std::string& destination, const std::string& source);
  // The destination's sources in the order they were added, or null.
  const std::vector<std::string>* Find(const std::string& destination) const;
  // Number of distinct destinations.
  uint32_t GetCount() const;
  uint32_t GetBucketCount() const;
  // Calls visit(destination, sources) for every entry: buckets in ascending
  // order, each chain from its front.
  template <typename Visit>
  void ForEach(Visit visit) const;

  // h = 5 * h + byte, each byte taken as signed, wrapping at 2^32.
  static uint32_t Hash(const std::string& key);

 private:
  static constexpr int32_t kNoEntry = -1;

  struct Entry {
    std::string destination;
    std::vector<std::string> sources;
    uint32_t hash;
    int32_t next;  // next entry of the same chain, or kNoEntry
  };

  int32_t FindEntry(const std::string& destination, uint32_t hash) const;
  void GrowFor(uint32_t entryCount);
  void PushFront(int32_t entry);

  std::vector<Entry> entries;
  std::vector<int32_t> bucketHeads;
  // The entry the last source went to: scripts list a destination's sources
  // one after the other, and the hash leaves long chains of equal values.
  int32_t lastAdded = kNoEntry;
};

template <typename Visit>
void ReplacementTable::ForEach(Visit visit) const {
  for (int32_t head : bucketHeads) {
    for (int32_t i = head; i != kNoEntry; i = entries[i].next) {
      visit(entries[i].destination, entries[i].sources);
    }
  }
}
