#!/usr/bin/env python3
"""Turns the measures of one scripts/bench.sh run into summary.json and summary.md.

Each measure keeps its fastest run. Reads are compared with pread of the same extents
from the image file (the limit), the command's and the mount's walks with the engine's
walk, the driver's mount and the peer's (another reader's FUSE mount) with the engine's
mount; the targets are checked on full runs only. A peer's measure that failed is
reported as failed, with its reason, and one not taken says why.
"""
import argparse
import json
import pathlib

MIB = 1 << 20

# The compressions of the compressed image's files.
CODECS = ("zlib", "lzvn", "lzfse")

# The peer whose measures are reported beside ours (set from the command line).
PEER = "fsapfsmount"


def rows(peer):
    """(measure, what it is, the measure it is compared with) for every row, in order."""
    return [
        ("writer_tree", "writer: tree image", None),
        ("writer_files", "writer: files image", None),
        ("writer_encrypted", "writer: encrypted image", None),
        ("writer_compressed", "writer: compressed image", None),
        ("open", "open container and volume (per open)", None),
        ("lookups", "random path lookups (all of them)", None),
        ("walk_engine", "walk: engine API", None),
        ("walk_engine_uncached", "walk: engine API, device without its block cache", "walk_engine"),
        ("walk_cli", "walk: quadrel ls -R", "walk_engine"),
        ("walk_mount", "walk: mount, find -ls", "walk_engine"),
        ("walk_driver_mount", "walk: driver mount, find -ls", "walk_mount"),
        (f"walk_{peer}", f"walk: {peer}, find -ls", "walk_mount"),
    ] + [
        row
        for f in ("contiguous", "fragmented")
        for row in (
            (f"pread_{f}", f"{f}.bin: pread (limit)", None),
            (f"read_engine_{f}", f"{f}.bin: engine path", f"pread_{f}"),
            (f"read_cli_{f}", f"{f}.bin: quadrel cat", f"pread_{f}"),
            (f"read_mount_{f}", f"{f}.bin: mount, cat", f"pread_{f}"),
            (f"read_mount_warm_{f}", f"{f}.bin: mount, cat again (warm)", f"pread_{f}"),
            (f"read_driver_mount_{f}", f"{f}.bin: driver mount, cat", f"read_mount_{f}"),
            (f"read_driver_mount_warm_{f}", f"{f}.bin: driver mount, cat again (warm)", f"pread_{f}"),
            (f"read_{peer}_{f}", f"{f}.bin: {peer}, cat", f"read_mount_{f}"),
            (f"read_fuse_ceiling_{f}", f"{f}.bin's size: FUSE ceiling, one spliced file", f"pread_{f}"),
            (f"read_fuse_ceiling_warm_{f}", f"{f}.bin's size: FUSE ceiling, cat again (warm)", f"pread_{f}"),
        )
    ] + [
        ("read_cli_encrypted", "contiguous.bin, encrypted: quadrel cat", "read_cli_contiguous"),
        ("read_mount_encrypted", "contiguous.bin, encrypted: mount, cat", "read_mount_contiguous"),
    ] + [
        row
        for c in CODECS
        for row in (
            (f"decode_{c}", f"{c}: the decoder alone, one thread, over the file's size", None),
            (f"read_cli_{c}", f"{c}.bin, compressed: quadrel cat", f"decode_{c}"),
            (f"read_mount_{c}", f"{c}.bin, compressed: mount, cat", f"decode_{c}"),
        )
    ]


def peer_measure(name, peer):
    return name == f"walk_{peer}" or name.startswith(f"read_{peer}_")


def ceiling_compared(name, peer):
    """Mount reads are also compared with what FUSE itself allows on this machine, warm
    reads with its warm read."""
    return name.startswith(("read_mount_", "read_driver_mount_", f"read_{peer}_"))


def ceiling_of(name):
    f = name.rsplit("_", 1)[-1]
    return f"read_fuse_ceiling_warm_{f}" if "_warm_" in name else f"read_fuse_ceiling_{f}"

