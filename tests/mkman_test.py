#!/usr/bin/env python3
"""doc/mkman.py: each construct of the pages' Markdown and the roff it
becomes, the refusals of what lies outside it, and a whole page through
groff. Usage: mkman_test.py [DOCDIR] (the folder holding mkman.py)."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

DOC = sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "doc")
sys.path.insert(0, DOC)
import mkman  # noqa: E402

MKMAN = os.path.join(DOC, "mkman.py")


def roff(markdown, head=False):
    return "\n".join(mkman.render(mkman.parse(markdown, head))) + "\n"


# Markdown (after a `# T` line) and the roff fragments it must give.
CONSTRUCTS = [
    ("title", "", ['.SH T\n']),
    ("section", "## Two words\n\ntext\n", ['.SS Two words\ntext\n']),
    ("entry", "### `--format=NAME`\n\nWhat it does.\n",
     [".TP\n\\f[B]\\-\\-format=NAME\\f[R]\nWhat it does.\n"]),
    ("entry of two paragraphs", "### `-f`\n\none\n\ntwo\n", [".TP\n\\f[B]\\-f\\f[R]\none\n.IP\ntwo\n"]),
    ("paragraph", "text\n\nmore\n", ['.SH T\ntext\n.PP\nmore\n']),
    ("control characters at line starts", "a\n.b\n'c\n", ["a\n\\&.b\n\\&'c\n"]),
    ("code, bold, italic", "`x-y` **b** *i* **b `c` b**",
     ["\\f[B]x\\-y\\f[R] \\f[B]b\\f[R] \\f[I]i\\f[R] \\f[B]b c b\\f[R]"]),
    ("bold inside italic", "*i **b** i*", ["\\f[I]i \\f[BI]b\\f[I] i\\f[R]"]),
    ("code keeps quotes", "`'a'` and `\\`", ["\\f[B]\\(aqa\\(aq\\f[R] and \\f[B]\\e\\f[R]"]),
    ("escapes", "\\* \\_ \\` \\| \\\\ a\\b", ["* _ \\(ga | \\e a\\eb"]),
    ("literal stars and intra-word underscores", "2 * 3 and rom_image", ["2 * 3 and rom_image"]),
    ("every hyphen a minus, beyond ASCII escaped", "a-b --x café", ["a\\-b \\-\\-x caf\\[u00E9]"]),
    ("link to a page: its text", "see [the options](options.md#format)", ["see the options\n"]),
    ("link elsewhere: text and target", "[site](https://x.org/a-b)", ["site (https://x.org/a\\-b)"]),
    ("bullet list", "- one\n  more\n- `two`\n",
     [".RS 0\n.IP \\(bu 2\none\nmore\n.PD 0\n.IP \\(bu 2\n\\f[B]two\\f[R]\n.PD\n.RE\n"]),
    ("ordered list", "1. a\n2. b\n\n3. c\n", ['.IP "1." 3\na\n.PD 0\n.IP "2." 3\nb\n.IP "3." 3\nc\n.PD\n']),
    ("list in an entry", "### e\n\ntext\n\n- x\n\nafter\n", ["text\n.RS\n.IP \\(bu 2\nx\n.RE\n.IP\nafter\n"]),
    ("code block", "```sh\nrun -f x\n.dot\n\n  'q'\n```\n",
     ['.SH T\n.RS 4\n.nf\nrun \\-f x\n\\&.dot\n\\&\n  \\(aqq\\(aq\n.fi\n.RE\n']),
    ("code block in an entry", "### e\n\ntext\n\n```\nx\n```\n", ["text\n.IP\n.RS\n.RS 4\n.nf\nx\n.fi\n.RE\n.RE\n"]),
    ("table of two columns", "| Name | What |\n|---|:-:|\n| `vmem` | a \\| b |\n| c | d |\n",
     [".RS 0\n.TP\n\\f[B]Name\\f[R]\n\\f[B]What\\f[R]\n.PD 0\n.TP\n\\f[B]vmem\\f[R]\na | b\n.TP\nc\nd\n.PD\n.RE\n"]),
    ("table of three columns", "| A | B | C |\n|---|---|---|\n| 1 | 2 | 3 |\n| 4 | | 6 |\n",
     [".TP\n1\n\\f[I]B:\\f[R] 2\n.br\n\\f[I]C:\\f[R] 3\n.TP\n4\n\\f[I]C:\\f[R] 6\n"]),
]

# Markdown after a `# T` line (or the whole page, when it starts with `#`),
# the line refused and a part of the reason.
REFUSALS = [
    ("no title line", "text\n", 1, "starts with its `# Title`", False),
    ("a second title", "# T\n\n# U\n", 3, "once, on the first line", False),
    ("a fourth level", "#### x\n", 3, "### only", False),
    ("closing #s", "## x ##\n", 3, "closing #s", False),
    ("HTML block", "<div>x</div>\n", 3, "HTML", False),
    ("HTML inline", "a <b>x</b>\n", 3, "HTML", False),
    ("autolink", "<https://x.org>\n", 3, "HTML", False),
    ("entity", "a &amp; b\n", 3, "entities", False),
    ("comment", "<!-- c -->\n", 3, "HTML", False),
    ("the marker outside the head page", "<!-- pages -->\n", 3, "belongs in romwright.md", False),
    ("a head page without the marker", "# NAME\n\nx\n", 3, "needs the line", True),
    ("the marker twice", "# NAME\n\n<!-- pages -->\n<!-- pages -->\n", 4, "more than once", True),
    ("star bullet", "* x\n", 3, "'- ' or '1. '", False),
    ("nested list", "- a\n  - b\n", 4, "nested", False),
    ("lazy continuation", "- a\nb\n", 4, "indented by 2 or 3", False),
    ("item of two paragraphs", "- a\n\n  b\n", 5, "more than one paragraph", False),
    ("indented code", "    code\n", 3, "fence them", False),
    ("indented list", " - a\n", 3, "start at the margin", False),
    ("tilde fence", "~~~\nx\n~~~\n", 3, "```", False),
    ("fence not closed", "```\nx\n", 3, "not closed", False),
    ("fence with two words", "```sh x\nx\n```\n", 3, "one word", False),
    ("block quote", "> x\n", 3, "block quotes", False),
    ("rule", "---\n", 3, "rules", False),
    ("underlined heading", "x\n===\n", 4, "underlined", False),
    ("image", "![a](b.png)\n", 3, "images", False),
    ("reference link", "[a][b]\n", 3, "reference links", False),
    ("link definition", "[a]: http://x\n", 3, "link definitions", False),
    ("link with a title", '[a](x "t")\n', 3, "[text](target)", False),
    ("emphasis across a link", "[**a](x)**\n", 3, "crosses", False),
    ("bold not closed", "a\n**b\n", 4, "** not closed", False),
    ("code not closed", "a `b\n", 3, "` not closed", False),
    ("double backticks", "``a``\n", 3, "one backtick", False),
    ("triple stars", "***a***\n", 3, "***", False),
    ("underscore emphasis", "_a_\n", 3, "\\_", False),
    ("strikethrough", "~~a~~\n", 3, "strikethrough", False),
    ("hard line break", "a\\\nb\n", 3, "hard line break", False),
    ("other escapes", "\\#x\n", 3, "only \\*", False),
    ("tab", "a\tb\n", 3, "control character", False),
    ("table without separator", "| a |\n| b |\n", 4, "separator", False),
    ("table row of other width", "| a | b |\n|---|---|\n| c |\n", 5, "1 cells", False),
    ("table after paragraph text", "a\n| b |\n", 4, "blank line", False),
    ("carriage return", "a\r\n", 3, "carriage return", False),
]


class Constructs(unittest.TestCase):
    def test_each_construct_gives_its_roff(self):
        for name, markdown, fragments in CONSTRUCTS:
            with self.subTest(name):
                out = roff("# T\n\n" + markdown)
                for fragment in fragments:
                    self.assertIn(fragment, out)

    def test_each_refusal_names_its_line(self):
        for name, markdown, line, what, head in REFUSALS:
            with self.subTest(name):
                page = markdown if markdown.startswith("# ") or name == "no title line" else "# T\n\n" + markdown
                with self.assertRaises(mkman.Refusal) as r:
                    roff(page, head)
                self.assertEqual(r.exception.line, line, r.exception.what)
                self.assertIn(what, r.exception.what)


# A page of every construct, for the whole run through the command line.
HEAD_PAGE = """# NAME

