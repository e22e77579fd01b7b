#!/usr/bin/env bash
# Loads quadrel's bash completion as bash-completion would and asks it, the way bash does
# (COMP_WORDS, COMP_CWORD, then the function `complete -p quadrel` names), to complete
# partial command lines: commands, each command's options, and paths inside an image
# written by quadrel-mkimage. Every command and option `quadrel --help` lists must be
# offered.
#   completion_test.sh COMPLETION_FILE QUADREL QUADREL_MKIMAGE
set -uo pipefail
completion=$1 quadrel=$2 mkimage=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The command is found on PATH under its installed name, as the completion runs it.
mkdir "$scratch/bin"
ln -s "$(realpath "$quadrel")" "$scratch/bin/quadrel"
PATH=$scratch/bin:$PATH

# shellcheck source=/dev/null
source "$completion"
spec=$(complete -p quadrel) || { echo "FAIL: the completion does not register for quadrel"; exit 1; }
function=$(sed -n 's/.*-F \([^ ]*\) .*/\1/p' <<<"$spec")

# Prints, sorted, what completing the last word of LINE offers (a LINE ending in a blank
# completes an empty word). Words are split at blanks, as long as none holds one, and bash
# makes "=" a word of its own.
completions() {
  local line=$1
  read -ra COMP_WORDS <<<"${line//=/ = }"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  "$function" quadrel "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sort
}

# expect LINE OFFERS...: completing LINE offers exactly OFFERS.
expect() {
  local line=$1; shift
  local got wanted
  got=$(completions "$line" | paste -sd ' ')
  wanted=$(printf '%s\n' "$@" | sort | paste -sd ' ')
  [ "$got" = "$wanted" ] || fail "\"$line\" offers \"$got\", not \"$wanted\""
}

# includes LINE WORD: completing LINE offers WORD (among others).
includes() {
  completions "$1" | grep -qxF -- "$2" || fail "\"$1\" does not offer $2"
}

# Commands and options.
expect "quadrel l" ls
expect "quadrel --json s" stat
expect "quadrel ls --j" --json
expect "quadrel --vers" --version
expect "quadrel ls -" --help --json --password --password-file --password-stdin --snapshot --version --volume -R -a -l
expect "quadrel info -" --help --json --password --password-file --password-stdin --version --volume
expect "quadrel mount -" --help --json --password --password-file --password-stdin --snapshot --version --volume -d -f -o
expect "quadrel help m" mount
expect "quadrel ls --volume " 
expect "quadrel ls --snapshot " 
expect "quadrel ls --password " 
help=$("$quadrel" --help)
for command in $(sed -n '/^Commands:/,/^$/p' <<<"$help" | awk 'NR > 1 && NF {print $1}'); do
  includes "quadrel " "$command"
done
for option in $(grep -oE -- '--[a-z][a-z-]*' <<<"$help" | sort -u); do
  includes "quadrel ls -" "$option"
done

# Files: the image, a destination, a mount point (directories only).
mkdir "$scratch/mnt" "$scratch/mnt2"
touch "$scratch/mnt.txt"
cat >"$scratch/manifest.json" <<'JSON'
{"volumes": [{"name": "Completion", "entries": [
  {"name": "Doc.txt", "text": "a"},
  {"name": "Documents", "entries": [{"name": "notes.md", "text": "b"}, {"name": "old", "entries": []},
                                     {"name": "My notes", "text": "d"}]},
  {"name": "link", "type": "symlink", "target": "Documents"},
  {"name": ".hidden", "text": "c"}],
  "snapshots": [{"name": "old", "entries": [{"name": "Gone.txt", "text": "g"}]}]}]}
JSON
"$mkimage" --manifest "$scratch/manifest.json" "$scratch/image.img" || fail "quadrel-mkimage could not write the image"
image=$scratch/image.img
expect "quadrel info $scratch/ima" "$image"
expect "quadrel get $image /Doc.txt $scratch/mnt" "$scratch/mnt" "$scratch/mnt.txt" "$scratch/mnt2"
expect "quadrel mount $image $scratch/mn" "$scratch/mnt" "$scratch/mnt2"

# Paths inside the image: directories end with "/", a symbolic link does not.
expect "quadrel cat $image /Doc" /Doc.txt /Documents/
expect "quadrel ls -l $image Documents/" Documents/notes.md Documents/old/ 'Documents/My\ notes'
expect "quadrel cat $image /Documents/My" '/Documents/My\ notes'
expect "quadrel cat $image /Documents/My\\" '/Documents/My\ notes'
expect "quadrel stat $image /l" /link
expect "quadrel xattr $image /." /.hidden
expect "quadrel --volume 0 get $image /Documents/n" /Documents/notes.md
expect "quadrel --volume=0 get $image /Documents/n" /Documents/notes.md
expect "quadrel --volume 3 ls $image /D"
expect "quadrel ls --volume=3 $image /D"
expect "quadrel ls --volume=" 
expect "quadrel cat $image /Documents/notes.md " 
# Paths of a snapshot's tree, when one is chosen.
expect "quadrel cat --snapshot old $image /G" /Gone.txt
expect "quadrel cat --snapshot=old $image /G" /Gone.txt
expect "quadrel cat $image /G"

[ "$failures" -eq 0 ] && echo "the completion offers every command, option and path asked"
exit $((failures > 0))
