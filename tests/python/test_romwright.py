"""The Python module against the command line: the same bytes for the same
options, its words, its errors, and no signal handler of its own."""
import os
import signal
import subprocess
import sys
import textwrap

import pytest

import romwright

TESTDATA = os.environ["ROMWRIGHT_TESTDATA"]
TOOL = os.environ["ROMWRIGHT_BIN"]
ELF = os.path.join(TESTDATA, "romcopy-riscv.elf")


def tool(*args, cwd=None):
    """The command line's standard output for `args`."""
    done = subprocess.run([TOOL, *args], cwd=cwd, capture_output=True, check=True)
    return done.stdout


@pytest.mark.parametrize(
    "keywords, args",
    [
        (dict(format="vmem"), ["--format=vmem"]),
        (dict(format="vmem", width=16, byte_order="big", fill=0xFF, region="0:256", crop=True),
         ["--format=vmem", "--width=16", "--byte-order=big", "--fill=0xff", "--region=0:256", "--crop"]),
        (dict(format="ihex", record_bytes=32), ["--format=ihex", "--record-bytes=32"]),
        (dict(format="srec", sparse=True, addresses="run", region="0x80000000:256", crop=True),
         ["--format=srec", "--sparse", "--addresses=run", "--region=0x80000000:256", "--crop"]),
        (dict(format="bin", insert=["crc32@0x10", "sum8@0x20"], region="0:64", crop=True),
         ["--format=bin", "--insert=crc32@0x10", "--insert=sum8@0x20", "--region=0:64", "--crop"]),
        (dict(format="c", name="boot", width=32), ["--format=c", "--name=boot", "--width=32"]),
    ],
)
def test_render_gives_the_command_lines_bytes(keywords, args):
    assert romwright.render(ELF, **keywords) == tool("-f", ELF, *args)


def test_render_takes_the_input_as_bytes_and_picks_a_lane():
    with open(ELF, "rb") as f:
        data = f.read()
    whole = romwright.render(data, format="bin", region="0:64", crop=True)
    lane1 = romwright.render(data, format="bin", region="0:64", crop=True, width=16, lanes=2, lane=1)
    assert lane1 == whole[1::2]


def test_words_are_the_memorys_words():
    words = romwright.words(ELF, format="vmem", width=32)
    assert words == [int(line, 16) for line in tool("-f", ELF, "--format=vmem").split()]
    wide = romwright.words(ELF, format="vmem", width=128)
    assert wide == [int(line, 16) for line in tool("-f", ELF, "--format=vmem", "--width=128").split()]


def test_read_gives_the_segments():
    img = romwright.read(ELF)
    assert img.byte_order == "little"
    assert img.has_entry
    assert img.segments and all(isinstance(s.data, bytes) for s in img.segments)
    first = img.segments[0]
    assert first.address == 0 and len(first.data) <= first.size
    with open(ELF, "rb") as f:
        assert romwright.read(f.read()).entry == img.entry


@pytest.mark.parametrize(
    "call, kind, subject, errno, message",
    [
        (lambda: romwright.render(ELF, format="vmem", widht=8), "bad_argument", "--widht", 0,
         "unrecognized option '--widht'"),
        (lambda: romwright.render(ELF, format="vmem", width=12), "bad_argument", "--width", 0,
         "--width=12: not a word width: a multiple of 8 from 8 to 1024"),
        (lambda: romwright.render("/nonexistent.elf", format="bin"), "unreadable", "/nonexistent.elf", 2,
         "unable to open /nonexistent.elf: No such file or directory"),
        (lambda: romwright.read(b"not an executable"), "malformed", "input", 0, None),
        (lambda: romwright.build(["-f", ELF, "--format=bin", "--output=/dev/full"]), "io", "/dev/full", 28,
         "Unable to write image file /dev/full: No space left on device"),
    ],
)
def test_failures_raise_romwright_error(call, kind, subject, errno, message):
    with pytest.raises(romwright.Error) as caught:
        call()
    assert (caught.value.kind, caught.value.subject, caught.value.errno) == (kind, subject, errno)
    if message is not None:
        assert str(caught.value) == message


def test_build_runs_a_command_line(tmp_path):
    out = tmp_path / "image.vmem"
    assert romwright.build(["-f", ELF, "--format=vmem", "--output=" + str(out)]) is None
    assert out.read_bytes() == tool("-f", ELF, "--format=vmem")
    assert not [p for p in os.listdir(tmp_path) if p.startswith(".rw")]


def test_ctrl_c_raises_keyboard_interrupt_after_a_call():
    # A handler of the library's own would end the process by the signal
    # instead of raising KeyboardInterrupt.
    script = textwrap.dedent(f"""
        import os, signal, time, romwright
        romwright.render({ELF!r}, format="vmem")
        romwright.build(["-f", {ELF!r}, "--format=bin", "--output=/dev/null"])
        assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
        try:
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(5)
        except KeyboardInterrupt:
            print("interrupted")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=30,
                          env=dict(os.environ))
    assert done.returncode == 0, done.stderr
    assert done.stdout == "interrupted\n"
