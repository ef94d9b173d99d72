#!/usr/bin/env python3
"""Writes the hand-made seeds of receivepath_fuzzer into fuzz/corpus/ (the layout of an input is
described at the top of receivepath_fuzzer.cpp). Run again after changing a seed here; the files
are committed, so the fuzzer and the test suite need no Python."""

import os
import random
import sys

METRE, YARD, FOOT = 0, 1, 2


def read(payload, unit=METRE, silent=True, repeat=1):
    """One read: payload arriving repeat times at once; silent: the line falls silent after."""
    assert len(payload) <= 255 and 1 <= repeat <= 32
    control = unit | (4 if silent else 0) | ((repeat - 1) << 3)
    return bytes([control, len(payload)]) + payload


def reads_of(data, unit=METRE):
    """data in reads of at most 255 bytes, the line silent only after the last."""
    chunks = [data[i:i + 255] for i in range(0, len(data), 255)] or [b""]
    return [read(c, unit, silent=(i == len(chunks) - 1)) for i, c in enumerate(chunks)]


def seed(reads=(), stream=None, stream_unit=METRE):
    body = b"".join(reads)
    tail = b"" if stream is None else bytes([stream_unit]) + stream
    return len(body).to_bytes(2, "big") + body + tail


h = bytes.fromhex
REPLY = h("55AA88010000B23B")  # 17.8 m
FAILED = h("55AA880000006468")
FAILED_ZERO = h("55AA880000000088")
ZERO = h("55AA880100000089")
MAX = h("55AA880100FFFF87")
rng = random.Random(6)


def noise(n):
    return bytes(rng.randrange(256) for _ in range(n))


seeds = {
    "reply-metre": seed([read(REPLY)]),
    "reply-yard": seed([read(REPLY, YARD)]),
    "reply-foot": seed([read(REPLY, FOOT)]),
    "reply-seven-bytes": seed([read(h("55AA8801000064"))]),
    "residue-kept": seed([read(REPLY[:6])]),
    "residue-joins-next-burst": seed([read(REPLY[:3]), read(REPLY[3:])]),
    "reply-in-single-bytes": seed([read(REPLY[i:i + 1], silent=(i == 7)) for i in range(8)]),
    "two-replies-one-burst": seed([read(h("55AA880100000A93") + REPLY, FOOT)]),
    "failure": seed([read(FAILED)]),
    "failure-zero-distance": seed([read(FAILED_ZERO)]),
    "zero-distance-then-reply": seed([read(ZERO), read(REPLY, YARD)]),
    "max-distance-foot": seed([read(MAX, FOOT), read(MAX, YARD), read(MAX)]),
    "noise-between-replies": seed([read(REPLY), read(noise(3)), read(REPLY), read(noise(40))]),
    "empty-reads": seed([read(b""), read(b"", silent=False), read(REPLY[:2], silent=False)]),
    # 32 x 128 bytes: exactly the limit, still waiting for silence; one more byte is too long.
    "burst-at-limit": seed([read(REPLY * 16, repeat=32)]),
    "burst-over-limit-by-one": seed([read(REPLY * 16, silent=False, repeat=32),
                                     read(b"\x01", silent=False), read(REPLY)]),
    "burst-over-limit-one-read": seed([read(noise(255), FOOT, silent=False, repeat=32)]),
    "burst-over-limit-many-reads": seed(reads_of(REPLY * 600, YARD)),
    "noise-bursts": seed([read(noise(n), n % 3, silent=n % 2 == 0) for n in (5, 9, 1, 30, 6)]),
    "stream-replies": seed(stream=REPLY[:7] + h("55AA88010000C8") + FAILED[:7] + ZERO[:7]),
    "stream-55-in-distance": seed(stream=h("55AA8801005555") + h("55AA880100B255"),
                                  stream_unit=FOOT),
    "stream-no-start-byte": seed(stream=h("01020304050607AA"), stream_unit=YARD),
    "stream-noise": seed(stream=noise(200) + b"\x55" * 5 + noise(50)),
    "bursts-then-stream": seed([read(REPLY[:5]), read(REPLY)], stream=MAX[:7] + REPLY[:4],
                               stream_unit=YARD),
    # Under one metre: the leading zero is not a significant digit (0.546807 yd).
    "distance-under-a-metre": seed([read(h("55AA880100000590"), YARD), read(h("55AA880100000995"))],
                                   stream=h("55AA8801000001") + h("55AA8801000009"),
                                   stream_unit=FOOT),
    "stream-failure-foot": seed([read(REPLY)], stream=FAILED[:7] + FAILED_ZERO[:7],
                                stream_unit=FOOT),
    "stream-unit-only": seed([read(REPLY[:4])], stream=b""),
    # A reply is read from its start byte: a stray byte before it, in a burst of its own or in
    # the reply's, is dropped, and a burst without a start byte logs nothing.
    "stray-byte-then-reply": seed([read(b"\xB2"), read(h("550000010000B2"))]),
    "stray-byte-in-reply-burst": seed([read(h("B2550000010000B2"))]),
    "no-start-byte": seed([read(h("0102030405060708090A"))]),
    "start-of-reply-then-reply": seed([read(h("550000")), read(h("550000010000B2"))]),
    "reply-split-three-four": seed([read(h("550000")), read(h("010000B2"))]),
    # Replies of two commands sent close together reach the window as one burst; each is shown.
    "checksum-55-then-reply": seed([read(h("55AA88010000CC55") + REPLY)]),
    "reply-noise-reply": seed([read(REPLY + h("0102AA") + MAX, YARD)]),
    "three-replies-third-cut": seed([read(REPLY + MAX + FAILED[:4]), read(FAILED[4:])]),
    "seven-bytes-then-reply": seed([read(REPLY[:7] + REPLY + REPLY[:7], FOOT)]),
    # A late check byte that is 0x55 (20.4 m) waits in front of the next reply, whose start it
    # is not; noise kept or behind a reply is no reply; a burst with no delimited reply is read
    # from its first 0x55.
    "late-check-byte-55": seed([read(h("55AA88010000CC")), read(b"\x55"),
                                read(h("55AA88010000CC")), read(b"\x55" + h("55AA88010000CC55"))]),
    "noise-residue-then-reply": seed([read(REPLY + h("551234")), read(REPLY, FOOT)]),
    "noise-start-bytes-behind-reply": seed([read(REPLY + h("5501020304050607") * 20, YARD)]),
    "seven-bytes-stray-byte": seed([read(h("550000010000B207"))]),
    # A 0x55 in noise 7 bytes on from another delimits it only when it starts a reply itself.
    "noise-55-chain": seed([read(REPLY + h("55010203040506") * 3 + h("07")),
                            read(REPLY + h("55010203040506") + REPLY[:7] + REPLY)]),
    "truncated-read": h("00100C40") + REPLY,
    "tiny": b"\x00",
}

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
os.makedirs(out, exist_ok=True)
# Files of other names (inputs a fuzz run found, kept by hand) are left alone.
for name, data in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
print(f"{len(seeds)} seeds in {out}", file=sys.stderr)
