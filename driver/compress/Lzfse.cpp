#include "Lzfse.h"

#include <cstring>
#include <vector>

#include "LzMatch.h"
#include "Lzvn.h"

namespace {

constexpr uint32_t MAGIC_END = 0x24787662;         // "bvx$"
constexpr uint32_t MAGIC_STORED = 0x2D787662;      // "bvx-"
constexpr uint32_t MAGIC_PLAIN = 0x31787662;       // "bvx1"
constexpr uint32_t MAGIC_PACKED = 0x32787662;      // "bvx2"
constexpr uint32_t MAGIC_LZVN = 0x6E787662;        // "bvxn"
constexpr size_t PLAIN_HEADER_SIZE = 770;
constexpr size_t PACKED_FIXED_SIZE = 32;
// Literals are coded four at a time: a block may code up to three beyond those it uses.
constexpr uint32_t LITERAL_PADDING = 3;

constexpr unsigned LITERAL_STATES = 1024, L_STATES = 64, M_STATES = 64, D_STATES = 256;
constexpr unsigned L_SYMBOLS = 20, M_SYMBOLS = 20, D_SYMBOLS = 64, LITERAL_SYMBOLS = 256;

constexpr uint8_t L_EXTRA[L_SYMBOLS] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 5, 8};
constexpr uint16_t L_BASE[L_SYMBOLS] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 20, 28, 60};
constexpr uint8_t M_EXTRA[M_SYMBOLS] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 5, 8, 11};
constexpr uint16_t M_BASE[M_SYMBOLS] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 24, 56, 312};

uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint64_t Le64(const uint8_t* p) { return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32; }
uint64_t Bits(uint64_t word, unsigned from, unsigned count) { return (word >> from) & ((uint64_t(1) << count) - 1); }

// Everything a compressed block's header says, in one form for both header layouts.
struct BlockHeader {
  uint32_t rawBytes = 0;
  uint32_t literals = 0;
  uint32_t matches = 0;
  uint32_t literalPayload = 0;
  uint32_t lmdPayload = 0;
  int32_t literalBits = 0;
  int32_t lmdBits = 0;
  uint32_t literalState[4] = {};
  uint32_t lState = 0, mState = 0, dState = 0;
  uint16_t lFreq[L_SYMBOLS] = {};
  uint16_t mFreq[M_SYMBOLS] = {};
  uint16_t dFreq[D_SYMBOLS] = {};
  uint16_t literalFreq[LITERAL_SYMBOLS] = {};
  size_t headerSize = 0;
};

bool ParsePlainHeader(const uint8_t* block, size_t available, BlockHeader* h) {
  if (available < PLAIN_HEADER_SIZE) return false;
  h->rawBytes = Le32(block + 4);
  h->literals = Le32(block + 12);
  h->matches = Le32(block + 16);
  h->literalPayload = Le32(block + 20);
  h->lmdPayload = Le32(block + 24);
  h->literalBits = int32_t(Le32(block + 28));
  for (int i = 0; i < 4; i++) h->literalState[i] = Le16(block + 32 + 2 * i);
  h->lmdBits = int32_t(Le32(block + 40));
  h->lState = Le16(block + 44);
  h->mState = Le16(block + 46);
  h->dState = Le16(block + 48);
  const uint8_t* freq = block + 50;
  for (auto& f : h->lFreq) f = Le16(freq), freq += 2;
  for (auto& f : h->mFreq) f = Le16(freq), freq += 2;
  for (auto& f : h->dFreq) f = Le16(freq), freq += 2;
  for (auto& f : h->literalFreq) f = Le16(freq), freq += 2;
  h->headerSize = PLAIN_HEADER_SIZE;
  return true;
}

// The frequency tables of a packed header: a little-endian bit stream of prefix codes.
class FrequencyReader {
 public:
  FrequencyReader(const uint8_t* at, const uint8_t* end) : at_(at), end_(end) {}

  bool Next(uint16_t* value) {
    while (count_ <= 56 && at_ < end_) {
      bits_ |= uint64_t(*at_++) << count_;
      count_ += 8;
    }
    unsigned length;
    if ((bits_ & 1) == 0) {
      length = 2, *value = uint16_t(Bits(bits_, 1, 1));
    } else if ((bits_ & 3) == 1) {
      length = 3, *value = uint16_t(2 + Bits(bits_, 2, 1));
    } else if ((bits_ & 7) == 3) {
      length = 5, *value = uint16_t(4 + Bits(bits_, 3, 2));
    } else if ((bits_ & 15) == 7) {
      length = 8, *value = uint16_t(8 + Bits(bits_, 4, 4));
    } else {
      length = 14, *value = uint16_t(24 + Bits(bits_, 4, 10));
    }
    if (length > count_) return false;
    bits_ >>= length;
    count_ -= length;
    return true;
  }

