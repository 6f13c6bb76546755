#!/usr/bin/python3
"""An independent msgpack peer for the echo record encoding, built on Debian's python3-msgpack.

  msgpack_peer.py emit         prints "name hex" lines that the C++ decoder must read
  msgpack_peer.py check FILE   reads "name hex" lines written by the C++ encoder and compares them
                               byte for byte with what this peer writes for the same values
"""
import sys

import msgpack

CARD = ["node-a", 7, "DEV-1", "extra"]
URL = "rtsp://node-a/echo/DEV-1"
ADDR = [CARD, URL]
ADDR2 = [["node-b", 300, "dev-2", ""], ""]


def single(value):
    return msgpack.packb(value, use_single_float=True)


def array(*encoded):
    assert len(encoded) < 16
    return bytes([0x90 | len(encoded)]) + b"".join(encoded)


REGION = array(single(1), single(300), single([2, 0.5, 1920, 1080]))
REGION2 = array(single(2**40), single(0), single([0.25, -1.5, 0, 0]))

# What the C++ encoder must produce for the values the C++ test builds under the same names.
EXPECTED = {
    "card": msgpack.packb(CARD),
    "card_big_id": msgpack.packb(["n", 2**64 - 1, "d", ""]),
    "addr": msgpack.packb(ADDR),
    "rect_integral": msgpack.packb([2, 0, 1920, -3]),
    "rect_fraction": single([0.5, 1.25, 100.75, -0.5]),
    "region": REGION,
    "strategy": array(msgpack.packb(ADDR), array(REGION, REGION2)),
    "strategy_empty": msgpack.packb([[["", 0, "", ""], ""], []]),
    "addr_vector": msgpack.packb([ADDR, ADDR2]),
    "argument_addr": msgpack.packb([ADDR]),
}

# What the C++ decoder must read (its test knows the expected values or the expected error).
EMITTED = {
    "addr_card_only": msgpack.packb([CARD]),
    "rect_ints": msgpack.packb([2, 3, 4, 5]),
    "rect_mixed": array(msgpack.packb(1.5), msgpack.packb(-2), msgpack.packb(3), single(4.25)),
    "region_two": msgpack.packb([1, 2]),
    "region_negative_owner": msgpack.packb([-1, 2, [0, 0, 0, 0]]),
    "card_bin_strings": msgpack.packb([b"node", 1, b"dev", b"x"], use_bin_type=True),
    "card_surplus": msgpack.packb(["n", 1, "d", "e", "more", 5]),
    "card_wrong_id_type": msgpack.packb(["n", "1", "d", "e"]),
    "card_not_array": msgpack.packb({"n": 1}),
    "rect_string": msgpack.packb(["1", 0, 0, 0]),
    "strategy": array(msgpack.packb(ADDR), array(REGION, REGION2)),
    "addr_vector": msgpack.packb([ADDR, ADDR2]),
    "argument_empty": msgpack.packb([]),
    "argument_surplus": msgpack.packb([ADDR, 5, "x"]),
}


def emit():
    for name, data in EMITTED.items():
        print(name, data.hex())


def check(path):
    seen = {}
    with open(path) as lines:
        for line in lines:
            name, _, hexed = line.strip().partition(" ")
            seen[name] = bytes.fromhex(hexed)
    failures = 0
    for name, expected in EXPECTED.items():
        got = seen.get(name)
        if got != expected:
            failures += 1
            print(f"{name}: expected {expected.hex()} got {got.hex() if got else None}")
        else:
            # The peer must also read back what the encoder wrote.
            msgpack.unpackb(got, strict_map_key=False)
    for name in seen:
        if name not in EXPECTED:
            failures += 1
            print(f"{name}: unknown vector")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) == 2 and sys.argv[1] == "emit":
        emit()
        sys.exit(0)
    if len(sys.argv) == 3 and sys.argv[1] == "check":
        sys.exit(check(sys.argv[2]))
    print(__doc__, file=sys.stderr)
    sys.exit(2)
