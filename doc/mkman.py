#!/usr/bin/env python3
"""Builds the manual page romwright.1 from the reference pages in doc/.

The pages are Markdown in a small subset: one `# Title` on the first line
(doc/romwright.md has several `#` sections and the line `<!-- pages -->`
where the other pages go), `##` sections, `###` entries, paragraphs, lists
of one level, fenced code blocks, pipe tables, and `code`, **bold**,
*italic*, [text](target) and backslash escapes of * _ ` | and backslash
inline. Anything else is refused with FILE:LINE: what, so that a page that
leaves the subset fails the build instead of rendering wrong.

    mkman.py --version VERSION (--date DATE | --changelog FILE) [-o OUT] DOCDIR
    mkman.py --check DOCDIR|PAGE...

The date is SOURCE_DATE_EPOCH's when that is set, else --date, else the
date of the changelog's top entry, so that one source gives one page.
"""

import argparse
import datetime
import email.utils
import os
import re
import sys

HEAD = "romwright.md"
# The pages between DESCRIPTION and EXIT STATUS, in this order.
PAGES = [
    "options.md",
    "memories.md",
    "formats.md",
    "fields.md",
    "ice40.md",
    "map-verify.md",
    "output-safety.md",
    "messages.md",
]
# Pages a link may point to: the man page keeps only the link's text.
DOC_PAGES = {HEAD, "library.md", *PAGES}
MARKER = "<!-- pages -->"


class Refusal(Exception):
    """Something outside the subset, at a line of a page."""

    def __init__(self, line, what):
        super().__init__(what)
        self.line = line
        self.what = what


# ---- Characters -----------------------------------------------------------


def esc_char(c, code=False):
    """One character as roff text: the escape character, hyphens (as
    minus signs, which copy as the ASCII hyphen), quotes in code, and every
    character beyond ASCII by its code point."""
    if c == "\\":
        return "\\e"
    if c == "-":
        return "\\-"
    if code and c == "'":
        return "\\(aq"
    if c == "`":
        return "\\(ga"
    if ord(c) > 126:
        return "\\[u%04X]" % ord(c)
    return c


def esc(text, code=False):
    return "".join(esc_char(c, code) for c in text)


def roff_lines(text):
    """Text lines for roff: no leading blanks (they break the line), and a
    line that would start with a control character is guarded."""
    out = []
    for line in text.split("\n"):
        line = line.strip(" ")
        if not line:
            continue
        if line[0] in ".'":
            line = "\\&" + line
        out.append(line)
    return out


def macro_arg(text):
    return '"' + text.replace('"', "\\(dq") + '"'


def heading_args(text):
    # .SH and .SS join their arguments with a space: no quotes needed, and
    # none wanted (readers of the NAME section look for `.SH NAME`).
    return " ".join(text.replace('"', "\\(dq").split())


# ---- Inline text ----------------------------------------------------------

ESCAPABLE = "*_`|\\"
PUNCT = set("!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~")
LINK = re.compile(r"\[((?:[^\[\]\\`]|\\.|`[^`]*`)*)\]\(([^()\s]*)\)")
ENTITY = re.compile(r"&(#[0-9]+|#[xX][0-9a-fA-F]+|[A-Za-z][A-Za-z0-9]*);")


