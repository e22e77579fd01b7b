#!/usr/bin/env python3
"""Generates driver/engine/UnicodeTables.cpp: the lower-case, decomposition and CRC-32C
tables of the name functions.

The mappings come from the Unicode Character Database as Debian's unicode-data package
installs it (UnicodeData.txt and DerivedAge.txt), restricted to characters assigned by
Unicode 6.3: a mapping is kept only when its source and every code point it maps to were
assigned by then, so the tables match names written by systems that use that version.

Usage: gen_unicode_tables.py [UCD_DIR] [OUTPUT]
"""
import os
import sys

UCD_DIR = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/unicode"
OUTPUT = sys.argv[2] if len(sys.argv) > 2 else os.path.join(
    os.path.dirname(__file__), "..", "..", "driver", "engine", "UnicodeTables.cpp")

AGE_LIMIT = (6, 3)
LOWER_LIMIT = 0x10428
DECOMP_FIRST, DECOMP_LIMIT = 0x80, 0x2FA1E
HANGUL_FIRST, HANGUL_LAST = 0xAC00, 0xD7A3
EXPECTED_LOWER_DELTAS = 67
EXPECTED_DECOMPOSITIONS = 2053


def read_ages():
    assigned = set()
    with open(os.path.join(UCD_DIR, "DerivedAge.txt"), encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            cps, age = (part.strip() for part in line.split(";"))
            major, minor = (int(x) for x in age.split("."))
            if (major, minor) > AGE_LIMIT:
                continue
            first, _, last = cps.partition("..")
            assigned.update(range(int(first, 16), int(last or first, 16) + 1))
    return assigned


def read_unicode_data():
    lower, decomposition = {}, {}
    with open(os.path.join(UCD_DIR, "UnicodeData.txt"), encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split(";")
            cp = int(fields[0], 16)
            if fields[5] and not fields[5].startswith("<"):
                decomposition[cp] = [int(x, 16) for x in fields[5].split()]
            if fields[13]:
                lower[cp] = int(fields[13], 16)
    return lower, decomposition


def full_decomposition(cp, decomposition):
    if cp not in decomposition:
        return [cp]
    return [d for part in decomposition[cp] for d in full_decomposition(part, decomposition)]


def two_level(values, block_type):
    """Splits values into 64-entry blocks; returns (index per block, distinct blocks)."""
    blocks, index, seen = [], [], {}
    for start in range(0, len(values), 64):
        block = tuple(values[start:start + 64])
        block += (0,) * (64 - len(block))
        if block not in seen:
            seen[block] = len(blocks)
            blocks.append(block)
        index.append(seen[block])
    assert len(blocks) <= 256, f"{block_type}: {len(blocks)} second-level blocks do not fit a byte"
    return index, blocks


def lower_tables(assigned, lower):
    deltas = [0]
    entries = []
    for cp in range(0, (LOWER_LIMIT >> 6) * 64 + 64):
        target = lower.get(cp)
        delta = 0
        if cp < LOWER_LIMIT and target is not None and cp in assigned and target in assigned:
            delta = target - cp
        if delta not in deltas:
            deltas.append(delta)
        entries.append(deltas.index(delta))
    assert len(deltas) == EXPECTED_LOWER_DELTAS, f"{len(deltas)} lower-case deltas"
    index, blocks = two_level(entries, "lower")
    assert len(index) == (LOWER_LIMIT >> 6) + 1
    return index, blocks, deltas


def decomposition_tables(assigned, decomposition):
    code_points, code_point_index = [], {}
    runs, run_start = [], {}
    entries = [0] * ((DECOMP_LIMIT >> 6) * 64 + 64)
    count = 0
    for cp in range(DECOMP_FIRST, DECOMP_LIMIT):
        if HANGUL_FIRST <= cp <= HANGUL_LAST or cp not in decomposition or cp not in assigned:
            continue
        parts = full_decomposition(cp, decomposition)
        if not all(p in assigned for p in parts):
            continue
        assert 1 <= len(parts) <= 4, f"U+{cp:04X} decomposes into {len(parts)} code points"
        for p in parts:
            if p not in code_point_index:
                code_point_index[p] = len(code_points)
                code_points.append(p)
        run = tuple(code_point_index[p] for p in parts)
        if run not in run_start:
            run_start[run] = len(runs)
            runs.extend(run)
        assert run_start[run] < (1 << 14)
        entries[cp] = (len(parts) - 1) << 14 | run_start[run]
        count += 1
    assert count == EXPECTED_DECOMPOSITIONS, f"{count} decompositions"
    index, blocks = two_level(entries, "decomposition")
    return index, blocks, runs, code_points


def crc32c_table():
    table = []
    for n in range(256):
        c = n
        for _ in range(8):
            c = (c >> 1) ^ 0x82F63B78 if c & 1 else c >> 1
        table.append(c)
    return table


def c_array(values, fmt, per_line=12):
    items = [fmt.format(v) for v in values]
    lines = [", ".join(items[i:i + per_line]) for i in range(0, len(items), per_line)]
    return "    " + ",\n    ".join(lines)


def c_blocks(blocks, fmt):
    return ",\n".join("  {\n" + c_array(block, fmt, 16) + "\n  }" for block in blocks)


def main():
    assigned = read_ages()
    lower, decomposition = read_unicode_data()
    lower_index, lower_blocks, deltas = lower_tables(assigned, lower)
    decomp_index, decomp_blocks, runs, code_points = decomposition_tables(assigned, decomposition)
    out = [
        "// Generated by tools/unicode/gen_unicode_tables.py; do not edit.",
        '#include "UnicodeTables.h"',
        "",
        "const uint8_t LowerIndex[LOWER_INDEX_SIZE] = {",
        c_array(lower_index, "{}", 20), "};", "",
        f"const uint8_t LowerBlocks[{len(lower_blocks)}][64] = {{",
        c_blocks(lower_blocks, "{}"), "};", "",
        "const int32_t LowerDeltas[LOWER_DELTA_COUNT] = {",
        c_array(deltas, "{}"), "};", "",
        "const uint8_t DecompIndex[DECOMP_INDEX_SIZE] = {",
        c_array(decomp_index, "{}", 20), "};", "",
        f"const uint16_t DecompBlocks[{len(decomp_blocks)}][64] = {{",
        c_blocks(decomp_blocks, "0x{:04X}"), "};", "",
        f"const uint16_t DecompRuns[{len(runs)}] = {{",
        c_array(runs, "{}", 16), "};", "",
        f"const uint32_t DecompCodePoints[{len(code_points)}] = {{",
        c_array(code_points, "0x{:04X}", 10), "};", "",
        "const uint32_t Crc32cTable[256] = {",
        c_array(crc32c_table(), "0x{:08X}", 6), "};", "",
    ]
    with open(OUTPUT, "w", encoding="ascii") as f:
        f.write("\n".join(out))
    print(f"wrote {OUTPUT}: {len(deltas)} lower-case deltas, {len(lower_blocks)} lower blocks, "
          f"{len(decomp_blocks)} decomposition blocks, {len(runs)} run entries, "
          f"{len(code_points)} code points")


if __name__ == "__main__":
    main()
