#!/usr/bin/env python3
"""Checks romwright's map of an ELF executable against readelf's view of it.

Usage: map_check.py ELF MAP.txt MAP.json [ADDR:SIZE:TEXT ...]

The memories (their first and last address, addressing, fill) are taken
from the JSON map; everything inside them is worked out here from
`readelf -lSsW`: each allocated section at its load or run address, a
segment's zero tail at run addresses, the fields given as ADDR:SIZE:TEXT,
the fill between, and the symbols (functions, objects and the global labels
of sections) under the range that holds them. The text map must be those
lines exactly, and the JSON the same ranges and symbols. Prints what differs
and exits 1, or exits 0.
"""
import json
import re
import subprocess
import sys


def readelf(elf, flag):
    return subprocess.run(["readelf", flag, "-W", elf], check=True, capture_output=True, text=True).stdout


def segments(elf):
    out = []
    for line in readelf(elf, "-l").splitlines():
        m = re.match(r"\s+(\S+)\s+0x([0-9a-f]+) 0x([0-9a-f]+) 0x([0-9a-f]+) 0x([0-9a-f]+) 0x([0-9a-f]+)", line)
        if m:
            out.append({"type": m[1], "offset": int(m[2], 16), "vaddr": int(m[3], 16), "paddr": int(m[4], 16),
                        "filesz": int(m[5], 16), "memsz": int(m[6], 16)})
    return out


def sections(elf):
    out = []
    for line in readelf(elf, "-S").splitlines():
        m = re.match(r"\s+\[\s*\d+\]\s+(\S+)\s+(\S+)\s+([0-9a-f]+) ([0-9a-f]+) ([0-9a-f]+) \S+\s+(\S*)\s", line)
        if m and "A" in m[6]:
            out.append({"name": m[1], "type": m[2], "addr": int(m[3], 16), "offset": int(m[4], 16),
                        "size": int(m[5], 16)})
    return out


def symbols(elf):
    out = []
    for line in readelf(elf, "-s").splitlines():
        f = line.split()
        if len(f) < 8 or not f[0].endswith(":") or f[0] == "Num:":
            continue
        value, size, typ, bind, ndx, name = int(f[1], 16), int(f[2], 0), f[3], f[4], f[6], f[7]
        listed = typ in ("FUNC", "OBJECT", "IFUNC") or (
            typ == "NOTYPE" and bind in ("GLOBAL", "WEAK") and ndx not in ("ABS", "UND", "COM"))
        if listed and ndx != "UND":
            out.append({"name": name, "value": value, "size": size, "type": typ, "bind": bind})
    return out


def main():
    elf, text_path, json_path = sys.argv[1:4]
    fields = []
    for spec in sys.argv[4:]:
        addr, size, text = spec.split(":", 2)
        fields.append((int(addr, 0), int(size, 0), text))
    segs, secs, syms = segments(elf), sections(elf), symbols(elf)
    loads = [(i, s) for i, s in enumerate(segs) if s["type"] == "LOAD"]
    doc = json.load(open(json_path, encoding="utf-8"))
    text_lines = open(text_path, encoding="utf-8").read().split("\n")
    problems = []

    for mem in doc["memories"]:
        first, last = int(mem["first"], 16), int(mem["last"], 16)
        run = mem["addresses"] == "run"
        pieces = []  # (first, last, text, section, segment)
        for sec in secs:
            if sec["size"] == 0:
                continue
            for i, s in loads:
                if sec["type"] != "NOBITS" and s["offset"] <= sec["offset"] < s["offset"] + s["filesz"]:
                    at = sec["addr"] if run else sec["addr"] - s["vaddr"] + s["paddr"]
                    pieces.append((at, at + sec["size"] - 1, f"{elf} segment {i} ({sec['name']})", sec["name"], i))
                    break
                if sec["type"] == "NOBITS" and run and s["vaddr"] <= sec["addr"] < s["vaddr"] + s["memsz"]:
                    pieces.append((sec["addr"], sec["addr"] + sec["size"] - 1, f"{elf} segment {i} (zero tail)",
                                   None, i))
                    break
        for addr, size, text in fields:
            pieces.append((addr, addr + size - 1, f"field {text}", None, None))
        pieces = sorted(p for p in pieces if first <= p[0] and p[1] <= last)
        rows, at = [], first
        fill = "gap (not written)" if mem["sparse"] else "fill 0x%02x" % mem["fill"]
        for p in pieces:
            if p[0] > at:
                rows.append((at, p[0] - 1, fill, None, None))
            rows.append(p)
            at = p[1] + 1
        if at <= last:
            rows.append((at, last, fill, None, None))

        def where(sym):
            if run:
                return sym["value"]
            for s in segs:
                if s["vaddr"] <= sym["value"] < s["vaddr"] + max(s["memsz"], 1):
                    return s["paddr"] + sym["value"] - s["vaddr"]
            return sym["value"]

        placed = sorted((where(s), s["name"], s) for s in syms if first <= where(s) <= last)

        def details(addr, s):
            text = {"FUNC": "function", "IFUNC": "function", "OBJECT": "object"}.get(s["type"], "label")
            if s["bind"] != "GLOBAL":
                text += ", " + s["bind"].lower()
            if s["size"]:
                text += f", {s['size']} bytes"
            if s["value"] != addr:
                text += ", runs at 0x%08x" % s["value"]
            return text

        width = len(str(last - first + 1))
        want_text, want_json = [], []
        k = 0
        for a, b, text, section, seg in rows:
            want_text.append("  0x%08x..0x%08x  %*d bytes  %s" % (a, b, width, b - a + 1, text))
            inside = []
            while k < len(placed) and placed[k][0] <= b:
                addr, name, s = placed[k]
                want_text.append("      0x%08x  %s (%s)" % (addr, name, details(addr, s)))
                inside.append({"name": name, "address": "0x%08x" % addr, "run": "0x%08x" % s["value"]})
                k += 1
            want_json.append({"first": "0x%08x" % a, "last": "0x%08x" % b, "text": text, "section": section,
                              "segment": seg, "symbols": inside})

        # The memory's block of the text map: from its header to the next
        # blank line.
        header = next((i for i, l in enumerate(text_lines)
                       if l.startswith("memory") and ("0x%08x..0x%08x," % (first, last)) in l), None)
        if header is None:
            problems.append("no header for the memory at 0x%08x in the text map" % first)
            continue
        got_text = []
        for l in text_lines[header + 1:]:
            if l == "":
                break
            got_text.append(l)
        if got_text != want_text:
            problems.append("text map of memory 0x%08x:\n got:\n%s\n want:\n%s" %
                            (first, "\n".join(got_text), "\n".join(want_text)))
        got_json = [{"first": r["first"], "last": r["last"], "text": r["text"], "section": r["section"],
                     "segment": r["segment"],
                     "symbols": [{k2: s[k2] for k2 in ("name", "address", "run")} for s in r["symbols"]]}
                    for r in mem["ranges"]]
        if got_json != want_json:
            problems.append("JSON map of memory 0x%08x:\n got:  %s\n want: %s" % (first, got_json, want_json))
        for r in mem["ranges"]:
            if int(r["size"], 16) != int(r["last"], 16) - int(r["first"], 16) + 1:
                problems.append("size of %s" % r)
    if not doc["memories"]:
        problems.append("no memory in the JSON map")
    if problems:
        print("\n".join(problems))
        sys.exit(1)


main()
