#!/usr/bin/env python3
"""Checks that doc/messages.md lists every message of the sources.

The messages are the texts passed to failuref(), errorf(), badValue(),
lineFailure() and Error{...} in src/, to the few local helpers that put a
text before a message (WRAPPERS), and every other line the run writes: a
text that ends in a newline, whatever takes it (a return, an assignment, a
list of a file's messages, a note). Each is brought to the normal form
doc/messages.md describes:

- C escapes are read (\\" is ", \\\\ is \\); a message of several lines is
  several messages, and the newline that ends it is dropped;
- in a printf format, each conversion is written by its kind alone: %s for
  a text (%s, %.*s), %d for a decimal number (%d, %u, %zu, %llu, ...), %x
  for hex digits (%x, %02x, %08llx, ...), %c for a character, and %% is %;
- a part of the text that the code computes (a variable, a call) is %s,
  or %d for std::to_string(...); a choice (a ? b : c) gives both texts;
- badValue(OPTION, VALUE, WHY) is "--OPTION=%s: WHY", lineFailure(IN,
  LINE, FMT) is "%s:%d: FMT", and the --insert parser's bad(WHY) is
  "--insert=%s: WHY".

A message that is only placeholders and punctuation says nothing and is
left out. Each remaining one must appear in doc/messages.md, where `\\|`
(a bar in a table) counts as `|`; code spans hold the text as it is.

Usage: doc_messages.py SRC_DIR [--list]
  SRC_DIR is the project's src/ folder; doc/messages.md is read beside it.
  --list prints every message found, with the file it comes from.
"""
import itertools
import os
import re
import sys

CALLS = {"failuref": 0, "errorf": 2, "lineFailure": 2, "badValue": None}
# Local wrappers of one file: the argument that holds the message, and the
# text they put before it.
WRAPPERS = {
    ("fields/parse.cpp", "bad"): (0, "--insert=%s: "),
    ("out/files.cpp", "refusal"): (1, "%s"),
    ("cli/response.cpp", "lineError"): (0, "%s:%d: "),
    ("patch/placeholder.cpp", "malformed"): (1, "line %d: "),
}

# Where strf() makes the contents of files, not lines of the run.
NO_LINES = {"formats", "out/map.cpp"}

# Within these files, the statement or the definition that starts with the
# name makes the contents of a file, the --help text or a debugging aid, not
# a line of the run.
NOT_LINES = {
    "cli/options.cpp": {"table", "helpText"},
    "fixed/fixed.cpp": {"dumpRomHeader", "dumpCData", "fputs"},
    "fixed/merge.cpp": {"dumpImage"},
}

# What bounds the expression around a text that ends in a newline.
BOUNDS = {",", ";", "(", "{", "[", "=", "+=", "?", ":", "return", "<<"}

TOKEN = re.compile(
    r"""(?P<comment>//[^\n]*|/\*.*?\*/)
      | (?P<string>(?:u8|u|U|L)?"(?:\\.|[^"\\\n])*")
      | (?P<char>'(?:\\.|[^'\\\n])+')
      | (?P<ident>[A-Za-z_]\w*)
      | (?P<number>\.?\d[\w.']*)
      | (?P<punct>::|->|\.\.\.|&&|\|\||<<|>>|\+=|==|!=|<=|>=|[-+*/%&|^!~=<>?:;,.(){}\[\]\#])
      | (?P<space>\s+)
    """, re.S | re.X)

CONVERSION = re.compile(r"%[-+ #0]*(?:\d+|\*)?(?:\.(?:\d+|\*))?(?:hh|h|ll|l|z|j|t|L)?([diouxXcsp%])")
KIND = {"d": "%d", "i": "%d", "u": "%d", "o": "%x", "x": "%x", "X": "%x", "p": "%x", "s": "%s", "c": "%c",
        "%": "%"}
ESCAPE = re.compile(r"\\(x[0-9a-fA-F]{1,2}|[0-7]{1,3}|.)", re.S)


def tokens(text):
    out = []
    for m in TOKEN.finditer(text):
        kind = m.lastgroup
        if kind in ("comment", "space"):
            continue
        out.append((kind, m.group()))
    return out


def unescape(literal):
    body = literal[literal.index('"') + 1:-1]

    def one(m):
        e = m.group(1)
        simple = {"n": "\n", "t": "\t", "r": "\r", "0": "\0", "\\": "\\", '"': '"', "'": "'", "?": "?"}
        if e in simple:
            return simple[e]
        if e[0] == "x":
            return chr(int(e[1:], 16))
        if e[0].isdigit():
            return chr(int(e, 8))
        return e
    return ESCAPE.sub(one, body)