# (measure, the field its check reads, the least or most that field may be, description)
TARGETS = [
    ("read_engine_contiguous", "ratio", ">=", 0.9, "engine read >= 0.9x pread"),
    ("read_engine_fragmented", "ratio", ">=", 0.9, "engine read >= 0.9x pread"),
    ("read_mount_contiguous", "ratio_to_ceiling", ">=", 0.9, "mount read, cold, >= 0.9x FUSE ceiling"),
    ("read_mount_fragmented", "ratio_to_ceiling", ">=", 0.9, "mount read, cold, >= 0.9x FUSE ceiling"),
    ("read_mount_warm_contiguous", "ratio", ">=", 0.9, "mount read, warm, >= 0.9x pread"),
    ("read_mount_warm_fragmented", "ratio", ">=", 0.9, "mount read, warm, >= 0.9x pread"),
    ("walk_engine", "seconds", "<", 5, "engine walk < 5 s"),
    ("walk_engine", "peak_rss_kib", "<", 64 * 1024, "engine walk peak RSS < 64 MiB"),
    ("walk_mount", "seconds", "<", 15, "mount walk < 15 s"),
    ("read_driver_mount_contiguous", "ratio", ">=", 0.8, "driver mount read >= 0.8x mount read"),
    ("read_driver_mount_fragmented", "ratio", ">=", 0.8, "driver mount read >= 0.8x mount read"),
    ("walk_driver_mount", "ratio", ">=", 0.5, "driver mount walk < 2x mount walk"),
    ("read_mount_encrypted", "ratio", ">=", 0.7, "encrypted mount read >= 0.7x plain mount read"),
] + [
    (f"read_mount_{c}", "ratio", ">=", 0.8, "compressed mount read >= 0.8x the decoder's own speed")
    for c in CODECS
]


def fastest_runs(lines):
    best = {}
    for line in lines:
        m = json.loads(line)
        if m["measure"] not in best or m["seconds"] < best[m["measure"]]["seconds"]:
            best[m["measure"]] = m
    return best


def read_failures(path):
    """measure -> reason, from the run's failures.tsv (the first reason of each)."""
    failures = {}
    if path.exists():
        for line in path.read_text().splitlines():
            name, _, reason = line.partition("\t")
            failures.setdefault(name, reason)
    return failures


def summarize(best, file_size, peer, failures, peer_skipped):
    """Adds the ratio to the limit (limit time over own time: 1.0 is as fast as it)."""
    summary = {}
    for name, label, limit in rows(peer):
        if name in failures:
            summary[name] = {"measure": name, "label": label, "failed": failures[name]}
            continue
        if peer_measure(name, peer) and peer_skipped:
            summary[name] = {"measure": name, "label": label, "not_measured": peer_skipped}
            continue
        if name not in best:
            continue
        m = dict(best[name], label=label)
        if name.startswith(("pread", "read", "decode")) and m["seconds"] > 0:
            m["mib_per_s"] = file_size / MIB / m["seconds"]
        if limit in best and m["seconds"] > 0:
            m["ratio"] = best[limit]["seconds"] / m["seconds"]
            m["compared_with"] = limit
        ceiling = ceiling_of(name)
        if ceiling_compared(name, peer) and ceiling in best and m["seconds"] > 0:
            m["ratio_to_ceiling"] = best[ceiling]["seconds"] / m["seconds"]
        summary[name] = m
    return summary


def check_targets(summary):
    results = []
    for name, field, bound, limit, text in TARGETS:
        m = summary.get(name, {})
        if field in m:
            met = m[field] >= limit if bound == ">=" else m[field] < limit
            results.append({"target": text, "measure": name, "met": bool(met)})
    return results


def cell(value, fmt):
    return "" if value is None else fmt.format(value)


