#include "Lzvn.h"

#include <cstring>

#include "LzMatch.h"

namespace {

// What one instruction asks for: its own length in bytes (literals excluded), the
// literals that follow it, and a match of length bytes from distance bytes back.
struct Instruction {
  size_t bytes = 1;
  size_t literals = 0;
  size_t matchLength = 0;
  size_t distance = 0;
  bool setsDistance = false;
};

enum class Kind { End, Nop, Undefined, Ordinary };

Kind KindOf(uint8_t op) {
  if (op == 0x06) return Kind::End;
  if (op == 0x0E || op == 0x16) return Kind::Nop;
  // The byte values where the general layouts would collide are left undefined.
  if (op == 0x1E || op == 0x26 || op == 0x2E || op == 0x36 || op == 0x3E) return Kind::Undefined;
  if ((op & 0xF0) == 0x70 || (op & 0xF0) == 0xD0) return Kind::Undefined;
  return Kind::Ordinary;
}

// Reads the instruction at in[0]; available counts the bytes from there to the end of the
// stream. False when its operand bytes are missing.
bool Decode(const uint8_t* in, size_t available, size_t previousDistance, Instruction* ins) {
  const uint8_t op = in[0];
  auto needs = [&](size_t bytes) {
    ins->bytes = bytes;
    return available >= bytes;
  };
  ins->distance = previousDistance;
  if (op == 0xE0) {  // many literals
    if (!needs(2)) return false;
    ins->literals = size_t(in[1]) + 16;
  } else if (op > 0xE0 && op <= 0xEF) {  // a few literals
    ins->literals = op & 0x0F;
  } else if (op == 0xF0) {  // a long match at the previous distance
    if (!needs(2)) return false;
    ins->matchLength = size_t(in[1]) + 16;
  } else if (op > 0xF0) {  // a short match at the previous distance
    ins->matchLength = op & 0x0F;
  } else if (op >= 0xA0 && op <= 0xBF) {  // medium distance
    if (!needs(3)) return false;
    ins->literals = (op >> 3) & 3;
    ins->matchLength = (((op & 7) << 2) | (in[1] & 3)) + 3;
    ins->distance = size_t(in[1] >> 2) | size_t(in[2]) << 6;
    ins->setsDistance = true;
  } else if ((op & 7) == 7) {  // large distance
    if (!needs(3)) return false;
    ins->literals = op >> 6;
    ins->matchLength = ((op >> 3) & 7) + 3;
    ins->distance = size_t(in[1]) | size_t(in[2]) << 8;
    ins->setsDistance = true;
  } else if ((op & 7) == 6) {  // the previous distance again
    ins->literals = op >> 6;
    ins->matchLength = ((op >> 3) & 7) + 3;
  } else {  // small distance
    if (!needs(2)) return false;
    ins->literals = op >> 6;
    ins->matchLength = ((op >> 3) & 7) + 3;
    ins->distance = size_t(op & 7) << 8 | in[1];
    ins->setsDistance = true;
  }
  return true;
}

}  // namespace

bool LzvnDecode(const uint8_t* in, size_t inLength, uint8_t* out, size_t start, size_t capacity, size_t* end) {
  size_t ip = 0;
  size_t op = start;
  size_t previousDistance = 0;
  while (ip < inLength) {
    const Kind kind = KindOf(in[ip]);
    if (kind == Kind::End) {
      *end = op;
      return true;
    }
    if (kind == Kind::Undefined) return false;
    if (kind == Kind::Nop) {
      ip++;
      continue;
    }
    Instruction ins;
    if (!Decode(in + ip, inLength - ip, previousDistance, &ins)) return false;
    ip += ins.bytes;
    if (ins.literals > inLength - ip || ins.literals + ins.matchLength > capacity - op) return false;
    std::memcpy(out + op, in + ip, ins.literals);
    ip += ins.literals;
    op += ins.literals;
    if (ins.setsDistance) previousDistance = ins.distance;
    if (ins.matchLength == 0) continue;
    if (ins.distance == 0 || ins.distance > op) return false;
    LzCopyMatch(out, op, ins.distance, ins.matchLength);
    op += ins.matchLength;
  }
  return false;  // no end-of-stream instruction
}
