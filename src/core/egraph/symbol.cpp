#include "egraph/symbol.hpp"

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "common/fault.hpp"
#include "common/hash.hpp"
#include "common/open_table.hpp"
#include "common/poison_mutex.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#endif

namespace vantrel::egraph {
namespace {

// A symbol's value is (index within its shard) << 4 | shard, so the shard is found from the
// handle alone and every shard numbers its texts densely. The top bit stays clear: values
// with it set are local symbols.
// Sixteen shards: threads that intern at once (each with its own reduction) rarely wait on
// one lock, and a shard's table stays large enough to fill.
constexpr unsigned kShardBits = 4;
constexpr std::uint32_t kShards = 1u << kShardBits;
constexpr std::uint32_t kMaxPerShard = std::uint32_t{1} << (31 - kShardBits);

// Texts live in chunks that never move once allocated: chunk k holds kFirstChunk << k
// strings. A reader finds a text through the chunk pointer array alone, so reading needs no
// lock; only the writer (under the shard lock) appends.
// A first chunk of 256 texts holds the symbols of a rule set and of a small graph.
constexpr std::uint32_t kFirstChunkBits = 8;
constexpr std::uint32_t kFirstChunk = 1u << kFirstChunkBits;
constexpr std::size_t kMaxChunks = 32 - kShardBits - kFirstChunkBits + 1;

std::uint64_t text_hash(std::string_view text) {
  Hasher h(0);  // unseeded on purpose: shard choice and table layout are the same every run
  h.add_bytes(text);
  return h.finish();
}

void locate(std::uint32_t local, std::uint32_t& chunk, std::uint32_t& offset) {
  // chunk k starts at kFirstChunk * (2^k - 1)
  const std::uint32_t scaled = (local >> kFirstChunkBits) + 1;
  chunk = 31u - static_cast<std::uint32_t>(__builtin_clz(scaled));
  offset = local - kFirstChunk * ((1u << chunk) - 1);
}

class Shard {
 public:
  Shard() : mutex_("symbol table shard lock poisoned") {}
  ~Shard() {
    for (auto& c : chunks_) delete[] c.load(std::memory_order_relaxed);
  }

  std::uint32_t intern(std::string_view text, std::uint64_t hash) {
    PoisonMutex::Guard guard(mutex_);
    // Every allocation below comes before the change it serves (the table grows before a slot
    // is chosen, a chunk and a text are made before they are stored): a shortage of memory
    // leaves the shard as it was, and unpoisoned.
    try {
      return intern_locked(text, hash);
    } catch (const std::bad_alloc&) {
      guard.unlock();
      throw;
    }
  }

  std::uint32_t count() {
    PoisonMutex::Guard guard(mutex_);
    return count_;
  }

  PoisonMutex& mutex() { return mutex_; }

  // No lock: the texts a handle can name were written before the handle was handed out.
  std::string_view text_at(std::uint32_t local) const {
    std::uint32_t chunk = 0, offset = 0;
    locate(local, chunk, offset);
    const std::string* storage = chunks_[chunk].load(std::memory_order_acquire);
    if (storage == nullptr) throw InternalFault("unknown symbol");
    return storage[offset];
  }

 private:
  std::uint32_t intern_locked(std::string_view text, std::uint64_t hash) {
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    Slot& slot = table_.find_or_empty(hash, Probe{text, tag}, *this);
    if (!slot.empty()) return slot.local_plus_one - 1;
    if (count_ + 1 >= kMaxPerShard) throw InternalFault("symbol table shard is full");
    const std::uint32_t local = count_;
    std::uint32_t chunk = 0, offset = 0;
    locate(local, chunk, offset);
    std::string* storage = chunks_[chunk].load(std::memory_order_relaxed);
    if (storage == nullptr) {
      storage = new std::string[std::size_t{kFirstChunk} << chunk];
      chunks_[chunk].store(storage, std::memory_order_release);
    }
    storage[offset] = std::string(text);
    ++count_;
    slot = Slot{local + 1, tag};
    table_.filled();
    return local;
  }

  struct Slot {
    std::uint32_t local_plus_one;  // 0: empty
    std::uint32_t tag;             // high half of the text's hash
    bool empty() const { return local_plus_one == 0; }
  };
  struct Probe {
    std::string_view text;
    std::uint32_t tag;
  };
  // The texts live in the shard's chunks; a slot holds only their number and a tag.
  struct Keys {
    static std::uint64_t hash(const Slot& s, const Shard& shard) {
      return text_hash(shard.text_at(s.local_plus_one - 1));
    }
    static bool equal(const Slot& s, const Probe& p, const Shard& shard) {
      return s.tag == p.tag && shard.text_at(s.local_plus_one - 1) == p.text;
    }
  };

  PoisonMutex mutex_;
  std::array<std::atomic<std::string*>, kMaxChunks> chunks_{};
  OpenTable<Slot, Keys> table_{64};
  std::uint32_t count_ = 0;
};

std::array<Shard, kShards>* the_shards = nullptr;

// A process forked while another thread interns a symbol would inherit a shard held by a
// thread it does not have. So the forking thread takes every shard lock before the fork (each
// holder leaves within an intern), and both processes release them after it: the child's copy
// is whole, and its locks are free.
void before_fork() {
  for (Shard& shard : *the_shards) shard.mutex().lock_for_fork();
}
void after_fork_in_parent() {
  for (Shard& shard : *the_shards) shard.mutex().unlock_for_fork();
}
void after_fork_in_child() {
  for (Shard& shard : *the_shards) shard.mutex().reset_after_fork();
}

// Created on first use and deliberately never destroyed: symbols must stay readable until
// the process ends, including from static destructors elsewhere.
std::array<Shard, kShards>& shards() {
  static auto* table = [] {
    the_shards = new std::array<Shard, kShards>();
#if defined(__unix__) || defined(__APPLE__)
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
#endif
    return the_shards;
  }();
  return *table;
}

}  // namespace

GlobalSymbol GlobalSymbol::intern(std::string_view text) {
  const std::uint64_t h = text_hash(text);
  const auto shard = static_cast<std::uint32_t>(h >> (64 - kShardBits));
  const std::uint32_t local = shards()[shard].intern(text, h);
  return from_value((local << kShardBits) | shard);
}

std::string_view GlobalSymbol::text() const {
  if (is_local()) throw InternalFault("a local symbol has no text");
  return shards()[value_ & (kShards - 1)].text_at(value_ >> kShardBits);
}

std::size_t GlobalSymbol::interned_count() {
  std::size_t n = 0;
  for (Shard& shard : shards()) n += shard.count();
  return n;
}

}  // namespace vantrel::egraph
