#!/usr/bin/env bash
# The manual pages format without warnings and stay in step with the programs: quadrel(1)
# names every command and option `quadrel --help` lists and every exit status of the
# ExitCode enumeration and every field of the JSON documents it prints for an image
# written by quadrel-mkimage, and quadrel-mkimage(1) every option of its --help.
#   manual_pages_test.sh PAGES_DIR QUADREL QUADREL_MKIMAGE FAILURE_H
set -uo pipefail
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
pages=$1 quadrel=$2 mkimage=$3 failure_h=$4
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The page's source with roff's escaped hyphens made plain.
page_text() { sed 's/\\-/-/g' "$pages/$1"; }
quadrel_page=$(page_text quadrel.1)
mkimage_page=$(page_text quadrel-mkimage.1)

for page in quadrel.1 quadrel-mkimage.1; do
  warnings=$(groff -man -ww -z -K utf8 "$pages/$page" 2>&1)
  [ -z "$warnings" ] || fail "$page: groff warns: $warnings"
  zcat "$pages/$page.gz" | cmp -s - "$pages/$page" || fail "$page.gz is not $page compressed"
done

help=$("$quadrel" --help)
commands=$(sed -n '/^Commands:/,/^$/p' <<<"$help" | awk 'NR > 1 && NF {print $1}')
[ -n "$commands" ] || fail "quadrel --help lists no commands"
for command in $commands; do
  grep -q "^\.BI\? \"\?$command\b" <<<"$quadrel_page" || fail "quadrel.1 does not describe the command $command"
done
every_help=$(for command in "" $commands; do "$quadrel" help $command; done)
options=$(grep -oE -- '(^|[ [])--?[a-zA-Z][a-z-]*' <<<"$every_help" | tr -d ' [' | sort -u)
[ -n "$options" ] || fail "quadrel --help lists no options"
for option in $options; do
  grep -qF -- "$option" <<<"$quadrel_page" || fail "quadrel.1 does not name the option $option"
done

statuses=$(sed -n 's/^ *[A-Za-z]* = \([0-9]*\),.*/\1/p' "$failure_h")
[ -n "$statuses" ] || fail "no exit statuses found in $failure_h"
exit_section=$(sed -n '/^\.SH EXIT STATUS/,/^\.SH /p' <<<"$quadrel_page")
for status in $statuses; do
  grep -qx "\.B $status" <<<"$exit_section" || fail "quadrel.1 does not explain exit status $status"
done

# JSON fields: info, and ls and stat of every kind of entry that carries fields of its own.
cat >"$scratch/manifest.json" <<'JSON'
{"volumes": [{"name": "Fields", "entries": [
  {"name": "file", "text": "a", "xattrs": [{"name": "note", "text": "b"}]},
  {"name": "dir", "entries": [{"name": "inner", "text": "c"}]},
  {"name": "link", "type": "symlink", "target": "file"},
  {"name": "device", "type": "chardev", "rdev": 260},
  {"name": "packed", "text": "compressed contents", "compression": "decmpfs"}]}]}
JSON
"$mkimage" --manifest "$scratch/manifest.json" "$scratch/image.img" || fail "quadrel-mkimage could not write the image"
documents=$("$quadrel" info --json "$scratch/image.img"
            "$quadrel" ls --json -R "$scratch/image.img"
            for entry in / /file /dir /link /device /packed; do "$quadrel" stat --json "$scratch/image.img" "$entry"; done)
fields=$(grep -oE '"[a-z_]+": ' <<<"$documents" | tr -d '": ' | sort -u)
[ -n "$fields" ] || fail "quadrel printed no JSON fields"
json_section=$(sed -n '/^\.SH JSON OUTPUT/,/^\.SH /p' <<<"$quadrel_page")
for field in $fields; do
  grep -qE "^\.BR? ([a-z_]+ \"?, \"? )?$field\b|\"$field\":" <<<"$json_section" ||
    fail "quadrel.1 does not describe the JSON field $field"
done

mkimage_options=$("$mkimage" --help | grep -oE -- '--[a-z-]+' | sort -u)
[ -n "$mkimage_options" ] || fail "quadrel-mkimage --help lists no options"
for option in $mkimage_options; do
  grep -qF -- "$option" <<<"$mkimage_page" || fail "quadrel-mkimage.1 does not name the option $option"
done

[ "$failures" -eq 0 ] && echo "both manual pages cover their program"
exit $((failures > 0))
