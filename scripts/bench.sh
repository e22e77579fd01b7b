#!/usr/bin/env bash
# Measures how fast the engine, the quadrel command, its FUSE mount and the mount served
# by the Windows driver on the kernel stand-in (mount --driver) read generated images (a
# tree, two large files, one on an encrypted volume, and compressed files of each kind),
# each against the limit measured in the same run, and, where fsapfsmount is installed,
# how fast its mount does the same walk and reads; writes a Markdown table and JSON under
# the results folder. See bench/README.md.
#
#   scripts/bench.sh [--smoke] [--build-dir DIR] [--scratch DIR] [--results DIR] [--repeat N]
#
#   --smoke      tiny images and one repeat: checks the harness works, in seconds
#   --build-dir  a configured and built tree (default: build)
#   --scratch    where generated images are cached by manifest and writer hash
#                (default: $QUADREL_BENCH_SCRATCH or /var/tmp/quadrel-bench)
#   --results    where each run's folder is written (default: bench/results)
#   --repeat N   runs of each measure; the fastest is reported (default 3, smoke 1)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

smoke=0
build="$root/build"
scratch="${QUADREL_BENCH_SCRATCH:-/var/tmp/quadrel-bench}"
results="$root/bench/results"
repeat=""
while [ $# -gt 0 ]; do
  case "$1" in
    --smoke) smoke=1 ;;
    --build-dir) build=$(realpath "$2"); shift ;;
    --scratch) scratch="$2"; shift ;;
    --results) results="$2"; shift ;;
    --repeat) repeat="$2"; shift ;;
    *) echo "bench: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done

if [ "$smoke" = 1 ]; then
  dirs=10 files_per_dir=10 wide=100 file_size=$((1 << 20)) fragments=16 lookups=100 opens=3
  repeat=${repeat:-1} peer_limit=60
else
  dirs=1000 files_per_dir=1000 wide=100000 file_size=$((1 << 30)) fragments=16384 lookups=10000 opens=20
  repeat=${repeat:-3} peer_limit=900
fi
expected_entries=$((dirs + dirs * files_per_dir + 1 + wide))

workload="$build/bench/workload_bench"
micro="$build/bench/engine_bench"
decoders="$build/bench/decompress_bench"
quadrel="$build/host/quadrel"
mkimage="$build/tools/quadrel-mkimage"
ceiling="$build/bench/fuse_ceiling"
for program in "$workload" "$micro" "$decoders" "$quadrel" "$mkimage" "$ceiling"; do
  [ -x "$program" ] || { echo "bench: $program is not built" >&2; exit 1; }
done

mkdir -p "$scratch" "$results"
# A full run keeps its own folder; the smoke run replaces the last one.
if [ "$smoke" = 1 ]; then
  run_dir="$results/smoke"
  rm -rf "$run_dir"
else
  run_dir="$results/$(date -u +%Y%m%dT%H%M%SZ)"
fi
mkdir -p "$run_dir"
raw="$run_dir/measures.jsonl"
: >"$raw"
mnt="$run_dir/mnt"
mount_pid=""
mount_peak=""
mount_flags=()  # --driver while the driver's mount is measured
mounter=mount_image  # ceiling_mount while FUSE's ceiling is measured, peer_mount the peer's
mount_log=""  # the log of the mount being made, and its size before it started
log_mark=0

# The peer: another APFS reader's FUSE mount of the image's one volume, read-only, its
# daemon kept in the foreground (-v) so that its peak resident set is read as the mount's.
peer=fsapfsmount
peer_args=(-v -f 1 -X ro)
peer_measure=""  # the peer's measure being taken
limit=()  # the peer's measures stop after peer_limit seconds
failures="$run_dir/failures.tsv"
: >"$failures"
declare -A failed=()

fail() { echo "bench: $*" >&2; exit 1; }