class Inline:
    """Renders the inline text of one block; `line` is its first line, for
    the refusals, and `plain` leaves the fonts out (for headings)."""

    def __init__(self, text, line, plain=False):
        self.text = text
        self.line = line
        self.plain = plain
        self.styles = []  # open code, bold and italic spans, innermost last
        self.opened = []  # where each bold or italic span opened
        self.font = "R"
        self.out = []

    def refuse(self, at, what):
        raise Refusal(self.line + self.text.count("\n", 0, at), what)

    def set_font(self):
        if self.plain:
            return
        bold = "code" in self.styles or "bold" in self.styles
        italic = "italic" in self.styles
        font = "BI" if bold and italic else "B" if bold else "I" if italic else "R"
        if font != self.font:
            self.out.append("\\f[%s]" % font)
            self.font = font

    def render(self):
        self.run(0, len(self.text))
        if self.styles:
            kind, at = self.styles[-1], self.opened[-1]
            self.refuse(at, "%s not closed" % ("**" if kind == "bold" else "*"))
        if self.font != "R":
            self.out.append("\\f[R]")
        return "".join(self.out)

    def run(self, start, end):
        t = self.text
        i = start
        while i < end:
            c = t[i]
            prev = t[i - 1] if i > 0 else " "
            nxt = t[i + 1] if i + 1 < len(t) else " "
            if c == "\\":
                if nxt in ESCAPABLE:
                    self.out.append(esc_char(nxt))
                    i += 2
                    continue
                if nxt == "\n" or i + 1 == len(t):
                    self.refuse(i, "a backslash at the end of a line (a hard line break)")
                if nxt in PUNCT:
                    self.refuse(i, "\\%s: only \\* \\_ \\` \\| and \\\\ are escapes" % nxt)
                self.out.append("\\e")
                i += 1
                continue
            if c == "`":
                if nxt == "`":
                    self.refuse(i, "a code span takes one backtick on each side")
                close = t.find("`", i + 1, end)
                if close < 0:
                    self.refuse(i, "` not closed")
                self.styles.append("code")
                self.set_font()
                self.out.append(esc(t[i + 1 : close].replace("\n", " "), code=True))
                self.styles.pop()
                self.set_font()
                i = close + 1
                continue
            if c == "*":
                if t.startswith("***", i):
                    self.refuse(i, "*** is outside the subset: nest **bold** and *italic*")
                kind, width = ("bold", 2) if nxt == "*" else ("italic", 1)
                after = t[i + width] if i + width < len(t) else " "
                if self.styles and self.styles[-1] == kind and not prev.isspace():
                    self.styles.pop()
                    self.opened.pop()
                    self.set_font()
                elif not after.isspace():
                    if kind in self.styles:
                        self.refuse(i, "%s inside %s" % (t[i : i + width], t[i : i + width]))
                    self.styles.append(kind)
                    self.opened.append(i)
                    self.set_font()
                else:
                    self.out.append("*" * width)
                i += width
                continue
            if c == "_":
                if not (prev.isalnum() and nxt.isalnum()):
                    self.refuse(i, "_ outside a word: write \\_ (emphasis is *text*)")
                self.out.append("_")
                i += 1
                continue
            if c == "~" and nxt == "~":
                self.refuse(i, "~~ (strikethrough) is outside the subset")
            if c == "!" and nxt == "[":
                self.refuse(i, "images are outside the subset")
            if c == "<" and (nxt.isalpha() or nxt in "/!?"):
                self.refuse(i, "HTML and <autolinks> are outside the subset")
            if c == "&" and ENTITY.match(t, i):
                self.refuse(i, "HTML entities are outside the subset")
            if c == "[":
                i = self.link(i, end)
                continue
            if c == "\t" or (ord(c) < 32 and c != "\n"):
                self.refuse(i, "a control character (U+%04X)" % ord(c))
            self.out.append(esc_char(c))
            i += 1

    def link(self, i, end):
        t = self.text
        m = LINK.match(t, i, end)
        if m is None:
            close = t.find("]", i, end)
            if close >= 0 and t.startswith("(", close + 1):
                self.refuse(i, "a link is [text](target), the target without blanks or a title")
            if close >= 0 and t.startswith("[", close + 1):
                self.refuse(i, "reference links are outside the subset: write [text](target)")
            if close >= 0 and t.startswith(":", close + 1) and (i == 0 or t[i - 1] == "\n"):
                self.refuse(i, "link definitions are outside the subset: write [text](target)")
            self.out.append("[")
            return i + 1
        target = m.group(2)
        if not target:
            self.refuse(i, "a link without a target")
        depth = len(self.styles)
        self.run(m.start(1), m.end(1))
        if len(self.styles) != depth:
            self.refuse(i, "emphasis that crosses the bounds of a link's text")
        path = target.split("#", 1)[0]
        if path and os.path.basename(path) not in DOC_PAGES or "://" in target:
            self.out.append(" (")
            styles, self.styles = self.styles, []
            self.set_font()
            self.out.append(esc(target, code=True))
            self.styles = styles
            self.set_font()
            self.out.append(")")
        return m.end()


