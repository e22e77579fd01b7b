#include "Compressors.h"

#include <algorithm>

namespace apfsw {

namespace {

constexpr size_t MIN_MATCH = 4;
constexpr size_t MAX_DISTANCE = 0xFFFF;  // the largest the two-byte distance form holds
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

}  // namespace

std::vector<uint8_t> LzvnCompress(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  LzvnWriter writer(out);
  std::vector<int64_t> lastSeen(size_t(1) << HASH_BITS, -1);
  size_t literalStart = 0;
  size_t at = 0;
  while (at + MIN_MATCH <= size) {
    const uint32_t hash = HashAt(data + at);
    const int64_t candidate = lastSeen[hash];
    lastSeen[hash] = int64_t(at);
    size_t length = 0;
    if (candidate >= 0 && at - size_t(candidate) <= MAX_DISTANCE) {
      while (at + length < size && data[size_t(candidate) + length] == data[at + length]) length++;
    }
    if (length < MIN_MATCH) {
      at++;
      continue;
    }
    writer.Literals(data + literalStart, at - literalStart);
    writer.Match(at - size_t(candidate), length);
    at += length;
    literalStart = at;
  }
  writer.Literals(data + literalStart, size - literalStart);
  writer.End();
  return out;
}

std::vector<uint8_t> LzfseCompress(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> payload = LzvnCompress(data, size);
  std::vector<uint8_t> out = {'b', 'v', 'x', 'n'};
  Put32(out, uint32_t(size));
  Put32(out, uint32_t(payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  out.insert(out.end(), {'b', 'v', 'x', '$'});
  return out;
}

}  // namespace apfsw