# What a measure that cannot be done does: the run stops, except on a peer's measure,
# which is noted as failed with its reason (and not taken again); the run goes on.
cannot() {
  [ -n "$peer_measure" ] || fail "$@"
  local reason=${*//$'\t'/ }
  echo "bench: $peer: $peer_measure failed: $reason" >&2
  failed[$peer_measure]=$reason
  printf '%s\t%s\n' "$peer_measure" "$reason" >>"$failures"
}

# ---- images ----

tree_manifest() {
  local d
  printf '{"seed": 8, "volumes": [{"name": "Tree", "entries": [\n'
  for ((d = 0; d < dirs; d++)); do
    printf '  {"name": "d%04d", "type": "dir", "generate": {"count": %d, "prefix": "f"}},\n' "$d" "$files_per_dir"
  done
  printf '  {"name": "wide", "type": "dir", "generate": {"count": %d, "prefix": "w"}}\n]}]}\n' "$wide"
}

files_manifest() {
  printf '{"seed": 8, "volumes": [{"name": "Files", "entries": [\n'
  printf '  {"name": "contiguous.bin", "size": %d},\n' "$file_size"
  printf '  {"name": "fragmented.bin", "size": %d, "extentBlocks": %d}\n]}]}\n' "$file_size" \
    $((file_size / 4096 / fragments))
}

# The contiguous file again, on a volume encrypted with a password.
encrypted_manifest() {
  printf '{"seed": 8, "volumes": [{"name": "Locked", "password": "%s", "entries": [\n' "$password"
  printf '  {"name": "contiguous.bin", "size": %d}\n]}]}\n' "$file_size"
}

# The same generated text compressed by each codec into its file's resource fork.
compressed_manifest() {
  printf '{"seed": 8, "volumes": [{"name": "Packed", "entries": [\n'
  printf '  {"name": "zlib.bin", "source": "%s", "compression": "resource-fork", "codec": "zlib"},\n' "$text"
  printf '  {"name": "lzvn.bin", "source": "%s", "compression": "resource-fork", "codec": "lzvn"},\n' "$text"
  printf '  {"name": "lzfse.bin", "source": "%s", "compression": "resource-fork", "codec": "lzfse"}\n]}]}\n' "$text"
}

# Writes the image of a manifest unless the scratch folder already holds it, timing the
# writer; prints the image's path. Images are kept by the hash of the manifest and the
# writer, so a changed writer writes them anew; the one it replaces is removed.
cached_image() {
  local name=$1 manifest="$run_dir/$1.json" hash image
  "${name}_manifest" >"$manifest"
  hash=$(cat "$manifest" "$mkimage" | sha256sum | cut -c1-16)
  image="$scratch/$name-$hash.img"
  if [ ! -f "$image" ]; then
    rm -f "$scratch/$name"-*.img "$scratch/$name"-*.img.writer.json
    echo "bench: writing the $name image ($image)" >&2
    "$workload" run -- "$mkimage" --manifest "$manifest" "$image.partial" >"$image.writer.json" ||
      fail "the writer failed on $manifest"
    mv "$image.partial" "$image"
  fi
  record "writer_$name" 0 "$(cat "$image.writer.json")"
  echo "$image"
}

# ---- measures ----

# Appends one measure's JSON object, labelled, to the run's raw lines.
record() {
  echo "{\"measure\": \"$1\", \"run\": $2, ${3#\{}" >>"$raw"
}

field() { sed -n "s/.*\"$2\": \([0-9.a-z]*\).*/\1/p" <<<"$1"; }

expect() {
  local measure=$1 name=$2 want=$3 got
  got=$(field "$(grep "\"measure\": \"$measure\"" "$raw" | tail -1)" "$name")
  [ "$got" = "$want" ] || fail "$measure: $name is $got, expected $want"
}

# measure_run NAME ARGS... : workload_bench run ARGS, its JSON object left in out; the
# command's own complaints, on one line, are the reason when it fails.
measure_run() {
  local name=$1 status=0 said
  shift
  "${limit[@]}" "$workload" run "$@" >"$run_dir/out.json" 2>"$run_dir/err.txt" || status=$?
  out=$(<"$run_dir/out.json")
  [ "$status" = 0 ] && return 0
  said=$(sed 's/^workload_bench: //' "$run_dir/err.txt" | grep -v '^$' | paste -sd';' | sed 's/;/; /g' | cut -c1-300 || true)
  if [ "$status" = 124 ] && [ "${#limit[@]}" -gt 0 ]; then
    cannot "$name did not finish in $peer_limit s"
  else
    cannot "$name: ${said:-exit status $status}"
  fi
  return 1
}

# once RUN NAME COMMAND... : one run of a workload subcommand.
once() {
  local run=$1 name=$2 out
  shift 2
  out=$("$workload" "$@") || fail "$name failed"
  record "$name" "$run" "$out"
}

fuse_missing() {
  [ -r /dev/fuse ] && [ -w /dev/fuse ] || { echo "/dev/fuse is not available"; return; }
  command -v fusermount3 >/dev/null || echo "fusermount3 is not installed"
}

# mark_log LOG: the mount about to start writes to LOG.
mark_log() {
  mkdir -p "$mnt"
  mount_log=$1
  log_mark=$(stat -c %s "$mount_log" 2>/dev/null || echo 0)
}

mount_image() {
  mark_log "$run_dir/mount.log"
  "$quadrel" mount -f "${mount_flags[@]}" "$1" "$mnt" 2>>"$mount_log" &
  mount_pid=$!
  wait_for_mount "$1"
}

# FUSE's ceiling: the first file_size bytes of image served as $mnt/data by a daemon
# that does nothing but splice them, through the mount's own FUSE session.
ceiling_mount() {
  mark_log "$run_dir/mount.log"
  "$ceiling" "$1" 0 "$file_size" "$mnt" 2>>"$mount_log" &
  mount_pid=$!
  wait_for_mount "$1"
}

peer_mount() {
  mark_log "$run_dir/$peer.log"
  "$peer" "${peer_args[@]}" "$1" "$mnt" >/dev/null 2>>"$mount_log" &
  mount_pid=$!
  wait_for_mount "$1"
}

# What the mount's log gained since it started, on one line.
mount_said() {
  tail -c +$((log_mark + 1)) "$mount_log" | grep -v '^$' | paste -sd';' | sed 's/;/; /g' | cut -c1-300 || true
}

wait_for_mount() {
  local said
  for _ in $(seq 400); do
    mountpoint -q "$mnt" && return 0
    if ! kill -0 "$mount_pid" 2>/dev/null; then
      wait "$mount_pid" || true
      mount_pid=""
      said=$(mount_said)
      cannot "the mount of ${1##*/} ended${said:+: $said} (see $mount_log)"
      return 1
    fi
    sleep 0.05
  done
  kill "$mount_pid" 2>/dev/null || true
  wait "$mount_pid" || true
  mount_pid=""
  cannot "the mount of ${1##*/} did not appear in 20 s"
  return 1
}

# The mount process's peak resident set so far, in KiB.
peak_now() { awk '/^VmHWM:/ {print $2}' "/proc/$mount_pid/status" 2>/dev/null || true; }

# Unmounts, leaving the mount process's peak resident set in KiB in mount_peak. A reader
# stopped at the peer's time limit may hold the mount a moment longer.
unmount_image() {
  mount_peak=$(peak_now)
  fusermount3 -u "$mnt" || { sleep 1 && fusermount3 -u "$mnt"; } || fusermount3 -uz "$mnt"
  wait "$mount_pid" || true
  mount_pid=""
}
trap 'if [ -n "$mount_pid" ]; then fusermount3 -u "$mnt" 2>/dev/null || true; fi' EXIT

with_peak() { sed "s/\"peak_rss_kib\": [0-9]*/\"peak_rss_kib\": ${2:-0}/" <<<"$1"; }

# mount_once RUN NAME IMAGE [--warm WARM_NAME] [--discard] -- COMMAND... : one run on a
# fresh mount (so the kernel's cache of the mount starts empty); the peak RSS is the
# mount's. With --warm the command runs again at once on the same mount, recorded as
# WARM_NAME: the kernel's page cache of the mount then holds what the first run read.
mount_once() {
  local run=$1 name=$2 image=$3 warm=""
  shift 3
  if [ "$1" = --warm ]; then
    warm=$2
    shift 2
  fi
  "$mounter" "$image" || return 1
  measure_run "$name, run $run" "$@" || { unmount_image; return 1; }
  if [ -n "$warm" ]; then
    record "$name" "$run" "$(with_peak "$out" "$(peak_now)")"
    name=$warm
    measure_run "$name, run $run" "$@" || { unmount_image; return 1; }
  fi
  unmount_image
  record "$name" "$run" "$(with_peak "$out" "$mount_peak")"
}

# ceiling_once: mount_once on FUSE's ceiling daemon.
ceiling_once() {
  mounter=ceiling_mount
  mount_once "$@"
  mounter=mount_image
}

# driver_mount_once: mount_once on the mount served by the driver.
driver_mount_once() {
  mount_flags=(--driver)
  mount_once "$@"
  mount_flags=()
}

# peer_on NAME / peer_off: what follows is the peer's measure NAME, on its mount, within
# its time limit; peer_on fails when NAME already failed.
peer_on() {
  [ -z "${failed[$1]:-}" ] || return 1
  mounter=peer_mount
  peer_measure=$1
  limit=(timeout "$peer_limit")
}
peer_off() {
  mounter=mount_image
  peer_measure=""
  limit=()
}

# peer_once: mount_once on the peer's mount.
peer_once() {
  if peer_on "$2"; then
    mount_once "$@" || true
    peer_off
  fi
}

# peer_walk_counted MEASURE: the peer's walk failed unless find listed every entry of the
# tree (and the mount's root).
peer_walk_counted() {
  local measure=$1 lines
  [ -z "${failed[$measure]:-}" ] || return 0
  lines=$(field "$(grep "\"measure\": \"$measure\"" "$raw" | tail -1)" lines)
  [ "$lines" = $((expected_entries + 1)) ] && return 0
  peer_measure=$measure
  cannot "find -ls listed $((lines - 1)) entries besides the root, expected $expected_entries"
  peer_measure=""
}

load() { cut -d' ' -f1-3 /proc/loadavg; }
load_before=$(load)
tree_image=$(cached_image tree)
files_image=$(cached_image files)
password=bench
encrypted_image=$(cached_image encrypted)
text="$scratch/text-$file_size.bin"
if [ ! -f "$text" ]; then
  "$workload" text "$text.partial" "$file_size" || fail "cannot write $text"
  mv "$text.partial" "$text"
fi
compressed_image=$(cached_image compressed)
why_no_fuse=$(fuse_missing)
[ -z "$why_no_fuse" ] || echo "bench: skipping the mount measures: $why_no_fuse" >&2
why_no_peer=$why_no_fuse
peer_version=""
if [ -z "$why_no_peer" ]; then
  if command -v "$peer" >/dev/null; then
    peer_version=$("$peer" -V 2>&1 | grep -m1 . || true)
  else
    why_no_peer="$peer is not installed (Debian: libfsapfs-utils)"
    echo "bench: skipping the peer's measures: $why_no_peer" >&2
  fi
fi

echo "bench: micro-benchmarks" >&2
micro_args=(--benchmark_out="$run_dir/micro.json" --benchmark_out_format=json)
[ "$smoke" = 1 ] && micro_args+=(--benchmark_min_time=0.01)
"$micro" "${micro_args[@]}" >"$run_dir/micro.txt" 2>&1 || fail "engine_bench failed; see $run_dir/micro.txt"

# verify_output NAME INODE COMMAND... : the command's output must be the whole file in
# the stamp pattern of INODE.
verify_output() {
  local name=$1 inode=$2
  shift 2
  measure_run "$name" --verify-pattern "$inode" -- "$@" || return 1
  [ "$(field "$out" bytes)" = "$file_size" ] && return 0
  cannot "$name returned $(field "$out" bytes) bytes"
  return 1
}

# Each run takes every way of doing one thing in turn, so that a change in the machine's
# load during the run falls on all of them alike. Reads come first: they are quick.
for file in contiguous fragmented; do
  echo "bench: files image: $file.bin" >&2
  # One untimed pass checks every byte through the engine path; it names the inode
  # whose stamp pattern the command and the mount must reproduce.
  checked=$("$workload" read "$files_image" "/$file.bin" --verify) || fail "$file.bin does not read back"
  inode=$(field "$checked" inode)
  verify_output "quadrel cat of $file.bin" "$inode" "$quadrel" cat "$files_image" "/$file.bin"
  if [ -z "$why_no_fuse" ]; then
    mount_image "$files_image"
    verify_output "the mount's $file.bin" "$inode" cat "$mnt/$file.bin"
    unmount_image
    mount_flags=(--driver)
    mount_image "$files_image"
    verify_output "the driver mount's $file.bin" "$inode" cat "$mnt/$file.bin"
    unmount_image
    mount_flags=()
  fi
  if [ -z "$why_no_peer" ] && peer_on "read_${peer}_$file"; then
    if "$mounter" "$files_image"; then
      verify_output "checking every byte" "$inode" cat "$mnt/$file.bin" || true
      unmount_image
    fi
    peer_off
  fi
  # The command and the mount are timed with their output on /dev/null: only the
  # reading is measured.
  for ((i = 1; i <= repeat; i++)); do
    once "$i" "pread_$file" pread "$files_image" "/$file.bin"
    once "$i" "read_engine_$file" read "$files_image" "/$file.bin"
    once "$i" "read_cli_$file" run --discard -- "$quadrel" cat "$files_image" "/$file.bin"
    [ -n "$why_no_fuse" ] || mount_once "$i" "read_mount_$file" "$files_image" \
      --warm "read_mount_warm_$file" --discard -- cat "$mnt/$file.bin"
    [ -n "$why_no_fuse" ] || driver_mount_once "$i" "read_driver_mount_$file" "$files_image" \
      --warm "read_driver_mount_warm_$file" --discard -- cat "$mnt/$file.bin"
    [ -n "$why_no_peer" ] || peer_once "$i" "read_${peer}_$file" "$files_image" --discard -- cat "$mnt/$file.bin"
    [ -n "$why_no_fuse" ] || ceiling_once "$i" "read_fuse_ceiling_$file" "$files_image" \
      --warm "read_fuse_ceiling_warm_$file" --discard -- cat "$mnt/data"
  done
  expect "pread_$file" bytes "$file_size"
  expect "read_engine_$file" bytes "$file_size"
done

echo "bench: decoders alone" >&2
# Each decoder's own speed, on one thread, on the generated data the compressed files
# hold: recorded as the time it would take over the file's size.
decoder_args=(--benchmark_filter=generated --benchmark_format=json)
[ "$smoke" = 1 ] && decoder_args+=(--benchmark_min_time=0.01)
QUADREL_DECODER_DATA_MIB=$((smoke ? 4 : 256)) "$decoders" "${decoder_args[@]}" >"$run_dir/decoders.json" ||
  fail "decompress_bench failed"
for codec in zlib lzvn lzfse; do
  rate=$(python3 -c 'import json, sys
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b["name"].endswith("_" + sys.argv[2]): print(b["bytes_per_second"])' "$run_dir/decoders.json" "$codec")
  [ -n "$rate" ] || fail "decompress_bench gave no speed for $codec"
  record "decode_$codec" 1 "{\"seconds\": $(python3 -c "print($file_size / $rate)"), \"peak_rss_kib\": 0}"
done

echo "bench: encrypted and compressed files" >&2
# Untimed checks of every byte first: the encrypted file in its stamp pattern, the
# compressed ones against the text they were made from.
inode=$(field "$("$quadrel" stat --json --password "$password" "$encrypted_image" /contiguous.bin)" inode)
verify_output "quadrel cat of the encrypted contiguous.bin" "$inode" \
  "$quadrel" cat --password "$password" "$encrypted_image" /contiguous.bin
for codec in zlib lzvn lzfse; do
  "$quadrel" cat "$compressed_image" "/$codec.bin" | cmp -s - "$text" || fail "$codec.bin does not read back"
done
if [ -z "$why_no_fuse" ]; then
  mount_flags=(--password "$password")
  mount_image "$encrypted_image"
  verify_output "the mount's encrypted contiguous.bin" "$inode" cat "$mnt/contiguous.bin"
  unmount_image
  mount_flags=()
  mount_image "$compressed_image"
  for codec in zlib lzvn lzfse; do
    cmp -s "$mnt/$codec.bin" "$text" || fail "$codec.bin does not read back through the mount"
  done
  unmount_image
fi
for ((i = 1; i <= repeat; i++)); do
  once "$i" read_cli_encrypted run --discard -- "$quadrel" cat --password "$password" "$encrypted_image" /contiguous.bin
  if [ -z "$why_no_fuse" ]; then
    mount_flags=(--password "$password")
    mount_once "$i" read_mount_encrypted "$encrypted_image" --discard -- cat "$mnt/contiguous.bin"
    mount_flags=()
  fi
  for codec in zlib lzvn lzfse; do
    once "$i" "read_cli_$codec" run --discard -- "$quadrel" cat "$compressed_image" "/$codec.bin"
    [ -n "$why_no_fuse" ] || mount_once "$i" "read_mount_$codec" "$compressed_image" --discard -- cat "$mnt/$codec.bin"
  done
done

echo "bench: tree image: open, lookups, walks" >&2
for ((i = 1; i <= repeat; i++)); do
  once "$i" open open "$tree_image" "$opens"
  once "$i" lookups lookups "$tree_image" "$lookups"
  once "$i" walk_engine walk "$tree_image"
  # What the device's block cache saves the walk.
  once "$i" walk_engine_uncached walk "$tree_image" --uncached
  once "$i" walk_cli run -- "$quadrel" ls -R "$tree_image"
  [ -n "$why_no_fuse" ] || mount_once "$i" walk_mount "$tree_image" -- find "$mnt" -ls
  [ -n "$why_no_fuse" ] || driver_mount_once "$i" walk_driver_mount "$tree_image" -- find "$mnt" -ls
  if [ -z "$why_no_peer" ]; then
    peer_once "$i" "walk_$peer" "$tree_image" -- find "$mnt" -ls
    peer_walk_counted "walk_$peer"
  fi
done
expect lookups lookups "$lookups"
expect walk_engine entries "$expected_entries"
expect walk_engine_uncached entries "$expected_entries"
expect walk_cli lines "$expected_entries"
[ -n "$why_no_fuse" ] || expect walk_mount lines $((expected_entries + 1))
# The tree holds directories and plain files only: the driver hides none of them.
[ -n "$why_no_fuse" ] || expect walk_driver_mount lines $((expected_entries + 1))

python3 "$root/bench/report.py" --run-dir "$run_dir" --smoke "$smoke" --repeat "$repeat" \
  --load-before "$load_before" --load-after "$(load)" --cpus "$(nproc)" \
  --fuse-skipped "$why_no_fuse" --entries "$expected_entries" --file-size "$file_size" \
  --fragments "$fragments" --peer "$peer" --peer-version "$peer_version" --peer-skipped "$why_no_peer" \
  --peer-args "${peer_args[*]}"
rm -f "$run_dir/out.json" "$run_dir/err.txt"
rmdir "$mnt" 2>/dev/null || true
echo "bench: results in $run_dir" >&2