def inline(text, line, plain=False):
    return Inline(text, line, plain).render()


# ---- Blocks ---------------------------------------------------------------

HEADING = re.compile(r"^(#{1,6})(?:[ \t]+(.*?))?[ \t]*$")
BULLET = re.compile(r"^- (.*)$")
ORDERED = re.compile(r"^([0-9]{1,9})\. (.*)$")
OTHER_BULLET = re.compile(r"^[*+] ")
RULE = re.compile(r"^ {0,3}([-*_=])(?: *\1){2,} *$")
FENCE = re.compile(r"^```([A-Za-z0-9_+-]*)[ \t]*$")
SEPARATOR_CELL = re.compile(r"^ *:?-+:? *$")


def split_row(line):
    """The cells of a table row `| a | b |`; `\\|` stays in its cell."""
    body = line.strip()
    if not body.startswith("|"):
        return None
    body = body[1:]
    if body.endswith("|") and not body.endswith("\\|"):
        body = body[:-1]
    cells, cell, i = [], "", 0
    while i < len(body):
        if body[i] == "\\" and i + 1 < len(body):
            cell += body[i : i + 2]
            i += 2
            continue
        if body[i] == "|":
            cells.append(cell.strip())
            cell = ""
        else:
            cell += body[i]
        i += 1
    cells.append(cell.strip())
    return cells


def list_item(line):
    m = BULLET.match(line)
    if m:
        return ("-", m.group(1))
    m = ORDERED.match(line)
    if m:
        return (m.group(1) + ".", m.group(2))
    return None