 private:
  const uint8_t* at_;
  const uint8_t* end_;
  uint64_t bits_ = 0;
  unsigned count_ = 0;
};

bool ParsePackedHeader(const uint8_t* block, size_t available, BlockHeader* h) {
  if (available < PACKED_FIXED_SIZE) return false;
  const uint64_t w0 = Le64(block + 8), w1 = Le64(block + 16), w2 = Le64(block + 24);
  h->rawBytes = Le32(block + 4);
  h->literals = uint32_t(Bits(w0, 0, 20));
  h->literalPayload = uint32_t(Bits(w0, 20, 20));
  h->matches = uint32_t(Bits(w0, 40, 20));
  h->literalBits = int32_t(Bits(w0, 60, 3)) - 7;
  for (unsigned i = 0; i < 4; i++) h->literalState[i] = uint32_t(Bits(w1, 10 * i, 10));
  h->lmdPayload = uint32_t(Bits(w1, 40, 20));
  h->lmdBits = int32_t(Bits(w1, 60, 3)) - 7;
  h->headerSize = size_t(Bits(w2, 0, 32));
  h->lState = uint32_t(Bits(w2, 32, 10));
  h->mState = uint32_t(Bits(w2, 42, 10));
  h->dState = uint32_t(Bits(w2, 52, 10));
  if (h->headerSize < PACKED_FIXED_SIZE || h->headerSize > available) return false;
  if (h->headerSize == PACKED_FIXED_SIZE) return true;  // no tables: every frequency 0
  FrequencyReader reader(block + PACKED_FIXED_SIZE, block + h->headerSize);
  const struct {
    uint16_t* values;
    unsigned count;
  } tables[] = {{h->lFreq, L_SYMBOLS}, {h->mFreq, M_SYMBOLS}, {h->dFreq, D_SYMBOLS}, {h->literalFreq, LITERAL_SYMBOLS}};
  for (const auto& table : tables) {
    for (unsigned i = 0; i < table.count; i++) {
      if (!reader.Next(&table.values[i])) return false;
    }
  }
  return true;
}

// A stream of bits read from its last byte toward its first, each byte from its top bit.
class BackwardBits {
 public:
  // The stream is [begin, end); the first load may take up to 8 bytes before end even
  // when the stream is shorter: from floor on the bytes are readable, and never consumed
  // by a valid stream.
  bool Init(const uint8_t* floor, const uint8_t* begin, const uint8_t* end, int32_t unusedBits) {
    if (unusedBits < -7 || unusedBits > 0 || end - floor < 8) return false;
    begin_ = begin;
    if (unusedBits == 0) {
      at_ = end - 7;
      bits_ = Le64(end - 8) >> 8;
      count_ = 56;
    } else {
      at_ = end - 8;
      bits_ = Le64(at_);
      count_ = unsigned(64 + unusedBits);
      if ((bits_ >> count_) != 0) return false;  // the unused bits must be zero
    }
    return true;
  }

  void Refill() {
    size_t bytes = (63 - count_) / 8;
    if (at_ - begin_ < ptrdiff_t(bytes)) bytes = at_ > begin_ ? size_t(at_ - begin_) : 0;
    if (bytes == 0) return;
    at_ -= bytes;
    // at_ - 8 + bytes stays inside the block: payloads start 32 bytes after its magic.
    const uint64_t loaded = Le64(at_ + bytes - 8) >> (64 - 8 * bytes);
    bits_ = bits_ << (8 * bytes) | loaded;
    count_ += unsigned(8 * bytes);
  }

  uint32_t Read(unsigned n) {
    if (n > count_) {
      failed_ = true;
      return 0;
    }
    count_ -= n;
    const uint64_t value = bits_ >> count_;
    bits_ &= (uint64_t(1) << count_) - 1;
    return uint32_t(value);
  }

  // Whether no read went past the stream's first bit.
  bool Sound() const { return !failed_ && (at_ - begin_) * 8 + ptrdiff_t(count_) >= 0; }

 private:
  const uint8_t* begin_ = nullptr;
  const uint8_t* at_ = nullptr;
  uint64_t bits_ = 0;
  unsigned count_ = 0;
  bool failed_ = false;
};

struct SymbolEntry {
  uint8_t bits;
  uint8_t symbol;
  uint16_t base;
};

struct ValueEntry {
  uint8_t bits;   // state bits and extra bits, read as one field
  uint8_t extra;
  uint16_t base;  // next state's base
  uint32_t valueBase;
};

unsigned Log2(unsigned x) {
  unsigned n = 0;
  while (x >>= 1) n++;
  return n;
}