def normalise(fmt):
    return CONVERSION.sub(lambda m: KIND[m.group(1)], fmt)


def split_top(toks, sep):
    """Splits a token list at top-level `sep` tokens."""
    parts, depth, cur = [], 0, []
    for t in toks:
        if t[1] in "([{":
            depth += 1
        elif t[1] in ")]}":
            depth -= 1
        if depth == 0 and t[1] == sep:
            parts.append(cur)
            cur = []
        else:
            cur.append(t)
    parts.append(cur)
    return parts


def matching(toks, i):
    """The index of the bracket closing the one at toks[i]."""
    depth = 0
    for j in range(i, len(toks)):
        if toks[j][1] in "([{":
            depth += 1
        elif toks[j][1] in ")]}":
            depth -= 1
            if depth == 0:
                return j
    return len(toks) - 1


def strip_parens(toks):
    while toks and toks[0][1] == "(" and matching(toks, 0) == len(toks) - 1:
        toks = toks[1:-1]
    return toks


def texts(toks, fmt):
    """The texts an expression may give, as alternatives."""
    toks = strip_parens(toks)
    if not toks:
        return [""]
    # A choice: cond ? a : b.
    depth, question = 0, None
    for i, t in enumerate(toks):
        if t[1] in "([{":
            depth += 1
        elif t[1] in ")]}":
            depth -= 1
        elif depth == 0 and t[1] == "?" and question is None:
            question = i
        elif depth == 0 and t[1] == ":" and question is not None:
            # The first ':' at this depth after the first '?' closes it
            # unless another '?' opened in between.
            nested = sum(1 for u in toks[question + 1:i] if u[1] == "?")
            colons = sum(1 for u in toks[question + 1:i] if u[1] == ":")
            if nested == colons:
                return texts(toks[question + 1:i], fmt) + texts(toks[i + 1:], fmt)
    parts = split_top(toks, "+")
    if len(parts) > 1:
        return ["".join(p) for p in itertools.product(*(texts(p, fmt) for p in parts))]
    # One operand.
    if all(t[0] == "string" for t in toks):
        text = "".join(unescape(t[1]) for t in toks)
        return [normalise(text) if fmt else text]
    # X.c_str(), X.data()
    if len(toks) >= 4 and [t[1] for t in toks[-4:]] in (["." , "c_str", "(", ")"], [".", "data", "(", ")"]):
        return texts(toks[:-4], fmt)
    names = [t[1] for t in toks]
    if names[:2] == ["strf", "("] and matching(toks, 1) == len(toks) - 1:
        args = split_top(toks[2:-1], ",")
        return texts(args[0], True)
    if names[:4] == ["std", "::", "string", "("] and matching(toks, 3) == len(toks) - 1:
        inner = toks[4:-1]
        if inner and all(t[0] == "string" for t in inner):
            return texts(inner, False)
        return ["%s"]
    if names[:4] == ["std", "::", "to_string", "("]:
        return ["%d"]
    return ["%s"]


def opening(toks, i):
    """The index of the bracket opening the one at toks[i]."""
    depth = 0
    for j in range(i, -1, -1):
        if toks[j][1] in (")", "]", "}"):
            depth += 1
        elif toks[j][1] in ("(", "[", "{"):
            depth -= 1
            if depth == 0:
                return j
    return 0


def skipped(toks, rel):
    """The indexes of the tokens that NOT_LINES leaves out in `rel`."""
    out = set()
    names = NOT_LINES.get(rel, set())
    for i, (kind, text) in enumerate(toks):
        if kind != "ident" or text not in names:
            continue
        j = i + 1
        while j < len(toks) and toks[j][1] != ";":
            if toks[j][1] in ("(", "["):
                j = matching(toks, j)
            elif toks[j][1] == "{":
                j = matching(toks, j)
                break
            j += 1
        out.update(range(i, j + 1))
    return out


def around(toks, i):
    """The expression that holds the token at toks[i]."""
    first = i
    while first > 0:
        t = toks[first - 1][1]
        if t in (")", "]", "}"):
            first = opening(toks, first - 1)
        elif t in BOUNDS:
            break
        else:
            first -= 1
    last = i + 1
    while last < len(toks):
        t = toks[last][1]
        if t in ("(", "[", "{") and toks[last - 1][0] in ("ident", "punct") and toks[last - 1][1] not in BOUNDS:
            last = matching(toks, last) + 1
        elif t in BOUNDS or t in (")", "]", "}"):
            break
        else:
            last += 1
    return toks[first:last]


