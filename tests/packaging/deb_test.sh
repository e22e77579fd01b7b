#!/usr/bin/env bash
# Builds the Debian package from the build tree into a scratch folder and checks it: its
# name, the files it installs under /usr, that its dependencies name the package of every
# library the binaries link, and that installed into a scratch root the tools run and
# removing it leaves nothing behind.
#   deb_test.sh BUILD_DIR QUADREL QUADREL_MKIMAGE
set -uo pipefail
build=$1 quadrel=$2 mkimage=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; echo "FAIL: cpack could not make the package"; exit 1; }

version=$("$quadrel" --version | awk '{print $2}')
deb=$scratch/out/quadrel_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { ls "$scratch/out"; echo "FAIL: no package named $(basename "$deb")"; exit 1; }

# The files: the two tools, their manual pages and the completion, all under /usr, owned by root.
dpkg-deb -c "$deb" >"$scratch/contents" || fail "dpkg-deb -c cannot read the package"
for file in ./usr/bin/quadrel ./usr/bin/quadrel-mkimage ./usr/share/man/man1/quadrel.1.gz \
    ./usr/share/man/man1/quadrel-mkimage.1.gz ./usr/share/bash-completion/completions/quadrel; do
  awk '{print $6}' "$scratch/contents" | grep -qxF "$file" || fail "the package lacks $file"
done
awk '$6 !~ /^\.\/usr\// {print}' "$scratch/contents" | grep . && fail "files outside /usr"
awk '$2 != "root/root" {print}' "$scratch/contents" | grep . && fail "files not owned by root"

# The control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = quadrel ] || fail "Package is $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version is $(field Version), quadrel --version says $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is $(field Architecture)"
depends=$(field Depends)
echo "Depends: $depends"
depended=$(tr ',|' '\n\n' <<<"$depends" | awk '{print $1}')
for binary in "$quadrel" "$mkimage"; do
  for library in $(ldd "$binary" | awk '$2 == "=>" && $3 ~ /^\// {print $3}'); do
    owner=$(dpkg -S "$(realpath "$library")" 2>/dev/null | head -1 | cut -d: -f1)
    [ -n "$owner" ] || owner=$(dpkg -S "$library" 2>/dev/null | head -1 | cut -d: -f1)
    [ -n "$owner" ] || { fail "no package owns $library, which $(basename "$binary") links"; continue; }
    grep -qxF "$owner" <<<"$depended" ||
      fail "$(basename "$binary") links $library of $owner, which Depends does not name"
  done
done

# Installed by dpkg into a scratch root (which holds no other package, hence
# --force-depends), the tools run and tell the package's version, and the pages are
# compressed roff; removed, the package leaves nothing but dpkg's own records.
root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
in_root() { dpkg --root="$root" --log=/dev/null --force-not-root --force-script-chrootless "$@"; }
in_root --force-depends -i "$deb" >"$scratch/dpkg.log" 2>&1 ||
  { cat "$scratch/dpkg.log"; fail "dpkg cannot install the package"; }
for tool in quadrel quadrel-mkimage; do
  said=$("$root/usr/bin/$tool" --version)
  [ "$said" = "$tool $version" ] || fail "installed $tool --version says \"$said\""
  zcat "$root/usr/share/man/man1/$tool.1.gz" | grep -q "^\.TH ${tool^^} 1 .*$version" ||
    fail "the manual page of $tool is not a compressed page of version $version"
done
in_root -r quadrel >>"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; fail "dpkg cannot remove the package"; }
left=$(cd "$root" && find . -mindepth 1 ! -path './var' ! -path './var/*')
[ -z "$left" ] || fail "removing the package left $left"

[ "$failures" -eq 0 ] && echo "the package $(basename "$deb") is complete"
exit $((failures > 0))
