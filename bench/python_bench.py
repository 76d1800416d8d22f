"""Times the Python module: render of a memory image (the median of several
calls), and words of it as a list of ints. Prints "render MS" and "words MS"
for bench/run.sh. Usage: python_bench.py ELF CALLS KEY=VALUE..."""
import sys
import time

import romwright


def median_ms(call, calls):
    call()
    times = []
    for _ in range(calls):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    times.sort()
    return times[len(times) // 2] * 1000


elf, calls = sys.argv[1], int(sys.argv[2])
options = dict(arg.split("=", 1) for arg in sys.argv[3:])
print("render %.3f" % median_ms(lambda: romwright.render(elf, **options), calls))
print("words %.3f" % median_ms(lambda: romwright.words(elf, **options), max(1, calls // 4)))