def lines_of(toks, rel, skip):
    """Every text the file makes that ends in a newline: a line it writes."""
    if rel.split("/")[0] in NO_LINES or rel in NO_LINES:
        return []
    found = []
    for i, (kind, text) in enumerate(toks):
        if kind != "string" or i in skip or not unescape(text).endswith("\n"):
            continue
        # A format of fprintf() or of a call the other rules read gives the
        # same text again, which is harmless.
        found += [normalise(t) for t in texts(around(toks, i), False)]
    return found


def messages_of(path, rel):
    toks = tokens(open(path, encoding="utf-8").read())
    skip = skipped(toks, rel)
    found = lines_of(toks, rel, skip)
    wrappers = {name: how for (file, name), how in WRAPPERS.items() if file == rel}
    for i, (kind, text) in enumerate(toks[:-1]):
        if kind != "ident" or i in skip:
            continue
        opener = toks[i + 1][1]
        if i > 0 and toks[i - 1][1] in (".", "->", "::") and text != "Error":
            continue
        if text == "Error" and opener == "{":
            args = split_top(toks[i + 2:matching(toks, i + 1)], ",")
            found += texts(args[0], False)
        elif text in CALLS and opener == "(":
            args = split_top(toks[i + 2:matching(toks, i + 1)], ",")
            if text == "badValue":
                if len(args) == 3:
                    for opt in texts(args[0], False):
                        found += ["--%s=%%s: %s" % (opt, why) for why in texts(args[2], False)]
            elif len(args) > CALLS[text]:
                whole = texts(args[CALLS[text]], True)
                found += ["%s:%d: " + w for w in whole] if text == "lineFailure" else whole
        elif text == "strf" and opener == "(" and rel.split("/")[0] not in NO_LINES and rel not in NO_LINES:
            # A line the run writes (a note, a message made ahead of its
            # failure): a format that ends in a newline.
            args = split_top(toks[i + 2:matching(toks, i + 1)], ",")
            if args[0] and all(t[0] == "string" for t in args[0]) and unescape(args[0][-1][1]).endswith("\n"):
                found += texts(args[0], True)
        elif text == "return" and rel.split("/")[0] not in NO_LINES and rel not in NO_LINES:
            # A line put together and returned: name + " is ...\n".
            end = i + 1
            while end < len(toks) and toks[end][1] != ";":
                end += matching(toks, end) - end + 1 if toks[end][1] in "([{" else 1
            expr = toks[i + 1:end]
            if len(split_top(expr, "+")) > 1 and any(
                    t[0] == "string" and unescape(t[1]).endswith("\n") for t in expr):
                found += texts(expr, False)
        elif text in wrappers and opener == "(" and (i == 0 or toks[i - 1][0] != "ident" or toks[i - 1][1] == "return"):
            # A call, not the helper's own definition.
            index, prefix = wrappers[text]
            args = split_top(toks[i + 2:matching(toks, i + 1)], ",")
            if len(args) > index and args[index]:
                found += [prefix + w for w in texts(args[index], False)]
    lines = []
    for m in found:
        # A line added to the text of lines before it (text + "verify: ...")
        # starts with that text's placeholder: the line is what follows.
        m = re.sub(r"^%s(?=[A-Za-z])", "", m)
        for line in m.rstrip("\n").split("\n"):
            if re.search(r"[A-Za-z]", re.sub(r"%[sdxc]", "", line)):
                lines.append(line)
    return lines


def main():
    if len(sys.argv) < 2:
        print(__doc__.strip().split("\n\n")[-1])
        return 2
    src = sys.argv[1]
    listing = "--list" in sys.argv[2:]
    if os.path.isdir(os.path.join(src, "src")):  # the project's own folder
        src = os.path.join(src, "src")
    page_path = os.path.join(src, os.pardir, "doc", "messages.md")
    found = {}
    for root, _, files in os.walk(src):
        for name in sorted(files):
            if not name.endswith((".cpp", ".hpp")):
                continue
            path = os.path.join(root, name)
            rel = os.path.relpath(path, src)
            for m in messages_of(path, rel):
                found.setdefault(m, rel)
    if listing:
        for m, rel in sorted(found.items(), key=lambda x: (x[1], x[0])):
            print("%s\t%s" % (rel, m))
        return 0
    page = open(page_path, encoding="utf-8").read().replace("\\|", "|")
    missing = [(rel, m) for m, rel in found.items() if m not in page]
    for rel, m in sorted(missing):
        print("doc/messages.md lacks a message of src/%s: %s" % (rel, m))
    if missing:
        print("%d of %d messages are missing from doc/messages.md" % (len(missing), len(found)))
        return 1
    print("doc/messages.md lists all %d messages of src/" % len(found))
    return 0


if __name__ == "__main__":
    sys.exit(main())