// Lays out each symbol's entries contiguously, in symbol order; calls put(entry index,
// symbol, state bits, state base). False when the frequencies sum past the table size.
template <typename Put>
bool BuildTable(const uint16_t* freq, unsigned symbols, unsigned states, Put put) {
  unsigned total = 0;
  for (unsigned s = 0; s < symbols; s++) total += freq[s];
  if (total > states) return false;
  const unsigned n = Log2(states);
  unsigned entry = 0;
  for (unsigned s = 0; s < symbols; s++) {
    const unsigned f = freq[s];
    if (f == 0) continue;
    const unsigned k = n - Log2(f);
    const unsigned j0 = ((2 * states) >> k) - f;
    for (unsigned j = 0; j < f; j++, entry++) {
      if (j < j0) {
        put(entry, s, k, ((f + j) << k) - states);
      } else {
        put(entry, s, k - 1, (j - j0) << (k - 1));
      }
    }
  }
  return true;
}

bool BuildValueTable(const uint16_t* freq, unsigned symbols, unsigned states, const uint8_t* extra,
                     const uint32_t* valueBase, ValueEntry* table) {
  std::memset(table, 0, sizeof(ValueEntry) * states);
  return BuildTable(freq, symbols, states, [&](unsigned i, unsigned s, unsigned bits, unsigned base) {
    table[i] = ValueEntry{uint8_t(bits + extra[s]), extra[s], uint16_t(base), valueBase[s]};
  });
}

struct DistanceTables {
  uint8_t extra[D_SYMBOLS];
  uint32_t base[D_SYMBOLS];
  DistanceTables() {
    for (unsigned s = 0; s < D_SYMBOLS; s++) extra[s] = uint8_t(s < 4 ? 0 : (s - 4) / 4 + 1);
    for (unsigned s = 0; s < D_SYMBOLS; s++) base[s] = s < 4 ? s : base[s - 1] + (1u << extra[s - 1]);
  }
};

struct LengthBases {
  uint32_t l[L_SYMBOLS], m[M_SYMBOLS];
  LengthBases() {
    for (unsigned s = 0; s < L_SYMBOLS; s++) l[s] = L_BASE[s];
    for (unsigned s = 0; s < M_SYMBOLS; s++) m[s] = M_BASE[s];
  }
};

const DistanceTables DISTANCE;
const LengthBases LENGTH_BASES;

uint32_t DecodeValue(const ValueEntry* table, uint32_t* state, BackwardBits& bits) {
  const ValueEntry& e = table[*state];
  const uint32_t x = bits.Read(e.bits);
  *state = e.base + (x >> e.extra);
  return e.valueBase + (x & ((1u << e.extra) - 1));
}

class Decoder {
 public:
  Decoder(const uint8_t* in, size_t inLength, uint8_t* out, size_t capacity)
      : in_(in), inLength_(inLength), out_(out), capacity_(capacity) {}

  bool Run(size_t* outLength) {
    for (;;) {
      if (inLength_ - ip_ < 4) return false;
      const uint32_t magic = Le32(in_ + ip_);
      bool ok;
      if (magic == MAGIC_END) {
        *outLength = op_;
        return true;
      } else if (magic == MAGIC_STORED) {
        ok = StoredBlock();
      } else if (magic == MAGIC_LZVN) {
        ok = LzvnBlock();
      } else if (magic == MAGIC_PLAIN || magic == MAGIC_PACKED) {
        BlockHeader header;
        const uint8_t* block = in_ + ip_;
        ok = (magic == MAGIC_PLAIN ? ParsePlainHeader(block, inLength_ - ip_, &header)
                                   : ParsePackedHeader(block, inLength_ - ip_, &header)) &&
             CompressedBlock(header);
      } else {
        return false;
      }
      if (!ok) return false;
    }
  }

 private:
  bool StoredBlock() {
    if (inLength_ - ip_ < 8) return false;
    const size_t raw = Le32(in_ + ip_ + 4);
    if (raw > inLength_ - ip_ - 8 || raw > capacity_ - op_) return false;
    std::memcpy(out_ + op_, in_ + ip_ + 8, raw);
    op_ += raw;
    ip_ += 8 + raw;
    return true;
  }

  bool LzvnBlock() {
    if (inLength_ - ip_ < 12) return false;
    const size_t raw = Le32(in_ + ip_ + 4);
    const size_t payload = Le32(in_ + ip_ + 8);
    if (payload > inLength_ - ip_ - 12 || raw > capacity_ - op_) return false;
    size_t end = 0;
    if (!LzvnDecode(in_ + ip_ + 12, payload, out_, op_, op_ + raw, &end) || end != op_ + raw) return false;
    op_ = end;
    ip_ += 12 + payload;
    return true;
  }

