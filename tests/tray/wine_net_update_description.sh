#!/usr/bin/env bash
# The update description reader under Wine, through the program's Windows file class:
# a valid file of two checked blocks, a changed byte, another format version and a
# missing file.
source "$(dirname "$0")/harness.sh"
source "$(dirname "$0")/harness_tls.sh"
prepare_prefix
install_nettest

folder="$WINEPREFIX/drive_c/pud"
mkdir -p "$folder"
python3 - "$folder" <<'PY'
import hashlib, struct, sys

def counted(text):
    data = text.encode("utf-16-le")
    return struct.pack("<I", len(data) // 2) + data

def description(format_version):
    long_text = "Quadrel " + "x" * 40000  # spans the first block boundary
    return (b"$AUD" + format_version + struct.pack("<4I", 2, 3, 4, 5) + counted(long_text)
            + counted("") + bytes(16) + counted("https://example.test/setup.exe")
            + bytes(range(16)) + counted("exe") + b"A" * 8192 + b"B" * 8192)

def block_file(content):
    out = b""
    for at in range(0, len(content), 65535):
        data = content[at:at + 65535]
        out += hashlib.md5(data).digest() + data
    return out

folder = sys.argv[1]
valid = block_file(description(b"100"))
open(f"{folder}/valid.pud", "wb").write(valid)
damaged = bytearray(valid)
damaged[70000] ^= 1
open(f"{folder}/damaged.pud", "wb").write(bytes(damaged))
open(f"{folder}/v101.pud", "wb").write(block_file(description(b"101")))
open(f"{folder}/stray.pud", "wb").write(valid + b"\0" * 7)
PY

result=$(nettest pud 'C:\pud\valid.pud')
expect_contains "$result" "ok 2.3.4.5 Quadrel xxxx"
expect_contains "$result" " https://example.test/setup.exe exe"
expect_equal "$(nettest pud 'C:\pud\damaged.pud' || true)" "refused The data file is damaged."
expect_equal "$(nettest pud 'C:\pud\stray.pud' || true)" "refused The data file is damaged."
expect_equal "$(nettest pud 'C:\pud\v101.pud' || true)" "refused Unsupported .PUD file version '101'."
expect_equal "$(nettest pud 'C:\pud\missing.pud' || true)" "refused file system error 2"
log "PASS"