def parse(text, head):
    """The blocks of a page, as tuples (kind, line, ...)."""
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    blocks = []
    n = len(lines)
    i = 0
    markers = 0

    def interrupts(line):
        return (
            HEADING.match(line)
            or FENCE.match(line)
            or line.startswith("```")
            or BULLET.match(line)
            or (ORDERED.match(line) and ORDERED.match(line).group(1) == "1")
        )

    if not lines or not HEADING.match(lines[0]) or len(HEADING.match(lines[0]).group(1)) != 1:
        raise Refusal(1, "a page starts with its `# Title` line")
    while i < n:
        line = lines[i]
        no = i + 1
        if "\r" in line:
            raise Refusal(no, "a carriage return (the pages end their lines with LF)")
        if line.strip() == "":
            i += 1
            continue
        if line.startswith("~~~"):
            raise Refusal(no, "fence code blocks with ```")
        m = FENCE.match(line)
        if m or line.startswith("```"):
            if not m:
                raise Refusal(no, "a code fence is ``` and at most one word")
            body = []
            i += 1
            while i < n and lines[i].rstrip() != "```":
                if "\r" in lines[i]:
                    raise Refusal(i + 1, "a carriage return (the pages end their lines with LF)")
                body.append(lines[i].expandtabs(8))
                i += 1
            if i == n:
                raise Refusal(no, "code block not closed with ```")
            blocks.append(("code", no, body))
            i += 1
            continue
        if line.strip() == MARKER:
            if not head:
                raise Refusal(no, "%s belongs in %s only" % (MARKER, HEAD))
            markers += 1
            if markers > 1:
                raise Refusal(no, "%s appears more than once" % MARKER)
            blocks.append(("marker", no))
            i += 1
            continue
        if line.lstrip().startswith("<") and len(line.lstrip()) > 1 and (
            line.lstrip()[1].isalpha() or line.lstrip()[1] in "/!?"
        ):
            raise Refusal(no, "HTML is outside the subset")
        m = HEADING.match(line)
        if m:
            level = len(m.group(1))
            title = m.group(2) or ""
            if level > 3:
                raise Refusal(no, "headings go to ### only")
            if not title:
                raise Refusal(no, "a heading without text")
            if re.search(r"[ \t]#+$", title):
                raise Refusal(no, "a heading's closing #s are outside the subset")
            if level == 1 and i > 0 and not head:
                raise Refusal(no, "# Title appears once, on the first line")
            blocks.append(("h%d" % level, no, title))
            i += 1
            continue
        if line.startswith(">"):
            raise Refusal(no, "block quotes are outside the subset")
        if RULE.match(line):
            raise Refusal(no, "rules and underlined headings are outside the subset")
        if OTHER_BULLET.match(line):
            raise Refusal(no, "list items start with '- ' or '1. '")
        if line.startswith("    ") or line.startswith("\t"):
            raise Refusal(no, "indented code blocks are outside the subset: fence them with ```")
        if line.startswith(" ") and (interrupts(line.lstrip(" ")) or line.lstrip(" ").startswith("|")):
            raise Refusal(no, "headings, lists, tables and code blocks start at the margin")
        if list_item(line):
            ordered = not line.startswith("-")
            items = []
            while i < n:
                item = list_item(lines[i])
                if item is None:
                    break
                if (not item[0].startswith("-")) != ordered:
                    break
                if not item[1].strip():
                    raise Refusal(i + 1, "an empty list item")
                text, first = [item[1]], i + 1
                i += 1
                while i < n and lines[i].strip():
                    cont = lines[i]
                    if list_item(cont) or HEADING.match(cont) or cont.startswith("```"):
                        break
                    indent = len(cont) - len(cont.lstrip(" "))
                    if indent not in (2, 3):
                        raise Refusal(
                            i + 1,
                            "a list item continues on a line indented by 2 or 3 spaces"
                            " (nested lists and blocks are outside the subset)",
                        )
                    if list_item(cont.lstrip(" ")) or OTHER_BULLET.match(cont.lstrip(" ")):
                        raise Refusal(i + 1, "nested lists are outside the subset")
                    text.append(cont.lstrip(" "))
                    i += 1
                items.append((item[0], first, "\n".join(text)))
                # A blank line between items keeps the list; an indented
                # line after one would be a second paragraph of the item.
                j = i
                while j < n and not lines[j].strip():
                    j += 1
                if j > i and j < n and lines[j].startswith(" "):
                    raise Refusal(j + 1, "a list item of more than one paragraph")
                if j < n and list_item(lines[j]):
                    i = j
            blocks.append(("list", items[0][1], ordered, items))
            continue
        if line.startswith("|"):
            header = split_row(line)
            if i + 1 >= n or not lines[i + 1].startswith("|"):
                raise Refusal(no, "a table is a header row, a |---| row, then its rows")
            sep = split_row(lines[i + 1])
            if not all(SEPARATOR_CELL.match(c) for c in sep):
                raise Refusal(i + 2, "a table's second row is its separator, |---|---|")
            if len(sep) != len(header):
                raise Refusal(i + 2, "the separator has %d cells, the header %d" % (len(sep), len(header)))
            rows = []
            i += 2
            while i < n and lines[i].strip():
                if not lines[i].startswith("|"):
                    raise Refusal(i + 1, "a table ends with a blank line")
                cells = split_row(lines[i])
                if len(cells) != len(header):
                    raise Refusal(i + 1, "a row of %d cells in a table of %d columns" % (len(cells), len(header)))
                rows.append((i + 1, cells))
                i += 1
            blocks.append(("table", no, (no, header), rows))
            continue
        # A paragraph, up to a blank line or a line that starts another block.
        text = [line.strip(" ")]
        i += 1
        while i < n and lines[i].strip():
            cont = lines[i]
            if interrupts(cont):
                break
            if len(cont) - len(cont.lstrip(" ")) < 4 and interrupts(cont.lstrip(" ")):
                raise Refusal(i + 1, "headings, lists, tables and code blocks start at the margin")
            if cont.startswith("|"):
                raise Refusal(i + 1, "a table starts after a blank line")
            if cont.startswith(">") or RULE.match(cont) or OTHER_BULLET.match(cont) or cont.lstrip().startswith("<!--"):
                raise Refusal(i + 1, "block quotes, rules, underlined headings and HTML are outside the subset")
            text.append(cont.strip(" "))
            i += 1
        blocks.append(("para", no, "\n".join(text)))
    if head and markers == 0:
        raise Refusal(n, "%s needs the line %s where the other pages go" % (HEAD, MARKER))
    return blocks


