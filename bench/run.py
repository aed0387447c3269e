#!/usr/bin/env python3
"""Benchmark: the same workloads natively, through norra-brix-fuse and
norra-brix-fuse2 (each with the library's defaults and with its recommended
command line from tools/recommended-options) and through bindfs, interleaved
in one run so that drift hits all alike, in an order drawn afresh for each
workload and repetition. Reports the median of each cell and
its speed relative to native, prints a table, writes CSV. --variants adds
each program with one candidate option at a time.

Run as root (it mounts):  bench/run.py [--quick] [--reps N] [--tmpfs] [--variants]
                                       [--baseline BUILD [--baseline-label TEXT]
                                        [--baseline-programs fuse3,fuse2]]
                                       [--workloads NAME,...]
--caller UID runs the metadata and tree workloads as that user (the lines
that let other users in only), to measure what the program's checks of
other callers cost; the files it makes are the served user's (root's), as
every file made through the mount is, so workloads that reopen what they
wrote are left out.
--baseline adds the program lines built in another build directory (an
earlier version, or a build without passthrough), so that a change is
measured against it in one run. tools/check-debian13.sh --bench runs it in
the Debian 13 root, where norra-brix-fuse passes open files through to the
kernel, beside a build that does not.
"""
import argparse
import csv
import json
import os
import platform
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

SIZES = {
    # name: (sequential bytes, random file bytes, random seconds, files, listing entries, tree files)
    "default": (1 << 30, 256 << 20, 10, 10000, 100000, 3000),
    "quick": (64 << 20, 32 << 20, 2, 1000, 5000, 300),
}

# What each metric measures, and whether more is better.
METRICS = {
    "seq-write MiB/s": True, "seq-read cold MiB/s": True, "seq-read warm MiB/s": True,
    "rand 4k IOPS": True,
    "create s": False, "stat s": False, "list s": False, "unlink s": False,
    "list big dir s": False, "list+stat big dir s": False,
    "tree extract s": False, "tree read s": False, "tree remove s": False,
    "crowd read MiB/s": True, "crowd stat /s": True,
}


# One option at a time on top of the library's defaults, for --variants.
FUSE3_OPTIONS = ["-o auto_cache", "-o kernel_cache", "-o allow_other,default_permissions", "-s",
                 "-o clone_fd", "-o max_idle_threads=1"]
FUSE2_OPTIONS = ["-o use_ino", "-o readdir_ino", "-o attr_timeout=0,entry_timeout=0,negative_timeout=0",
                 "-o auto_cache", "-o big_writes,max_write=131072", "-o direct_io", "-o intr",
                 "-o allow_other,default_permissions"]


def recommended_lines():
    """The option lines of tools/recommended-options, by name."""
    lines = {}
    with open(os.path.join(ROOT, "tools", "recommended-options")) as f:
        for line in f:
            fields = line.split()
            if fields and not fields[0].startswith("#"):
                lines[fields[0]] = fields[1:]
    return lines


# The user the workloads run as (--caller), or None for root.
CALLER = None


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kw).stdout


def run_workload(cmd):
    """A workload's command, as the user the workloads run as."""
    if CALLER is not None:
        cmd = ["setpriv", f"--reuid={CALLER}", f"--regid={CALLER}", "--clear-groups", *cmd]
    return run(cmd)


def make_dir(path):
    """A directory the workloads may fill, whoever runs them."""
    os.mkdir(path)
    if CALLER is not None:
        os.chown(path, CALLER, CALLER)


def drop_caches():
    try:
        os.sync()
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")
        return True
    except OSError:
        return False


def is_mounted(point):
    with open("/proc/self/mountinfo") as f:
        return any(line.split()[4] == point for line in f)


def mount_options(point):
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            if fields[4] == point:
                return fields[5] + " " + " ".join(fields[fields.index("-") + 1:])
    return ""


def kernel_version():
    return tuple(int(x) for x in re.findall(r"\d+", platform.release())[:2])


def descendant_names(pid):
    names = []
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/children") as f:
            for child in f.read().split():
                with open(f"/proc/{child}/comm") as c:
                    names.append(c.read().strip())
                names += descendant_names(int(child))
    return names


