#!/usr/bin/python3
"""An independent msgpack peer for the echo record encoding, built on Debian's python3-msgpack.

Prints "NAME HEX" lines: the bytes that the C++ test encodes or decodes under NAME (for names
"""
import msgpack


def single(value):
    return msgpack.packb(value, use_single_float=True)


def array(*encoded):
    return bytes([0x90 | len(encoded)]) + b"".join(encoded)


CARD = ["node-a", 7, "DEV-1", "extra"]
ADDR = [CARD, "rtsp://node-a/echo/DEV-1"]
REGIONS = array(array(single(1), single(300), single([2, 0.5, 1920, 1080])),
                array(single(2**40), single(0), single([0.25, -1.5, 0, 0])))

VECTORS = {
    "card_big_id": msgpack.packb(["n", 2**64 - 1, "d", ""]),
    "rect_integral": msgpack.packb([2, 0, 1920, -3]),
    "rect_fraction": single([0.5, 1.25, 100.75, -0.5]),
    "rect_special": array(single(float("nan")), single(float("inf")), single(3e20), single(0)),
    "strategy": array(msgpack.packb(ADDR), REGIONS),
    "strategy_empty": msgpack.packb([[["", 0, "", ""], ""], []]),
    "addr_vector": msgpack.packb([ADDR, [["node-b", 300, "dev-2", ""], ""]]),
    "argument_addr": msgpack.packb([ADDR]),
    "addr_card_only": msgpack.packb([CARD]),
    "rect_mixed": array(msgpack.packb(1.5), msgpack.packb(-2), msgpack.packb(3), single(4.25)),
    "region_two": msgpack.packb([1, 2]),
    "card_bin_surplus": msgpack.packb([b"node", 1, b"dev", b"x", "more", 5], use_bin_type=True),
    "argument_empty": msgpack.packb([]),
    "argument_surplus": msgpack.packb([ADDR, 5, "x"]),
}

for name, data in VECTORS.items():
    print(name, data.hex())