# ---- Roff -----------------------------------------------------------------


def render(blocks):
    """The roff of a page's blocks. A `###` entry is a .TP whose body runs
    to the next heading; lists, tables and code inside it are indented
    under its body with .RS/.RE, which keep the entry's indentation."""
    out = []
    in_entry = False  # inside a ### entry
    fresh = False  # nothing of the entry's body written yet

    def body_start():
        # A paragraph of the entry after its first one: .IP keeps the
        # entry's indentation. Right after .SH or .SS a paragraph needs no
        # macro of its own (and NAME must start with its text).
        nonlocal fresh
        if in_entry:
            if not fresh:
                out.append(".IP")
        elif not out[-1].startswith((".SH ", ".SS ")):
            out.append(".PP")
        fresh = False

    def nested(start):
        # Lists and tables: inside an entry, under its body; elsewhere at
        # the margin. .RS/.RE keep the indentation they change to themselves.
        nonlocal fresh
        if start:
            out.append(".RS" if in_entry else ".RS 0")
        else:
            out.append(".RE")
            fresh = False

    for block in blocks:
        kind, line = block[0], block[1]
        if kind == "h1":
            out.append(".SH " + heading_args(inline(block[2], line, plain=True).upper()))
            in_entry = False
        elif kind == "h2":
            out.append(".SS " + heading_args(inline(block[2], line, plain=True)))
            in_entry = False
        elif kind == "h3":
            out.append(".TP")
            out.extend(roff_lines(inline(block[2], line)) or ["\\&"])
            in_entry, fresh = True, True
        elif kind == "para":
            body_start()
            out.extend(roff_lines(inline(block[2], line)))
        elif kind == "list":
            ordered, items = block[2], block[3]
            width = max(len(marker) for marker, _, _ in items) + 1 if ordered else 2
            nested(True)
            for k, (marker, first, text) in enumerate(items):
                if k == 1:
                    out.append(".PD 0")
                out.append(".IP %s %d" % (macro_arg(marker) if ordered else "\\(bu", width))
                out.extend(roff_lines(inline(text, first)))
            if len(items) > 1:
                out.append(".PD")
            nested(False)
        elif kind == "table":
            (hline, header), rows = block[2], block[3]
            nested(True)
            if len(header) == 1:
                for no, cells in [(hline, header)] + rows:
                    out.append(".IP")
                    text = inline(cells[0], no) if no != hline else inline("**%s**" % cells[0], no)
                    out.extend(roff_lines(text) or ["\\&"])
            else:
                # Two columns: the header is a row of its own, in bold, and
                # the rows stand without a blank line between them; more: each
                # cell after the first on a line of its own, named by its
                # column, and a blank line after each row.
                shown = 0
                if len(header) == 2:
                    out.append(".TP")
                    out.append("\\f[B]%s\\f[R]" % inline(header[0], hline, plain=True))
                    out.append("\\f[B]%s\\f[R]" % inline(header[1], hline, plain=True))
                    shown += 1
                for no, cells in rows:
                    if shown == 1 and len(header) == 2:
                        out.append(".PD 0")
                    shown += 1
                    out.append(".TP")
                    out.extend(roff_lines(inline(cells[0], no)) or ["\\&"])
                    parts = []
                    for name, cell in zip(header[1:], cells[1:]):
                        if len(header) == 2:
                            parts.append(inline(cell, no))
                        elif cell:
                            parts.append("\\f[I]%s:\\f[R] %s" % (inline(name, hline, plain=True), inline(cell, no)))
                    for k, part in enumerate(parts):
                        if k:
                            out.append(".br")
                        out.extend(roff_lines(part) or ["\\&"])
                if shown > 1 and len(header) == 2:
                    out.append(".PD")
            nested(False)
        elif kind == "code":
            if in_entry and not fresh:
                out.append(".IP")
            elif not in_entry and not out[-1].startswith((".SH ", ".SS ")):
                out.append(".PP")
            out.append(".RS" if in_entry else ".RS 4")
            if in_entry:
                out.append(".RS 4")
            out.append(".nf")
            for text in block[2]:
                text = esc(text, code=True)
                out.append("\\&" + text if text.startswith((".", "'")) or not text else text)
            out.append(".fi")
            out.append(".RE")
            if in_entry:
                out.append(".RE")
            fresh = False
    return out


