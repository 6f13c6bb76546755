#!/usr/bin/python3
"""An independent msgpack peer for the echo record encoding, built on Debian's python3-msgpack.

Prints "encode NAME HEX" lines (what the C++ encoder must write, byte for byte, for the values its
test builds under NAME) and "decode NAME HEX" lines (what the C++ decoder must read or refuse).
"""
import msgpack

CARD = ["node-a", 7, "DEV-1", "extra"]
ADDR = [CARD, "rtsp://node-a/echo/DEV-1"]
ADDR2 = [["node-b", 300, "dev-2", ""], ""]


def single(value):
    return msgpack.packb(value, use_single_float=True)


def array(*encoded):
    return bytes([0x90 | len(encoded)]) + b"".join(encoded)


REGION = array(single(1), single(300), single([2, 0.5, 1920, 1080]))
REGION2 = array(single(2**40), single(0), single([0.25, -1.5, 0, 0]))
STRATEGY = array(msgpack.packb(ADDR), array(REGION, REGION2))

ENCODE = {
    "card_big_id": msgpack.packb(["n", 2**64 - 1, "d", ""]),
    "rect_integral": msgpack.packb([2, 0, 1920, -3]),
    "rect_fraction": single([0.5, 1.25, 100.75, -0.5]),
    "rect_special": array(single(float("nan")), single(float("inf")), single(3e20), single(0)),
    "strategy": STRATEGY,
    "strategy_empty": msgpack.packb([[["", 0, "", ""], ""], []]),
    "addr_vector": msgpack.packb([ADDR, ADDR2]),
    "argument_addr": msgpack.packb([ADDR]),
}

DECODE = {
    "addr_card_only": msgpack.packb([CARD]),
    "rect_mixed": array(msgpack.packb(1.5), msgpack.packb(-2), msgpack.packb(3), single(4.25)),
    "region_two": msgpack.packb([1, 2]),
    "card_bin_surplus": msgpack.packb([b"node", 1, b"dev", b"x", "more", 5], use_bin_type=True),
    "strategy": STRATEGY,
    "addr_vector": msgpack.packb([ADDR, ADDR2]),
    "argument_empty": msgpack.packb([]),
    "argument_surplus": msgpack.packb([ADDR, 5, "x"]),
    "bad_region_negative_owner": msgpack.packb([-1, 2, [0, 0, 0, 0]]),
    "bad_region_rect_string": msgpack.packb([1, 2, ["1", 0, 0, 0]]),
    "bad_card_id_type": msgpack.packb(["n", "1", "d", "e"]),
    "bad_card_not_array": msgpack.packb({"n": 1}),
}

for kind, vectors in (("encode", ENCODE), ("decode", DECODE)):
    for name, data in vectors.items():
        print(kind, name, data.hex())
