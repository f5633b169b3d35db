"""The general encoding, written and read in plain Python, for tests that
build images by hand or inspect the ones the module writes."""

import struct


def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def zigzag(n, bits=64):
    return varint(((n << 1) ^ (n >> (bits - 1))) & ((1 << bits) - 1))


def f64(x):
    return struct.pack("<d", x)


def boolean(b):
    return b"\x01" if b else b"\x00"


def string(s):
    data = s.encode()
    return varint(len(data)) + data


def option(value, encode):
    return b"\x00" if value is None else b"\x01" + encode(value)


def sequence(items, encode):
    return varint(len(items)) + b"".join(encode(x) for x in items)


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def u8(self):
        self.pos += 1
        return self.data[self.pos - 1]

    def varint(self):
        value = shift = 0
        while True:
            byte = self.u8()
            value |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                return value

    def zigzag(self):
        n = self.varint()
        return (n >> 1) ^ -(n & 1)

    def f64(self):
        self.pos += 8
        return struct.unpack_from("<d", self.data, self.pos - 8)[0]

    def boolean(self):
        return self.u8() == 1

    def string(self):
        n = self.varint()
        self.pos += n
        return self.data[self.pos - n:self.pos].decode()

    def option(self, read):
        return read() if self.u8() else None

    def sequence(self, read):
        return [read() for _ in range(self.varint())]
