// Chained hash table with a fixed list of prime bucket counts. Entries live
// in one vector and are chained by index, so growing only relinks them.
#include "rotate/replacement_table.h"

#include <iterator>
#include <utility>

namespace {

constexpr uint32_t kBucketCounts[] = {
    53u,        97u,        193u,       389u,       769u,        1543u,       3079u,
    6151u,      12289u,     24593u,     49157u,     98317u,      196613u,     393241u,
    786433u,    1572869u,   3145739u,   6291469u,   12582917u,   25165843u,   50331653u,
    100663319u, 201326611u, 402653189u, 805306457u, 1610612741u, 3221225473u, 4294967291u};

constexpr uint32_t kInitialRoom = 100;

// The smallest listed count not below wanted (the largest one past the list).
uint32_t BucketCountFor(uint32_t wanted) {
  for (uint32_t count : kBucketCounts) {
    if (count >= wanted) return count;
  }
  return kBucketCounts[std::size(kBucketCounts) - 1];
}

}  // namespace

ReplacementTable::ReplacementTable() : bucketHeads(BucketCountFor(kInitialRoom), kNoEntry) {}

uint32_t ReplacementTable::Hash(const std::string& key) {
  uint32_t h = 0;
  for (char byte : key) h = 5u * h + static_cast<uint32_t>(static_cast<signed char>(byte));
  return h;
}

void ReplacementTable::AddSource(const std::string& destination, const std::string& source) {
  if (lastAdded != kNoEntry && entries[lastAdded].destination == destination) {
    entries[lastAdded].sources.push_back(source);
    return;
  }
  const uint32_t hash = Hash(destination);
  int32_t entry = FindEntry(destination, hash);
  if (entry == kNoEntry) {
    GrowFor(GetCount() + 1);
    entry = static_cast<int32_t>(entries.size());
    entries.push_back(Entry{destination, {}, hash, kNoEntry});
    PushFront(entry);
  }
  entries[entry].sources.push_back(source);
  lastAdded = entry;
}

const std::vector<std::string>* ReplacementTable::Find(const std::string& destination) const {
  const int32_t entry = FindEntry(destination, Hash(destination));
  return entry == kNoEntry ? nullptr : &entries[entry].sources;
}

uint32_t ReplacementTable::GetCount() const { return static_cast<uint32_t>(entries.size()); }

uint32_t ReplacementTable::GetBucketCount() const {
  return static_cast<uint32_t>(bucketHeads.size());
}

int32_t ReplacementTable::FindEntry(const std::string& destination, uint32_t hash) const {
  for (int32_t i = bucketHeads[hash % GetBucketCount()]; i != kNoEntry; i = entries[i].next) {
    if (entries[i].hash == hash && entries[i].destination == destination) return i;
  }
  return kNoEntry;
}

// Grows when entryCount exceeds the bucket count. Old buckets are taken in
// ascending order and each chain from its front; every moved entry goes to
// the front of its new chain.
void ReplacementTable::GrowFor(uint32_t entryCount) {
  if (entryCount <= GetBucketCount()) return;
  const std::vector<int32_t> oldHeads = std::move(bucketHeads);
  bucketHeads.assign(BucketCountFor(entryCount), kNoEntry);
  for (int32_t entry : oldHeads) {
    while (entry != kNoEntry) {
      const int32_t next = entries[entry].next;
      PushFront(entry);
      entry = next;
    }
  }
}

void ReplacementTable::PushFront(int32_t entry) {
  int32_t& head = bucketHeads[entries[entry].hash % GetBucketCount()];
  entries[entry].next = head;
  head = entry;
}