def markdown(summary, targets, micro, args):
    out = [
        f"# Benchmark run {pathlib.Path(args.run_dir).name}",
        "",
        f"{'Smoke run (tiny images; targets not checked)' if args.smoke else 'Full run'}; "
        f"fastest of {args.repeat} run(s) per measure; {args.cpus} CPUs, load average "
        f"{args.load_before} before and {args.load_after} after.",
        f"Tree image: {args.entries:,} entries. Files image: two files of {args.file_size:,} bytes, "
        f"one extent and {args.fragments:,} extents. Encrypted image: the contiguous file on a volume "
        "encrypted with a password. Compressed image: the same size of generated words and records "
        "in each of zlib, LZVN and LZFSE, in the resource fork.",
    ]
    if args.fuse_skipped:
        out.append(f"Mount measures skipped: {args.fuse_skipped}.")
    if args.peer_skipped:
        out.append(f"Peer ({args.peer}) not measured: {args.peer_skipped}.")
    else:
        out.append(
            f"Peer: {args.peer_version or args.peer}, mounted `{args.peer} {args.peer_args}` afresh for each "
            "measure as our mount is; its ratio is our mount's time over its own."
        )
    out += [
        "",
        "| measure | seconds | MiB/s | ratio to limit | ratio to FUSE ceiling | peak RSS MiB |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for m in summary.values():
        if "seconds" not in m:
            why = f"failed: {m['failed']}" if "failed" in m else f"not measured: {m['not_measured']}"
            out.append(f"| {m['label']} | {why.replace('|', '/')} |  |  |  |  |")
            continue
        out.append(
            f"| {m['label']} | {m['seconds']:.4f} | {cell(m.get('mib_per_s'), '{:.0f}')} | "
            f"{cell(m.get('ratio'), '{:.2f}')} | {cell(m.get('ratio_to_ceiling'), '{:.2f}')} | "
            f"{m['peak_rss_kib'] / 1024:.1f} |"
        )
    if targets:
        out += ["", "| target | met |", "|---|---|"]
        out += [f"| {t['target']} ({t['measure']}) | {'yes' if t['met'] else 'NO'} |" for t in targets]
    out += ["", "| micro-benchmark | ns per iteration (CPU) |", "|---|---:|"]
    for b in micro:
        out.append(f"| {b['name']} | {b['cpu_time']:.1f} |")
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--run-dir", required=True)
    parser.add_argument("--smoke", type=int, default=0)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--load-before", default="")
    parser.add_argument("--load-after", default="")
    parser.add_argument("--cpus", default="")
    parser.add_argument("--fuse-skipped", default="")
    parser.add_argument("--entries", type=int, default=0)
    parser.add_argument("--file-size", type=int, default=0)
    parser.add_argument("--fragments", type=int, default=0)
    parser.add_argument("--peer", default=PEER)
    parser.add_argument("--peer-version", default="")
    parser.add_argument("--peer-args", default="")
    parser.add_argument("--peer-skipped", default="")
    args = parser.parse_args()

    run_dir = pathlib.Path(args.run_dir)
    failures = read_failures(run_dir / "failures.tsv")
    summary = summarize(
        fastest_runs((run_dir / "measures.jsonl").read_text().splitlines()),
        args.file_size,
        args.peer,
        failures,
        args.peer_skipped,
    )
    targets = [] if args.smoke else check_targets(summary)
    micro = json.loads((run_dir / "micro.json").read_text())["benchmarks"]
    document = {
        "smoke": bool(args.smoke),
        "repeat": args.repeat,
        "cpus": args.cpus,
        "load_before": args.load_before,
        "load_after": args.load_after,
        "mount_skipped": args.fuse_skipped or None,
        "peer": {
            "name": args.peer,
            "version": args.peer_version or None,
            "arguments": args.peer_args or None,
            "skipped": args.peer_skipped or None,
        },
        "measures": summary,
        "targets": targets,
        "micro": [{"name": b["name"], "cpu_ns": b["cpu_time"], "real_ns": b["real_time"]} for b in micro],
    }
    (run_dir / "summary.json").write_text(json.dumps(document, indent=1) + "\n")
    text = markdown(summary, targets, micro, args)
    (run_dir / "summary.md").write_text(text)
    print(text, end="")


if __name__ == "__main__":
    main()