class Target:
    """A place to run workloads: a backing directory and, for the FUSE
    targets, a serving process whose view of it is `path`."""

    def __init__(self, name, work, command=None):
        self.name = name
        slug = re.sub(r"[^A-Za-z0-9.-]+", "_", name)
        self.backing = os.path.join(work, slug + "-data")
        self.mountpoint = os.path.join(work, slug + "-mnt")
        self.command = command
        self.process = None
        self.passes_through = False
        os.makedirs(self.backing)
        if CALLER is not None:
            os.chown(self.backing, CALLER, CALLER)
        if command is None:
            self.path = self.backing
            return
        os.makedirs(self.mountpoint)
        argv = [a.replace("{mnt}", self.mountpoint).replace("{data}", self.backing) for a in command]
        env = dict(os.environ, PROCESS_CHECK_CALLER="qv")
        self.process = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        for _ in range(500):
            if is_mounted(self.mountpoint):
                break
            if self.process.poll() is not None:
                raise RuntimeError(f"{name} did not start: {self.process.stderr.read().decode()}")
            time.sleep(0.01)
        else:
            raise RuntimeError(f"{name} did not mount")
        # Our programs mirror the host tree; bindfs shows the backing directory itself.
        self.path = self.mountpoint + self.backing if "norra-brix" in command[0] else self.mountpoint
        self.options = mount_options(self.mountpoint)
        # The broker that registers open files runs where the program can pass
        # them through; Linux 6.9 and later let it.
        self.passes_through = (kernel_version() >= (6, 9) and
                               any(name == "brix-backing" for name in descendant_names(self.process.pid)))

    def reset_peak(self):
        if self.process:
            with open(f"/proc/{self.process.pid}/clear_refs", "w") as f:
                f.write("5\n")

    def peak_kib(self, field="VmHWM:"):
        if not self.process:
            return None
        with open(f"/proc/{self.process.pid}/status") as f:
            for line in f:
                if line.startswith(field):
                    return int(line.split()[1])
        return None

    def stop(self):
        if self.process:
            subprocess.run(["umount", "-l", self.mountpoint], check=False)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def fio(directory, name, rw, size, extra=()):
    out = run_workload(["fio", f"--name={name}", f"--directory={directory}", f"--rw={rw}", f"--size={size}",
               "--ioengine=psync", "--output-format=json", *extra])
    job = json.loads(out[out.index("{"):])["jobs"][0]
    return job


def meta(tool, *args):
    out = run_workload([tool, *args])
    return {line.split()[0]: float(line.split()[1]) for line in out.splitlines() if line.strip()}


def make_tarball(work, files):
    source = os.path.join(work, "tree-source")
    for i in range(files):
        directory = os.path.join(source, f"d{i % 40}", f"e{i % 7}")
        os.makedirs(directory, exist_ok=True)
        with open(os.path.join(directory, f"file{i}.txt"), "wb") as f:
            f.write(os.urandom(512 + (i * 7919) % 16384))
    tarball = os.path.join(work, "tree.tar")
    with tarfile.open(tarball, "w") as t:
        t.add(source, arcname="tree")
    shutil.rmtree(source)
    return tarball


def workloads(sizes, tool, tarball, cold_ok):
    seq, rand, seconds, files, entries, tree_files = sizes

    def sequential(t):
        w = fio(t.path, "seq", "write", seq, ["--bs=1M", "--end_fsync=1"])
        result = {"seq-write MiB/s": w["write"]["bw_bytes"] / 2**20}
        if cold_ok:
            drop_caches()
            result["seq-read cold MiB/s"] = fio(t.path, "seq", "read", seq, ["--bs=1M"])["read"]["bw_bytes"] / 2**20
        # fio drops a file's cached pages before it reads unless told not to.
        result["seq-read warm MiB/s"] = fio(t.path, "seq", "read", seq,
                                            ["--bs=1M", "--invalidate=0"])["read"]["bw_bytes"] / 2**20
        # Through the mount, so that the kernel drops the pages it keeps of the file.
        os.unlink(os.path.join(t.path, "seq.0.0"))
        return result

    def random_io(t):
        j = fio(t.path, "rand", "randrw", rand, ["--bs=4k", "--time_based", f"--runtime={seconds}"])
        os.unlink(os.path.join(t.path, "rand.0.0"))
        return {"rand 4k IOPS": j["read"]["iops"] + j["write"]["iops"]}

    def metadata(t):
        d = os.path.join(t.path, "meta")
        make_dir(d)
        r = meta(tool, "files", d, str(files))
        os.rmdir(os.path.join(t.backing, "meta"))
        return {f"{k} s": v for k, v in r.items()}

    def listing(t):
        big = os.path.join(t.backing, "big")
        if not os.path.isdir(big):
            make_dir(big)
            run_workload([tool, "populate", big, str(entries)])
        view = os.path.join(t.path, "big")
        return {"list big dir s": meta(tool, "list", view)["list"],
                "list+stat big dir s": meta(tool, "list-stat", view)["list-stat"]}

    def tree(t):
        view = os.path.join(t.path, "tree")
        result = {}
        if CALLER is None:
            start = time.monotonic()
            run(["tar", "-xf", tarball, "-C", t.path])
            result["tree extract s"] = time.monotonic() - start
        else:
            # Another user could not fill directories it made: they are root's.
            run(["tar", "-xf", tarball, "-C", t.path])
            run(["chmod", "-R", "a+rwX", view])
        result["tree read s"] = meta(tool, "read-tree", view)["read-tree"]
        result["tree remove s"] = meta(tool, "remove-tree", view)["remove-tree"]
        return result

    def crowd(t):
        d = os.path.join(t.path, "crowd")
        make_dir(d)
        r = meta(tool, "crowd", d, str(seconds))
        os.rmdir(os.path.join(t.backing, "crowd"))
        return {"crowd read MiB/s": r["crowd-read"], "crowd stat /s": r["crowd-stat"]}

    return [("sequential", sequential), ("random", random_io), ("metadata", metadata),
            ("listing", listing), ("tree", tree), ("crowd", crowd)]


