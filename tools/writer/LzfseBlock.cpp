#include "LzfseBlock.h"

#include <algorithm>
#include <array>
#include <bit>

namespace apfsw {

namespace {

constexpr unsigned LITERAL_STATES = 1024, L_STATES = 64, M_STATES = 64, D_STATES = 256;
constexpr size_t D_SYMBOLS = 64, LITERAL_SYMBOLS = 256;
constexpr size_t PACKED_FIXED_SIZE = 32;

// How a value is split into a symbol and extra bits.
struct ValueCode {
  std::vector<uint8_t> extra;
  std::vector<uint32_t> base;

  unsigned SymbolOf(uint32_t value) const {
    unsigned s = 0;
    while (s + 1 < base.size() && base[s + 1] <= value) s++;
    return s;
  }
};

ValueCode LengthCode(std::array<uint8_t, 4> longExtra, std::array<uint32_t, 4> longBase) {
  ValueCode code;
  for (uint32_t s = 0; s < 16; s++) code.extra.push_back(0), code.base.push_back(s);
  code.extra.insert(code.extra.end(), longExtra.begin(), longExtra.end());
  code.base.insert(code.base.end(), longBase.begin(), longBase.end());
  return code;
}

// Distances: symbols 0 to 3 stand for themselves, then each extra-bit count from 1 to 15
// serves four symbols in a row, each base following the range of the one before.
ValueCode DistanceCode() {
  ValueCode code;
  for (unsigned s = 0; s < D_SYMBOLS; s++) {
    code.extra.push_back(uint8_t(s < 4 ? 0 : (s - 4) / 4 + 1));
    code.base.push_back(s == 0 ? 0 : code.base[s - 1] + (uint32_t(1) << code.extra[s - 1]));
  }
  return code;
}

const ValueCode L_CODE = LengthCode({2, 3, 5, 8}, {16, 20, 28, 60});
const ValueCode M_CODE = LengthCode({3, 5, 8, 11}, {16, 24, 56, 312});
const ValueCode D_CODE = DistanceCode();

// A field of the payload's bit stream: the low `bits` bits of `value`.
struct Field {
  uint32_t value;
  unsigned bits;
};

// Frequencies summing to `states`, in proportion to the counts; a counted symbol keeps at
// least one state. Counts that are all zero stay so (the table is never used).
std::vector<uint16_t> Normalise(const std::vector<uint32_t>& counts, unsigned states) {
  uint64_t total = 0;
  for (uint32_t c : counts) total += c;
  std::vector<uint16_t> freq(counts.size(), 0);
  if (total == 0) return freq;
  unsigned sum = 0;
  for (size_t s = 0; s < counts.size(); s++) {
    if (counts[s] == 0) continue;
    freq[s] = uint16_t(std::max<uint64_t>(1, counts[s] * uint64_t(states) / total));
    sum += freq[s];
  }
  const auto largest = [&] { return size_t(std::max_element(freq.begin(), freq.end()) - freq.begin()); };
  for (; sum > states; sum--) freq[largest()]--;
  freq[largest()] += uint16_t(states - sum);
  return freq;
}

// The encoder's side of a decoding table (entries of each symbol contiguous, in symbol
// order). Coding runs backwards: given the state the decoder moves to after a symbol, it
// names the state the decoder must be in for that symbol and the bits that lead on.
class Table {
 public:
  Table(const std::vector<uint16_t>& freq, unsigned states)
      : freq_(freq), start_(freq.size()), states_(states), log_(unsigned(std::countr_zero(states))) {
    uint32_t at = 0;
    for (size_t s = 0; s < freq.size(); s++) start_[s] = at, at += freq[s];
  }

  uint32_t Encode(unsigned symbol, uint32_t next, Field* field) const {
    const uint32_t f = freq_[symbol];
    const unsigned k = log_ - unsigned(std::bit_width(f) - 1);
    uint32_t j, base;
    if (next >= (f << k) - states_) {
      j = ((next + states_) >> k) - f;
      base = ((f + j) << k) - states_;
      field->bits = k;
    } else {
      const uint32_t j0 = ((2 * states_) >> k) - f;
      j = j0 + (next >> (k - 1));
      base = (j - j0) << (k - 1);
      field->bits = k - 1;
    }
    field->value = next - base;
    return start_[symbol] + j;
  }

 private:
  std::vector<uint16_t> freq_;
  std::vector<uint32_t> start_;
  unsigned states_;
  unsigned log_;
};

// One coded stream of values (literal lengths, match lengths or distances).
struct ValueStream {
  ValueStream(const ValueCode& valueCode, unsigned stateCount)
      : code(valueCode), states(stateCount), counts(valueCode.base.size(), 0) {}

  const ValueCode& code;
  unsigned states;
  std::vector<uint32_t> counts;
  std::vector<uint16_t> freq;
  uint32_t state = 0;

  void Count(uint32_t value) { counts[code.SymbolOf(value)]++; }

