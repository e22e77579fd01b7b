#!/usr/bin/env bash
# The program's registry values as its own functions read and write them: "UPD" under
# the machine's product key, "SkipUpdate" under the user's.
source "$(dirname "$0")/harness.sh"
prepare_prefix

expect_equal "$(helper read-update-path || true)" "absent"
wine_quiet reg add 'HKLM\Software\Quadrel' /v UPD /t REG_SZ /d 'C:\updates\quadrel.pud' /f
expect_equal "$(helper read-update-path)" 'C:\updates\quadrel.pud'
# A path longer than the 520 bytes the program reads counts as missing.
long_path="C:\\$(printf 'x%.0s' $(seq 300)).pud"
wine_quiet reg add 'HKLM\Software\Quadrel' /v UPD /t REG_SZ /d "$long_path" /f
expect_equal "$(helper read-update-path || true)" "absent"

expect_equal "$(helper read-skipped-update || true)" "absent"
helper write-skipped-update 1.2.3.4 || fail "could not write SkipUpdate"
expect_equal "$(helper read-binary HKCU SkipUpdate)" \
  "type 3: 01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00"
expect_equal "$(helper read-skipped-update)" "1.2.3.4"
# A value of the wrong size is no skipped version.
wine_quiet reg add 'HKCU\Software\Quadrel' /v SkipUpdate /t REG_BINARY /d 0100000002000000 /f
expect_equal "$(helper read-skipped-update || true)" "absent"
log "PASS"
