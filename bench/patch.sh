#!/bin/bash
# Times romwright --patch on a design whose block RAMs are all in use, as a
# user runs it on every firmware change (firmware in, patched .asc out),
# against cat of the same .asc in and out (the floor: just moving those
# bytes) and against icebram making the same patch from the firmware's
# words, and checks that both patches are the same file.
#
# The design is bench/ice40-rom.v: a ROM of 4096 32-bit words, 16 KiB, which
# fills all 32 4-kbit RAMs of an HX8K, the iCE40 with the most of them. No
# iCE40 holds 32 KiB of such RAMs (the UltraPlus parts have 30, 15 KiB, and
# their large single-port RAMs take no initial contents). yosys and
# nextpnr-ice40 build it once, in about 15 s, into bench/out/ice40, from the
# placeholder romwright --format=ice40-seed writes.
#
#   bench/patch.sh
#   BENCH_RUNS=500 bench/patch.sh
#   BENCH_ONLY=patch bench/run.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
out=${BENCH_OUT:-$root/bench/out}/ice40
runs=${BENCH_RUNS:-300}
# On tmpfs, as bench/run.sh does, so that every command pays the same
# page-cache cost without the disk's writeback.
work=${BENCH_WORK:-/dev/shm/romwright-patch}

"$root/tools/install-deps" python3 yosys nextpnr-ice40 fpga-icestorm binutils
cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build "$root/build-bench" -j "$(nproc)" --target romwright >/dev/null
rw=$root/build-bench/romwright
seed=(--name=rom --width=32 --region=0:16K --seed=1)

mkdir -p "$out"
if [ ! -s "$out/rom16k.asc" ]; then
  rm -rf "$out/build" && mkdir -p "$out/build"
  cp "$here/ice40-rom.v" "$out/build/"
  "$rw" --format=ice40-seed "${seed[@]}" --output="$out/build/rom.seed"
  (cd "$out/build" && yosys -q -p "synth_ice40 -top top -json top.json" ice40-rom.v)
  nextpnr-ice40 -q -l "$out/build/nextpnr.log" --hx8k --package ct256 --json "$out/build/top.json" \
    --asc "$out/rom16k.tmp" --seed 1 2>/dev/null
  mv "$out/rom16k.tmp" "$out/rom16k.asc"
fi

rm -rf "$work" && mkdir -p "$work"
cd "$work"
cp "$out/rom16k.asc" .
"$rw" --format=ice40-seed "${seed[@]}" --output=rom.seed
# The firmware: an executable (linked by the host's ld, its one segment at
# 0) of 16 KiB of pseudo-random bytes, like compiled code; icebram takes the
# same words as the tool's vmem of it.
python3 -c "import random, sys; random.seed(7); sys.stdout.buffer.write(random.randbytes(16384))" > fw.bin
ld -b binary -Tdata=0 -e 0 -o fw.elf fw.bin
"$rw" -f fw.elf --width=32 --region=0:16K --format=vmem --output=new.hex
tiles=$(grep -c '^\.ram_data' rom16k.asc)
patch=("$rw" -f fw.elf "${seed[@]}" --patch=rom16k.asc)
"${patch[@]}" --output=romwright.asc
icebram rom.seed new.hex < rom16k.asc > icebram.asc
cmp romwright.asc icebram.asc
echo "rom16k.asc: $(stat -c %s rom16k.asc) bytes, $tiles RAM tiles in use; romwright's patch equals icebram's"

# The three commands take turns, so that a machine whose load changes
# during the run slows each alike; each output file is opened (and emptied)
# before its command starts, and every command's start-up is counted, as a
# user pays it. romwright writes its own file, as a user runs it: a
# temporary beside it, renamed into place over the (emptied) last one.
# Reported: each command's median, and the median of the ratios within each
# round.
python3 - "$runs" "${patch[@]}" <<'PY'
import os, statistics, sys, time

runs, patch = int(sys.argv[1]), sys.argv[2:]
commands = {
    "cat": (["/bin/cat", "rom16k.asc"], None),
    "romwright": (patch + ["--output=romwright.out.asc"], None),
    "icebram": (["/usr/bin/icebram", "rom.seed", "new.hex"], "rom16k.asc"),
}


def run(name):
    argv, stdin = commands[name]
    # romwright's standard output stays empty; the others write theirs. Its
    # own output is emptied beforehand too, as the others' are: then no
    # command frees the pages of its last output while it is timed.
    out = os.open(name + (".stdout" if name == "romwright" else ".out.asc"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    if name == "romwright" and os.path.exists("romwright.out.asc"):
        os.truncate("romwright.out.asc", 0)
    actions = [(os.POSIX_SPAWN_DUP2, out, 1)]
    inp = None
    if stdin:
        inp = os.open(stdin, os.O_RDONLY)
        actions.append((os.POSIX_SPAWN_DUP2, inp, 0))
    start = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
    _, status = os.waitpid(pid, 0)
    took = (time.perf_counter_ns() - start) / 1e6
    os.close(out)
    if inp is not None:
        os.close(inp)
    if status != 0:
        sys.exit(f"{name} failed")
    return took


times = {name: [] for name in commands}
floor, speedup = [], []
for name in commands:
    run(name)
for r in range(runs):
    # icebram takes some 50 times as long: every tenth round only.
    order = ["cat", "romwright"] if r % 2 == 0 else ["romwright", "cat"]
    if r % 10 == 0:
        order.append("icebram")
    took = {name: run(name) for name in order}
    for name, t in took.items():
        times[name].append(t)
    floor.append(took["romwright"] / took["cat"])
    if "icebram" in took:
        speedup.append(took["icebram"] / took["romwright"])
same = open("romwright.asc", "rb").read()
if open("romwright.out.asc", "rb").read() != same or open("icebram.out.asc", "rb").read() != same:
    sys.exit("romwright and icebram wrote different patches")
if open("cat.out.asc", "rb").read() != open("rom16k.asc", "rb").read():
    sys.exit("cat wrote something else")
print(f"{'median of runs':<52}{'ms':>9}")
print(f"{'cat rom16k.asc > out.asc':<52}{statistics.median(times['cat']):9.3f}")
print(f"{'romwright -f fw.elf --patch=rom16k.asc --output=':<52}{statistics.median(times['romwright']):9.3f}")
print(f"{'icebram rom.seed new.hex < rom16k.asc > out.asc':<52}{statistics.median(times['icebram']):9.3f}")
f, s = statistics.median(floor), statistics.median(speedup)
print(f"romwright / cat:     {f:5.2f}x (target at most 1.5x: {'met' if f <= 1.5 else 'MISSED'}; {len(floor)} rounds)")
print(f"icebram / romwright: {s:5.1f}x (target at least 10x: {'met' if s >= 10 else 'MISSED'}; {len(speedup)} rounds)")
PY
