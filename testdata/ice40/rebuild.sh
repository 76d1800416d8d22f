#!/bin/sh
# Rebuilds the iCE40 fixtures in this folder: each memory's placeholder
# file (NAME.seed, written by romwright --format=ice40-seed), each design's pin
# constraints (DESIGN.pcf, the package's pins in order), and each design's
# placed-and-routed ASCII configuration (DESIGN.asc) from yosys
# (synth_ice40) and nextpnr-ice40. Not run by the build or CI: the outputs
# are committed. Installs yosys, nextpnr-ice40 and fpga-icestorm when they
# are missing.
#
#   testdata/ice40/rebuild.sh [BUILD-DIR]    # default: build, configured with tests
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
bdir=$(cd "${1:-$root/build}" && pwd)
"$root/tools/install-deps" yosys nextpnr-ice40 fpga-icestorm
cmake --build "$bdir" --target romwright >/dev/null
tool=$bdir/romwright
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$here"

# seed NAME WIDTH DEPTH SEED FILE: a memory's placeholder file.
seed() { "$tool" --format=ice40-seed --name="$1" --width="$2" --depth="$3" --seed="$4" --output="$5"; }

# pcf DESIGN PINDB PORT...: pin constraints giving each PORT (NAME, or
# NAME:WIDTH for a bus) the next pins of the package (PINDB, as the iCE40
# tools' pin database names it).
pcf() {
  design=$1 db=$2
  shift 2
  pins=$(PYTHONPATH=/usr/share/fpga-icestorm/python python3 -c \
    "import icebox; print(' '.join(p[0] for p in icebox.pinloc_db['$db']))")
  echo "$*" | awk -v pins="$pins" '{
    split(pins, p, " "); k = 0
    for (i = 1; i <= NF; i++) {
      if (split($i, f, ":") == 1) print "set_io " f[1] " " p[++k]
      else for (b = 0; b < f[2]; b++) print "set_io " f[1] "[" b "] " p[++k]
    }
  }' > "$design.pcf"
}

# build DESIGN DEVICE PACKAGE OUT NAME=FILE...: synthesis and place-and-route
# of DESIGN.v in a scratch folder where each memory reads FILE as NAME.seed.
build() {
  design=$1 device=$2 package=$3 out=$4
  shift 4
  rm -rf "${work:?}"/*
  cp "$design.v" "$work/"
  for pair in "$@"; do cp "${pair#*=}" "$work/${pair%%=*}.seed"; done
  (cd "$work" && yosys -q -l yosys.log -p "synth_ice40 -top top -json top.json" "$design.v")
  nextpnr-ice40 -q -l "$work/nextpnr.log" --"$device" --package "$package" --pcf "$design.pcf" \
    --json "$work/top.json" --asc "$out" --seed 1
  echo "$out: $(grep -c '^\.ram_data' "$out") RAM tiles" >&2
}

# A ROM of 1024 32-bit words over eight RAMs.
seed rom 32 1024 1 rom.seed
pcf rom32 1k-tq144 clk addr:10 data:32
build rom32 hx1k tq144 rom32.asc rom=rom.seed

# A RAM of 2048 8-bit words, and the same design built from the placeholder
# of seed 2.
seed ram8 8 2048 1 ram8.seed
seed ram8 8 2048 2 ram8-seed2.seed
pcf byte8 1k-tq144 clk we addr:11 din:8 data:8
build byte8 hx1k tq144 byte8.asc ram8=ram8.seed
build byte8 hx1k tq144 byte8-seed2.asc ram8=ram8-seed2.seed

# A 16-bit RAM as two byte lanes, one memory each.
seed lane0 8 1024 1 lane0.seed
seed lane1 8 1024 1 lane1.seed
pcf lanes16 1k-tq144 clk we:2 addr:10 din:16 data:16
build lanes16 hx1k tq144 lanes16.asc lane0=lane0.seed lane1=lane1.seed

# A 32-bit ROM and a 16-bit RAM of different depths.
seed code 32 512 1 code.seed
seed data 16 256 1 data.seed
pcf dual 1k-tq144 clk we addr:9 din:16 data:48
build dual hx1k tq144 dual.asc code=code.seed data=data.seed

# A ROM that synthesis builds from logic.
seed tiny 8 64 1 tiny.seed
pcf logic 1k-tq144 clk addr:6 data:8
build logic hx1k tq144 logic.asc tiny=tiny.seed

# Depths the RAMs' 256 rows do not divide.
seed prog 32 1000 1 prog.seed
seed tbl 16 128 1 tbl.seed
pcf uneven 1k-tq144 clk addr:10 data:48
build uneven hx1k tq144 uneven.asc prog=prog.seed tbl=tbl.seed

# A 16-bit RAM of two banks of two byte lanes: the placeholders of the
# lanes and banks of one memory, named as the tool names them.
"$tool" --memory=mem:0:4K,width=16,lanes=2,banks=2,format=ice40-seed,output=mem_b%b_%d.seed --seed=1
pcf banks16 1k-tq144 clk we:2 addr:11 din:16 data:16
build banks16 hx1k tq144 banks16.asc mem_b0_0=mem_b0_0.seed mem_b0_1=mem_b0_1.seed mem_b1_0=mem_b1_0.seed \
  mem_b1_1=mem_b1_1.seed

# A ROM read through two ports, which synthesis holds twice.
seed rom 16 512 1 rom16.seed
pcf rom2port 1k-tq144 clk addr:9 data:32
build rom2port hx1k tq144 rom2port.asc rom=rom16.seed