  // The state and extra bits are one field, the state's bits above the extra ones.
  Field Encode(const Table& table, uint32_t value) {
    const unsigned s = code.SymbolOf(value);
    Field field;
    state = table.Encode(s, state, &field);
    field.value = field.value << code.extra[s] | (value - code.base[s]);
    field.bits += code.extra[s];
    return field;
  }
};

// The decoder reads a payload from its last byte toward its first, each byte from its
// most significant bit, after skipping the zero bits that round it up to whole bytes.
// `fields` are in the decoder's order; *unusedBits gets minus the number skipped.
std::vector<uint8_t> PackBackward(const std::vector<Field>& fields, int32_t* unusedBits) {
  size_t total = 0;
  for (const Field& f : fields) total += f.bits;
  const size_t length = (total + 7) / 8;
  std::vector<uint8_t> bytes(length, 0);
  size_t at = 8 * length - total;  // bit position in reading order
  for (const Field& f : fields) {
    for (unsigned b = f.bits; b-- > 0; at++) {
      if ((f.value >> b) & 1) bytes[length - 1 - at / 8] |= uint8_t(0x80 >> (at % 8));
    }
  }
  *unusedBits = -int32_t(8 * length - total);
  return bytes;
}

// The packed header's frequencies: prefix codes read from the least significant bit.
void AppendFrequencies(std::vector<uint8_t>& out, const std::vector<const std::vector<uint16_t>*>& tables) {
  uint64_t bits = 0;
  unsigned count = 0;
  for (const auto* table : tables) {
    for (const uint16_t v : *table) {
      if (v < 2) bits |= uint64_t(v) << 1 << count, count += 2;
      else if (v < 4) bits |= uint64_t(1 | (v - 2) << 2) << count, count += 3;
      else if (v < 8) bits |= uint64_t(3 | (v - 4) << 3) << count, count += 5;
      else if (v < 24) bits |= uint64_t(7 | (v - 8) << 4) << count, count += 8;
      else bits |= uint64_t(15 | (v - 24) << 4) << count, count += 14;
      for (; count >= 8; count -= 8, bits >>= 8) out.push_back(uint8_t(bits));
    }
  }
  if (count > 0) out.push_back(uint8_t(bits));
}

void Put32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; i++) out.push_back(uint8_t(value >> (8 * i)));
}

void Put64(std::vector<uint8_t>& out, uint64_t value) {
  Put32(out, uint32_t(value));
  Put32(out, uint32_t(value >> 32));
}

}  // namespace

void AppendLzfseBlock(std::vector<uint8_t>& out, std::vector<uint8_t> literals,
                      const std::vector<LzfseTriple>& triples, uint32_t rawBytes) {
  literals.resize((literals.size() + 3) & ~size_t(3), 0);
  std::vector<uint32_t> literalCounts(LITERAL_SYMBOLS, 0);
  for (uint8_t b : literals) literalCounts[b]++;
  const std::vector<uint16_t> literalFreq = Normalise(literalCounts, LITERAL_STATES);
  const Table literalTable(literalFreq, LITERAL_STATES);

  // Four interleaved states take the literals in turn; coding runs from the last one.
  std::vector<Field> literalFields(literals.size());
  uint32_t literalState[4] = {};
  for (size_t i = literals.size(); i-- > 0;) {
    literalState[i % 4] = literalTable.Encode(literals[i], literalState[i % 4], &literalFields[i]);
  }
  int32_t literalBits = 0;
  const std::vector<uint8_t> literalPayload = PackBackward(literalFields, &literalBits);

  ValueStream l(L_CODE, L_STATES), m(M_CODE, M_STATES), d(D_CODE, D_STATES);
  for (const LzfseTriple& t : triples) l.Count(t.literals), m.Count(t.matchLength), d.Count(t.distance);
  for (ValueStream* stream : {&l, &m, &d}) stream->freq = Normalise(stream->counts, stream->states);
  const Table lTable(l.freq, L_STATES), mTable(m.freq, M_STATES), dTable(d.freq, D_STATES);
  // The decoder reads L, M, D for each triple in turn; coding runs from the last field.
  std::vector<Field> lmdFields;
  for (size_t i = triples.size(); i-- > 0;) {
    lmdFields.push_back(d.Encode(dTable, triples[i].distance));
    lmdFields.push_back(m.Encode(mTable, triples[i].matchLength));
    lmdFields.push_back(l.Encode(lTable, triples[i].literals));
  }
  std::reverse(lmdFields.begin(), lmdFields.end());
  int32_t lmdBits = 0;
  const std::vector<uint8_t> lmdPayload = PackBackward(lmdFields, &lmdBits);

  std::vector<uint8_t> frequencies;
  AppendFrequencies(frequencies, {&l.freq, &m.freq, &d.freq, &literalFreq});
  out.insert(out.end(), {'b', 'v', 'x', '2'});
  Put32(out, rawBytes);
  Put64(out, uint64_t(literals.size()) | uint64_t(literalPayload.size()) << 20 | uint64_t(triples.size()) << 40 |
                 uint64_t(literalBits + 7) << 60);
  Put64(out, uint64_t(literalState[0]) | uint64_t(literalState[1]) << 10 | uint64_t(literalState[2]) << 20 |
                 uint64_t(literalState[3]) << 30 | uint64_t(lmdPayload.size()) << 40 | uint64_t(lmdBits + 7) << 60);
  Put64(out, uint64_t(PACKED_FIXED_SIZE + frequencies.size()) | uint64_t(l.state) << 32 | uint64_t(m.state) << 42 |
                 uint64_t(d.state) << 52);
  out.insert(out.end(), frequencies.begin(), frequencies.end());
  out.insert(out.end(), literalPayload.begin(), literalPayload.end());
  out.insert(out.end(), lmdPayload.begin(), lmdPayload.end());
}

}  // namespace apfsw