romwright - turns firmware into images

# SYNOPSIS

`romwright -f FILE` [*options*]

<!-- pages -->

# EXAMPLES

```sh
romwright -f a.elf --format=vmem
```
"""

EVERY_CONSTRUCT = """# Every construct

Text with `code`, **bold**, *italic*, [a page](fields.md) and [a site](https://x.org).
.A line that starts with a dot.

## A section

### `--an-option=VALUE`

Its text.

- an item
  continued
- another

1. first
2. second

```
a code block
```

| Cell | Meaning |
|------|---------|
| `a` | b \\| c |

| A | B | C |
|---|---|---|
| 1 | 2 | 3 |

### An entry of one line

## Back at the margin

- a list
"""


class CommandLine(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        with open(os.path.join(self.dir, mkman.HEAD), "w") as f:
            f.write(HEAD_PAGE)
        for page in mkman.PAGES:
            with open(os.path.join(self.dir, page), "w") as f:
                f.write(EVERY_CONSTRUCT)
        self.changelog = os.path.join(self.dir, "changelog")
        with open(self.changelog, "w") as f:
            f.write("x (1.0-1) unstable; urgency=medium\n\n  * y\n\n -- A <a@b.c>  Tue, 02 Mar 2027 10:00:00 +0000\n")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def mkman(self, *args, env=None):
        return subprocess.run([sys.executable, MKMAN, *args], capture_output=True, text=True,
                              env=dict(os.environ, **(env or {})))

    def test_a_page_renders_without_a_warning_dated_by_the_changelog_or_the_epoch(self):
        out = os.path.join(self.dir, "romwright.1")
        env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
        r = subprocess.run([sys.executable, MKMAN, "--version", "1.0", "--changelog", self.changelog, "-o", out,
                            self.dir], capture_output=True, text=True, env=env)
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        with open(out) as f:
            page = f.read()
        self.assertIn('.TH ROMWRIGHT 1 "2027-03-02" "romwright 1.0" "User Commands"\n', page)
        # The pages in their order, between the head page's two halves.
        titles = [line for line in page.split("\n") if line.startswith(".SH ")]
        self.assertEqual(titles, [".SH NAME", ".SH SYNOPSIS"] + [".SH EVERY CONSTRUCT"] * len(mkman.PAGES) +
                         [".SH EXAMPLES"])
        if shutil.which("groff"):
            g = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", out], capture_output=True, text=True)
            self.assertEqual((g.returncode, g.stderr), (0, ""))
        r = self.mkman("--version", "1.0", "--changelog", self.changelog, self.dir, env={"SOURCE_DATE_EPOCH": "0"})
        self.assertIn('.TH ROMWRIGHT 1 "1970-01-01"', r.stdout)

    def test_a_page_outside_the_subset_fails_with_its_file_and_line_and_writes_nothing(self):
        bad = os.path.join(self.dir, "formats.md")
        with open(bad, "w") as f:
            f.write("# Formats\n\ntext\n#### deep\n")
        os.remove(os.path.join(self.dir, "ice40.md"))
        out = os.path.join(self.dir, "romwright.1")
        with open(out, "w") as f:
            f.write("an earlier run's page\n")
        r = self.mkman("--version", "1.0", "--date", "2027-01-01", "-o", out, self.dir)
        self.assertEqual(r.returncode, 1)
        self.assertIn(bad + ":4: headings go to ### only\n", r.stderr)
        self.assertIn(os.path.join(self.dir, "ice40.md") + ":0: cannot read", r.stderr)
        self.assertFalse(os.path.exists(out))
        r = self.mkman("--check", bad)
        self.assertEqual((r.returncode, r.stderr), (1, bad + ":4: headings go to ### only\n"))
        r = self.mkman("--check", self.dir)  # every page, doc/library.md too
        self.assertEqual(r.returncode, 1)
        self.assertIn(bad + ":4:", r.stderr)
        self.assertIn(os.path.join(self.dir, "library.md") + ":0: cannot read", r.stderr)


if __name__ == "__main__":
    unittest.main()
