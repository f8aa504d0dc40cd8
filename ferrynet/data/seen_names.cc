#include "ferrynet/data/seen_names.h"

#include <sys/random.h>

#include <chrono>
#include <cstring>
#include <new>

#include "ferrynet/data/data_limits.h"

namespace ferrynet {

namespace {

constexpr size_t kLengthBytes = 4;
constexpr size_t kUnit = 8;  // names start at multiples of this
// A slot's `at` holds the block's number in its upper bits and the name's
// offset in the block, in kUnit, in the lower: 2^19 blocks of 64 KiB.
constexpr unsigned kUnitBits = 13;
constexpr size_t kBlock = kUnit << kUnitBits;
static_assert(kBlock == kSeenBlock, "a block's offsets fill the low bits of a slot's `at`");
constexpr size_t kBlocksMax = (size_t{1} << (32 - kUnitBits)) - 1;

uint64_t fold(uint64_t a, uint64_t b) {
  const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}

uint64_t load8(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

uint64_t load4(const char* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

// Two multiplications for a name of up to 16 bytes (most are), one more for
// every further 16: this is the merge's inner loop. The loads overlap so that
// together they cover every byte of the name, whatever its length. The seed
// is in every operand, so no name a site can choose makes one of them zero
// (which would make a product forget the rest of the name).
uint64_t hash_name(const char* p, size_t n, const uint64_t* seeds) {
  constexpr uint64_t k3 = 0x94d049bb133111ebULL;
  const uint64_t s1 = seeds[1], s2 = seeds[2];
  uint64_t a = 0, b = 0, h = seeds[0] ^ n;
  if (n >= 8 && n <= 16) {
    a = load8(p);
    b = load8(p + n - 8);
  } else if (n >= 4 && n < 8) {
    a = load4(p);
    b = load4(p + n - 4);
  } else if (n > 0 && n < 4) {
    a = (uint64_t{static_cast<unsigned char>(p[0])} << 16) | (uint64_t{static_cast<unsigned char>(p[n / 2])} << 8) |
        static_cast<unsigned char>(p[n - 1]);
  } else if (n > 16) {
    size_t i = n;
    for (; i > 16; p += 16, i -= 16) h = fold(load8(p) ^ s1, load8(p + 8) ^ s2 ^ h);
    a = load8(p + i - 16);
    b = load8(p + i - 8);
  }
  return fold(k3 ^ h, fold(a ^ s1, b ^ s2 ^ h));
}

void random_seeds(const void* self, uint64_t* seeds) {
  uint64_t seed = 0;
  if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed))
    seed = reinterpret_cast<uintptr_t>(self) ^
           static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  constexpr uint64_t k1 = 0x9e3779b97f4a7c15ULL, k2 = 0xbf58476d1ce4e5b9ULL;
  seeds[0] = seed;
  seeds[1] = seed ^ k1;
  seeds[2] = fold(seed, k2) ^ k2;
}

}  // namespace

bool SeenNames::grow_table() {
  // Four times the slots: a listing of many names is moved to new tables
  // fewer times, and each move is a cache miss per name.
  const size_t slots = table_.valid() ? (mask_ + 1) * 4 : kSeenFirstSlots;
  // A slot's place is its hash's low 32 bits, so tables stop at 2^32 slots.
  if (slots > (size_t{1} << 32)) return false;
  MergeBlock table(slots * sizeof(Slot));
  if (!table.valid()) return false;
  Slot* const to = reinterpret_cast<Slot*>(table.data());
  std::memset(to, 0, slots * sizeof(Slot));
  const size_t mask = slots - 1;
  // The slots keep the hash that gives the place in any table: the names
  // themselves are not read again.
  const Slot* const from = reinterpret_cast<const Slot*>(table_.data());
  for (size_t i = 0; from != nullptr && i <= mask_; ++i) {
    const Slot s = from[i];
    if (s.at == 0) continue;
    size_t j = s.hash & mask;
    while (to[j].at != 0) j = (j + 1) & mask;
    to[j] = s;
  }
  table_ = std::move(table);
  mask_ = mask;
  return true;
}

uint32_t SeenNames::make_room(size_t need) {
  // A name longer than a block gets a block of its own.
  const bool own = need > kBlock;
  if (blocks_.empty() || own || used_ + need > kBlock) {
    if (blocks_.size() >= kBlocksMax) return 0;
    MergeBlock block(own ? need : kBlock);
    if (!block.valid()) return 0;
    try {
      blocks_.push_back(std::move(block));
    } catch (const std::bad_alloc&) {
      return 0;
    }
    used_ = 0;
  }
  const uint32_t at = static_cast<uint32_t>(((blocks_.size() - 1) << kUnitBits) | (used_ / kUnit)) + 1;
  used_ = own ? kBlock : used_ + need;
  return at;
}

const unsigned char* SeenNames::stored(uint32_t at) const {
  --at;
  return reinterpret_cast<const unsigned char*>(blocks_[at >> kUnitBits].data()) +
         (at & ((1u << kUnitBits) - 1)) * kUnit;
}

SeenNames::SeenNames() { random_seeds(this, seeds_); }

uint64_t SeenNames::hash(std::string_view name) const { return hash_name(name.data(), name.size(), seeds_); }

bool SeenNames::first_sighting_held(std::string_view name, uint64_t hash) {
  // Past three quarters full the table grows: probes stay short.
  if ((count_ + 1) * 4 > (table_.valid() ? mask_ + 1 : 0) * 3 && !grow_table()) return true;
  if (name.size() > UINT32_MAX) return true;
  Slot* const slots = reinterpret_cast<Slot*>(table_.data());
  const uint32_t tag = static_cast<uint32_t>(hash);
  size_t i = tag & mask_;
  for (; slots[i].at != 0; i = (i + 1) & mask_) {
    if (slots[i].hash != tag) continue;
    const unsigned char* at = stored(slots[i].at);
    uint32_t len;
    std::memcpy(&len, at, kLengthBytes);
    if (len == name.size() && (len == 0 || std::memcmp(at + kLengthBytes, name.data(), len) == 0)) return false;
  }
  const uint32_t at = make_room((kLengthBytes + name.size() + kUnit - 1) / kUnit * kUnit);
  if (at == 0) return true;
  unsigned char* const to = const_cast<unsigned char*>(stored(at));
  const uint32_t len = static_cast<uint32_t>(name.size());
  std::memcpy(to, &len, kLengthBytes);
  if (len) std::memcpy(to + kLengthBytes, name.data(), len);
  slots[i] = Slot{tag, at};
  ++count_;
  return true;
}

}  // namespace ferrynet
