#!/usr/bin/env python3
"""Print the 128-entry table of src/ops/vmath_tables.hpp used by the vector exp.

Entry k (0 <= k < 128) describes 2^(k/128) as a pair of 64-bit words:
  - tail: the double nearest to (2^(k/128) - H) / H, where H is the double nearest to 2^(k/128);
  - head: the bits of H minus k << 45, so that adding the integer part of the scaled argument
    shifted left by 45 bits (52 - 7) gives the bits of 2^(k/128 + integer part).
2^(k/128) is evaluated with 60 significant digits; float() of a Decimal rounds correctly.

Usage: python3 tools/exp_table.py > /tmp/table.txt   (compare with the header's table)
       python3 tools/exp_table.py --check             (exit 1 if the header differs)
"""
import decimal
import pathlib
import re
import struct
import sys

N = 128
decimal.getcontext().prec = 60


def bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def table() -> list[tuple[int, int]]:
    ln2 = decimal.Decimal(2).ln()
    rows = []
    for k in range(N):
        exact = (ln2 * k / N).exp()
        head = float(exact)
        tail = float((exact - decimal.Decimal(head)) / decimal.Decimal(head))
        rows.append((bits(tail), (bits(head) - (k << 45)) % (1 << 64)))
    return rows


def render() -> str:
    return "\n".join(f"    0x{t:016x}, 0x{h:016x}," for t, h in table())


if __name__ == "__main__":
    text = render()
    if "--check" in sys.argv:
        header = pathlib.Path(__file__).resolve().parent.parent / "src/ops/vmath_tables.hpp"
        body = re.search(r"exp_table\[\] = \{\n(.*?)\n\};", header.read_text(), re.S).group(1)
        sys.exit(0 if body == text else 1)
    print(text)