  bool BuildTables(const BlockHeader& h) {
    if (h.literalState[0] >= LITERAL_STATES || h.literalState[1] >= LITERAL_STATES ||
        h.literalState[2] >= LITERAL_STATES || h.literalState[3] >= LITERAL_STATES || h.lState >= L_STATES ||
        h.mState >= M_STATES || h.dState >= D_STATES) {
      return false;
    }
    std::memset(literalTable_, 0, sizeof literalTable_);
    return BuildTable(h.literalFreq, LITERAL_SYMBOLS, LITERAL_STATES,
                      [&](unsigned i, unsigned s, unsigned bits, unsigned base) {
                        literalTable_[i] = SymbolEntry{uint8_t(bits), uint8_t(s), uint16_t(base)};
                      }) &&
           BuildValueTable(h.lFreq, L_SYMBOLS, L_STATES, L_EXTRA, LENGTH_BASES.l, lTable_) &&
           BuildValueTable(h.mFreq, M_SYMBOLS, M_STATES, M_EXTRA, LENGTH_BASES.m, mTable_) &&
           BuildValueTable(h.dFreq, D_SYMBOLS, D_STATES, DISTANCE.extra, DISTANCE.base, dTable_);
  }

  // The block's literals, four interleaved states at a time.
  bool DecodeLiterals(const BlockHeader& h, const uint8_t* block, const uint8_t* payload) {
    literals_.resize((size_t(h.literals) + 3) & ~size_t(3));
    BackwardBits bits;
    if (!bits.Init(block, payload, payload + h.literalPayload, h.literalBits)) return false;
    uint32_t state[4] = {h.literalState[0], h.literalState[1], h.literalState[2], h.literalState[3]};
    for (size_t i = 0; i < h.literals; i += 4) {
      bits.Refill();
      for (int j = 0; j < 4; j++) {
        const SymbolEntry& e = literalTable_[state[j]];
        literals_[i + j] = e.symbol;
        state[j] = e.base + bits.Read(e.bits);
      }
    }
    return bits.Sound();
  }

  bool DecodeMatches(const BlockHeader& h, const uint8_t* block, const uint8_t* lmd, size_t blockEnd) {
    BackwardBits bits;
    if (!bits.Init(block, lmd, lmd + h.lmdPayload, h.lmdBits)) return false;
    uint32_t lState = h.lState, mState = h.mState, dState = h.dState;
    size_t literal = 0, distance = 0;
    for (uint32_t i = 0; i < h.matches; i++) {
      bits.Refill();
      const size_t l = DecodeValue(lTable_, &lState, bits);
      const size_t m = DecodeValue(mTable_, &mState, bits);
      const size_t d = DecodeValue(dTable_, &dState, bits);
      if (d != 0) distance = d;  // 0 repeats the previous distance
      if (l > h.literals - literal || l + m > blockEnd - op_) return false;
      if (l != 0) std::memcpy(out_ + op_, literals_.data() + literal, l);  // a block may have no literals
      literal += l;
      op_ += l;
      if (m == 0) continue;
      if (distance == 0 || distance > op_) return false;
      LzCopyMatch(out_, op_, distance, m);
      op_ += m;
    }
    return bits.Sound();
  }

  bool CompressedBlock(const BlockHeader& h) {
    const uint8_t* block = in_ + ip_;
    const size_t available = inLength_ - ip_ - h.headerSize;
    // An encoder's every match decodes to at least one byte, so more matches than bytes is
    // damage; the bound keeps a hostile count from spinning through matches that decode to nothing.
    if (h.rawBytes > capacity_ - op_ || h.literals > h.rawBytes + LITERAL_PADDING || h.matches > h.rawBytes ||
        h.literalPayload > available ||
        h.lmdPayload > available - h.literalPayload || !BuildTables(h)) {
      return false;
    }
    const uint8_t* payload = block + h.headerSize;
    if (!DecodeLiterals(h, block, payload)) return false;
    const size_t blockEnd = op_ + h.rawBytes;
    if (!DecodeMatches(h, block, payload + h.literalPayload, blockEnd) || op_ != blockEnd) return false;
    ip_ += h.headerSize + h.literalPayload + h.lmdPayload;
    return true;
  }

  const uint8_t* in_;
  size_t inLength_;
  size_t ip_ = 0;
  uint8_t* out_;
  size_t capacity_;
  size_t op_ = 0;
  std::vector<uint8_t> literals_;
  SymbolEntry literalTable_[LITERAL_STATES];
  ValueEntry lTable_[L_STATES];
  ValueEntry mTable_[M_STATES];
  ValueEntry dTable_[D_STATES];
};

}  // namespace

bool LzfseDecode(const uint8_t* in, size_t inLength, uint8_t* out, size_t capacity, size_t* outLength) {
  Decoder decoder(in, inLength, out, capacity);
  return decoder.Run(outLength);
}