def machine():
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    mem = next((l.split()[1] for l in open("/proc/meminfo") if l.startswith("MemTotal")), "0")
    return f"{os.cpu_count()} cores ({cpu}), {int(mem) // 1024 // 1024} GiB, kernel {platform.release()}"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="every workload once, on small sizes")
    parser.add_argument("--reps", type=int, help="repetitions (default 3, quick 1)")
    parser.add_argument("--build", default=os.path.join(ROOT, "build"), help="build directory with the programs")
    parser.add_argument("--work", default="/var/tmp", help="where the backing directories go")
    parser.add_argument("--tmpfs", action="store_true", help="back everything with a tmpfs")
    parser.add_argument("--variants", action="store_true",
                        help="also run each program with one candidate option at a time")
    parser.add_argument("--no-bindfs", action="store_true")
    parser.add_argument("--baseline", help="another build directory whose programs run beside these")
    parser.add_argument("--baseline-label", default="baseline", help="what to call the baseline's lines")
    parser.add_argument("--baseline-programs", default="fuse3,fuse2", help="which of its programs run")
    parser.add_argument("--workloads", help="only these workloads (sequential, random, metadata, listing, tree, crowd)")
    parser.add_argument("--caller", type=int, help="run the workloads as this user id")
    parser.add_argument("--csv", default=None, help="CSV output (default: bench-<date>.csv in the work dir)")
    args = parser.parse_args()

    if "NBF_BENCH_NAMESPACE" not in os.environ:
        # A private mount namespace with a private /var/lib: the mounts and
        # lock files of the run never show on the host.
        os.environ["NBF_BENCH_NAMESPACE"] = "1"
        os.execvp("unshare", ["unshare", "-m", "--propagation", "private", sys.executable, *sys.argv])

    global CALLER
    CALLER = args.caller
    sizes = SIZES["quick" if args.quick else "default"]
    reps = args.reps or (1 if args.quick else 3)
    work = tempfile.mkdtemp(prefix="nbf-bench-", dir=args.work)
    os.chmod(work, 0o755)
    varlib = tempfile.mkdtemp(prefix="nbf-bench-varlib-", dir=args.work)
    os.makedirs(os.path.join(varlib, "brix"))
    run(["mount", "--bind", varlib, "/var/lib"])
    if args.tmpfs:
        run(["mount", "-t", "tmpfs", "-o", "size=8g", "tmpfs", work])
    tool = os.path.join(args.build, "nbf-bench-meta")
    ours = ["-u", "0", "-g", "0", "-f", "{mnt}", "--allow-delete"]
    fuse3 = [os.path.join(args.build, "norra-brix-fuse"), *ours]
    fuse2 = [os.path.join(args.build, "norra-brix-fuse2"), *ours]
    lines = recommended_lines()
    specs = [("native", None),
             ("norra-brix-fuse", fuse3), ("fuse3 recommended", fuse3 + lines["norra-brix-fuse"]),
             ("norra-brix-fuse2", fuse2), ("fuse2 recommended", fuse2 + lines["norra-brix-fuse2"])]
    if not args.no_bindfs and shutil.which("bindfs"):
        specs.append(("bindfs", ["bindfs", "-f", "{data}", "{mnt}"]))
    if args.baseline:
        label = args.baseline_label
        for fuse in args.baseline_programs.split(","):
            program = os.path.join(args.baseline, "norra-brix-fuse" + ("2" if fuse == "fuse2" else ""))
            specs += [(f"{label} {fuse}", [program, *ours]),
                      (f"{label} {fuse} rec.", [program, *ours, *lines[os.path.basename(program)]])]
    if args.variants:
        specs += [(f"fuse3 {o}", fuse3 + o.split()) for o in FUSE3_OPTIONS]
        specs += [(f"fuse2 {o}", fuse2 + o.split()) for o in FUSE2_OPTIONS]
        specs.append(("fuse2 fast", fuse2 + lines["norra-brix-fuse2-fast"]))

    if CALLER is not None:
        # Only lines that let other users in can serve them.
        specs = [(n, c) for n, c in specs if c is None or any("allow_other" in a for a in c)]
        args.workloads = ",".join(w for w in (args.workloads or "metadata,tree").split(",") if w in ("metadata", "tree"))
    cold_ok = drop_caches()
    load_before = os.getloadavg()
    targets = []
    try:
        for name, command in specs:
            try:
                targets.append(Target(name, work, command))
            except RuntimeError as e:
                print(f"skipping {name}: {e}", file=sys.stderr)
        tarball = make_tarball(work, sizes[5])
        results = {}   # (workload metric, target) -> [values]
        peaks = {}     # (workload, target) -> peak KiB
        for rep in range(reps):
            for wname, workload in workloads(sizes, tool, tarball, cold_ok):
                if args.workloads and wname not in args.workloads.split(","):
                    continue
                # A fixed order gives each target the same place after the
                # same neighbour every time, and cold reads here depend on it
                # by several per cent: the order changes with each round.
                for t in random.Random(f"{rep} {wname}").sample(targets, len(targets)):
                    t.reset_peak()
                    for metric, value in workload(t).items():
                        results.setdefault((metric, t.name), []).append(value)
                    peak = t.peak_kib()
                    if peak is not None:
                        peaks[(wname, t.name)] = max(peak, peaks.get((wname, t.name), 0))
                    if wname == "crowd" and t.process:
                        # What the serving process keeps once the crowd has gone.
                        time.sleep(2)
                        after = t.peak_kib("VmRSS:")
                        peaks[("crowd, 2 s after", t.name)] = max(after, peaks.get(("crowd, 2 s after", t.name), 0))
            print(f"repetition {rep + 1} of {reps} done", file=sys.stderr)
        load_after = os.getloadavg()
    finally:
        for t in targets:
            t.stop()
        subprocess.run(["umount", "-l", work], check=False) if args.tmpfs else None
        shutil.rmtree(work, ignore_errors=True)
        shutil.rmtree(varlib, ignore_errors=True)

    names = [t.name for t in targets]
    rows = []
    for metric, higher_better in METRICS.items():
        if (metric, "native") not in results:
            continue
        base = statistics.median(results[(metric, "native")])
        row = [metric]
        for n in names:
            values = results.get((metric, n))
            if not values:
                row.append(None)
                continue
            m = statistics.median(values)
            ratio = (m / base if higher_better else base / m) if base and m else float("nan")
            row.append((m, ratio))
        rows.append(row)

    backing = "tmpfs" if args.tmpfs else run(["stat", "-f", "-c", "%T", args.work]).strip()
    print(f"# {time.strftime('%Y-%m-%d %H:%M')} on {machine()}")
    print(f"# backing store: {backing} under {args.work}; {reps} repetition(s), median shown; "
          f"load {load_before[0]:.2f} before, {load_after[0]:.2f} after; cold reads: {'yes' if cold_ok else 'not allowed'}")
    for t in targets:
        if t.process:
            print(f"# {t.name}: {' '.join(t.command)}  [{t.options}]"
                  f"{'  passes open files through' if t.passes_through else ''}")
    print()
    print("| workload | " + " | ".join(names) + " |")
    print("|---|" + "---|" * len(names))
    for row in rows:
        cells = ["" if c is None else (f"{c[0]:.1f}" if c[0] >= 100 else f"{c[0]:.4g}") +
                 ("" if n == "native" else f" ({c[1]:.2f})") for c, n in zip(row[1:], names)]
        print(f"| {row[0]} | " + " | ".join(cells) + " |")
    print()
    print(f"Parentheses: speed relative to native (1.00 = native, higher is better). Sizes: sequential "
          f"{sizes[0] >> 20} MiB in 1 MiB blocks; random 4 KiB on {sizes[1] >> 20} MiB for {sizes[2]} s; "
          f"{sizes[3]} files; a directory of {sizes[4]} entries; a tree of {sizes[5]} files.")
    print()
    print("| resident KiB (peak per workload; after the crowd) | " + " | ".join(n for n in names if n != "native") + " |")
    print("|---|" + "---|" * (len(names) - 1))
    for wname in [w for w, _ in workloads(sizes, tool, "", cold_ok)] + ["crowd, 2 s after"]:
        print(f"| {wname} | " + " | ".join(str(peaks.get((wname, n), "")) for n in names if n != "native") + " |")

    path = args.csv or os.path.join(args.work, time.strftime("nbf-bench-%Y%m%d-%H%M%S.csv"))
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["metric", "target", "median", "relative_to_native", "values"])
        for row in rows:
            for cell, n in zip(row[1:], names):
                if cell:
                    w.writerow([row[0], n, cell[0], cell[1], " ".join(f"{v:.6g}" for v in results[(row[0], n)])])
        for (wname, n), peak in peaks.items():
            w.writerow([f"peak resident KiB {wname}", n, peak, "", ""])
    print(f"\nCSV: {path}")


if __name__ == "__main__":
    main()