# ---- The page -------------------------------------------------------------


def read_page(path):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise Refusal(0, "cannot read: %s" % (e.strerror or e))
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise Refusal(data.count(b"\n", 0, e.start) + 1, "not UTF-8")


def page_blocks(path, head=False):
    return parse(read_page(path), head)


def build(docdir, version, date):
    """The whole manual page, or the refusals as FILE:LINE: lines."""
    errors = []
    roff = {}
    for name in [HEAD] + PAGES:
        path = os.path.join(docdir, name)
        try:
            blocks = page_blocks(path, head=name == HEAD)
            if name == HEAD:
                split = next(k for k, b in enumerate(blocks) if b[0] == "marker")
                roff["before"] = render(blocks[:split])
                roff["after"] = render(blocks[split + 1 :])
            else:
                roff[name] = render(blocks)
        except Refusal as r:
            errors.append("%s:%d: %s" % (path, r.line, r.what))
    if errors:
        return None, errors
    out = [
        '.\\" The manual page of romwright, made by doc/mkman.py from doc/*.md:',
        '.\\" edit those pages, not this file.',
        ".TH ROMWRIGHT 1 %s %s %s" % (macro_arg(date), macro_arg("romwright " + version), macro_arg("User Commands")),
        ".nh",
        ".ad l",
    ]
    out += roff["before"]
    for name in PAGES:
        out += roff[name]
    out += roff["after"]
    return "\n".join(out) + "\n", []


def check(paths):
    """Reads and renders each page on its own, for the refusals; a folder
    stands for every page of the manual and doc/library.md in it."""
    errors = []
    pages = []
    for path in paths:
        if os.path.isdir(path):
            pages += [os.path.join(path, name) for name in [HEAD, *PAGES, "library.md"]]
        else:
            pages.append(path)
    for path in pages:
        try:
            render(page_blocks(path, head=os.path.basename(path) == HEAD))
        except Refusal as r:
            errors.append("%s:%d: %s" % (path, r.line, r.what))
    return errors


def page_date(args):
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch:
        return datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc).strftime("%Y-%m-%d")
    if args.date:
        return args.date
    with open(args.changelog, encoding="utf-8") as f:
        for line in f:
            m = re.match(r"^ -- .*?>  (.*)$", line.rstrip("\n"))
            if m:
                return email.utils.parsedate_to_datetime(m.group(1)).strftime("%Y-%m-%d")
    raise SystemExit("%s: no trailer line with a date" % args.changelog)


def main(argv):
    p = argparse.ArgumentParser(description="Builds romwright.1 from the pages in DOCDIR.")
    p.add_argument("--version")
    p.add_argument("--date", help="the page's date (SOURCE_DATE_EPOCH comes first)")
    p.add_argument("--changelog", help="take the date from this Debian changelog's top entry")
    p.add_argument("-o", "--output", help="the page to write [standard output]")
    p.add_argument("--check", action="store_true",
                   help="only check that each PAGE (every page in DOCDIR) keeps to the subset")
    p.add_argument("paths", nargs="+", metavar="DOCDIR|PAGE")
    args = p.parse_args(argv)
    if args.check:
        errors = check(args.paths)
        for e in errors:
            print(e, file=sys.stderr)
        return 1 if errors else 0
    if len(args.paths) != 1 or not args.version or not (args.date or args.changelog):
        p.error("give DOCDIR, --version and --date or --changelog")
    page, errors = build(args.paths[0], args.version, page_date(args))
    if errors:
        for e in errors:
            print(e, file=sys.stderr)
        # No page of an earlier run stays behind to be taken for this one's.
        if args.output and os.path.exists(args.output):
            os.remove(args.output)
        return 1
    if not args.output:
        sys.stdout.write(page)
        return 0
    # Written whole or not at all.
    tmp = args.output + ".tmp"
    with open(tmp, "w", encoding="ascii") as f:
        f.write(page)
    os.replace(tmp, args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
