#include "Compressors.h"

#include <algorithm>

#include "LzfseBlock.h"

namespace apfsw {

namespace {

constexpr size_t MIN_MATCH = 4;
constexpr size_t LZVN_MAX_DISTANCE = 0xFFFF;  // the largest the two-byte distance form holds
constexpr size_t LZFSE_MAX_DISTANCE = 262139;
constexpr size_t LZFSE_SMALL_INPUT = 4096;
constexpr unsigned HASH_BITS = 14;

uint32_t HashAt(const uint8_t* p) {
  const uint32_t word = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  return (word * 2654435761u) >> (32 - HASH_BITS);
}

class LzvnWriter {
 public:
  explicit LzvnWriter(std::vector<uint8_t>& out) : out_(out) {}

  void Literals(const uint8_t* p, size_t count) {
    while (count > 0) {
      const size_t take = std::min<size_t>(count, 271);
      if (take >= 16) {
        out_.push_back(0xE0);
        out_.push_back(uint8_t(take - 16));
      } else {
        out_.push_back(uint8_t(0xE0 | take));
      }
      out_.insert(out_.end(), p, p + take);
      p += take;
      count -= take;
    }
  }

  // A match of at least 3 bytes: its first 3 to 10 bytes with a two-byte distance and no
  // literals, the rest at the distance just given.
  void Match(size_t distance, size_t length) {
    const size_t first = std::min<size_t>(length, 10);
    out_.push_back(uint8_t(((first - 3) << 3) | 7));
    out_.push_back(uint8_t(distance));
    out_.push_back(uint8_t(distance >> 8));
    for (size_t left = length - first; left > 0;) {
      const size_t take = std::min<size_t>(left, 271);
      if (take >= 16) {
        out_.push_back(0xF0);
        out_.push_back(uint8_t(take - 16));
      } else {
        out_.push_back(uint8_t(0xF0 | take));
      }
      left -= take;
    }
  }

  void End() { out_.insert(out_.end(), {0x06, 0, 0, 0, 0, 0, 0, 0}); }

 private:
  std::vector<uint8_t>& out_;
};

void Put32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; i++) out.push_back(uint8_t(value >> (8 * i)));
}

// Greedy matching over a hash of the next four bytes: calls
// sequence(literalsAt, literalCount, distance, length) for each match and its literals, then
// once with length 0 for the literals after the last match.
template <typename Sequence>
void ParseMatches(const uint8_t* data, size_t size, size_t maxDistance, Sequence sequence) {
  std::vector<int64_t> lastSeen(size_t(1) << HASH_BITS, -1);
  size_t literalStart = 0;
  size_t at = 0;
  while (at + MIN_MATCH <= size) {
    const uint32_t hash = HashAt(data + at);
    const int64_t candidate = lastSeen[hash];
    lastSeen[hash] = int64_t(at);
    size_t length = 0;
    if (candidate >= 0 && at - size_t(candidate) <= maxDistance) {
      while (at + length < size && data[size_t(candidate) + length] == data[at + length]) length++;
    }
    if (length < MIN_MATCH) {
      at++;
      continue;
    }
    sequence(literalStart, at - literalStart, at - size_t(candidate), length);
    at += length;
    literalStart = at;
  }
  sequence(literalStart, size - literalStart, size_t(0), size_t(0));
}

// Collects triples into entropy-coded blocks, each within the counts a Mac's encoder keeps
// to, so any reader's buffers hold them.
class LzfseBlocks {
 public:
  LzfseBlocks(const uint8_t* data, std::vector<uint8_t>& out) : data_(data), out_(out) {}

  void Sequence(size_t literalsAt, size_t literalCount, size_t distance, size_t length) {
    for (; literalCount > MAX_L; literalsAt += MAX_L, literalCount -= MAX_L) Add(literalsAt, MAX_L, 0, 0);
    const size_t first = std::min(length, MAX_M);
    if (literalCount > 0 || first > 0) Add(literalsAt, literalCount, first, distance);
    for (size_t left = length - first; left > 0;) {
      const size_t take = std::min(left, MAX_M);
      Add(0, 0, take, distance);
      left -= take;
    }
  }

  void Flush() {
    if (triples_.empty()) return;
    AppendLzfseBlock(out_, std::move(literals_), triples_, rawBytes_);
    literals_.clear();
    triples_.clear();
    rawBytes_ = 0;
    lastDistance_ = 0;
  }

 private:
  static constexpr size_t MAX_L = 315, MAX_M = 2359;
  static constexpr size_t MAX_TRIPLES = 10000, MAX_LITERALS = 40000;

  void Add(size_t literalsAt, size_t literalCount, size_t length, size_t distance) {
    if (triples_.size() == MAX_TRIPLES || literals_.size() + literalCount + 3 > MAX_LITERALS) Flush();
    literals_.insert(literals_.end(), data_ + literalsAt, data_ + literalsAt + literalCount);
    // A distance equal to the block's last one is sent as 0, "the same again".
    uint32_t coded = 0;
    if (length > 0) {
      coded = distance == lastDistance_ ? 0 : uint32_t(distance);
      lastDistance_ = distance;
    }
    triples_.push_back({uint32_t(literalCount), uint32_t(length), coded});
    rawBytes_ += uint32_t(literalCount + length);
  }

  const uint8_t* data_;
  std::vector<uint8_t>& out_;
  std::vector<uint8_t> literals_;
  std::vector<LzfseTriple> triples_;
  uint32_t rawBytes_ = 0;
  size_t lastDistance_ = 0;
};

}  // namespace

std::vector<uint8_t> LzvnCompress(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  LzvnWriter writer(out);
  ParseMatches(data, size, LZVN_MAX_DISTANCE, [&](size_t literalsAt, size_t literalCount, size_t distance,
                                                   size_t length) {
    writer.Literals(data + literalsAt, literalCount);
    if (length > 0) writer.Match(distance, length);
  });
  writer.End();
  return out;
}

std::vector<uint8_t> LzfseCompress(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  if (size < LZFSE_SMALL_INPUT) {
    // Small chunks take one LZVN block, which carries no tables.
    const std::vector<uint8_t> payload = LzvnCompress(data, size);
    out = {'b', 'v', 'x', 'n'};
    Put32(out, uint32_t(size));
    Put32(out, uint32_t(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
  } else {
    LzfseBlocks blocks(data, out);
    ParseMatches(data, size, LZFSE_MAX_DISTANCE,
                 [&](size_t literalsAt, size_t literalCount, size_t distance, size_t length) {
                   blocks.Sequence(literalsAt, literalCount, distance, length);
                 });
    blocks.Flush();
  }
  out.insert(out.end(), {'b', 'v', 'x', '$'});
  return out;
}

}  // namespace apfsw
