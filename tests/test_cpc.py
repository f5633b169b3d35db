"""CpcSketch: flavors, estimates, the exact image format (checked against an
independent decoder and encoder written here from the format rules), union,
the generated code tables, and a decoder that refuses damaged images."""

import math
import pathlib
import re
import shutil
import struct
import subprocess

import pytest
import xxhash

import quillo

ROOT = pathlib.Path(__file__).resolve().parent.parent
SRC = ROOT / "src" / "cpc"
HEADER = struct.Struct("<2sBBBBIBBBddII")  # preamble, lg_k .. pair count

COLUMN_CODES = [
    (0, 1), (1, 2), (3, 3), (7, 4), (15, 5), (31, 7), (95, 8), (223, 8), (63, 10), (575, 10), (319, 11),
    (1343, 12), (3391, 12), (831, 12), (2879, 12), (1855, 12), (3903, 12), (191, 12), (2239, 12), (1215, 12),
    (3263, 12), (703, 12), (2751, 12), (1727, 12), (3775, 12), (447, 12), (2495, 12), (1471, 12), (3519, 12),
    (959, 12), (3007, 12), (1983, 12), (4031, 12), (127, 12), (2175, 12), (1151, 12), (3199, 12), (639, 12),
    (2687, 12), (1663, 12), (3711, 12), (383, 12), (2431, 12), (1407, 12), (3455, 12), (895, 12), (2943, 12),
    (1919, 12), (3967, 12), (255, 12), (2303, 12), (1279, 12), (3327, 12), (767, 12), (2815, 12), (1791, 12),
    (3839, 12), (511, 12), (2559, 12), (1535, 12), (3583, 12), (1023, 12), (3071, 12), (2047, 12), (4095, 12),
]
TAILS = [(34, 14, 4), (35, 15, 4), (37, 16, 5), (39, 17, 5), (41, 18, 6), (43, 19, 6), (45, 20, 7, 0),
         (47, 21, 7, 0), (50, 22, 8, 0), (52, 23, 9, 1), (25, 9, 1), (26, 10, 1), (27, 11, 2), (29, 11, 2),
         (30, 12, 3), (32, 13, 3)]
PERMUTATIONS = [[v for v in range(56) if v not in tail] + list(tail) for tail in TAILS]


def load_byte_codes():
    text = (SRC / "byte_code_tables.cpp").read_text()
    tables = []
    for block in re.split(r"// phase \d+", text)[1:]:
        values = [int(v) for v in re.findall(r"\b\d+\b", block.split("}}")[0])]
        tables.append([(v & 0xFFF, v >> 12) for v in values])
    return tables


BYTE_CODES = load_byte_codes()


def pair_of(item, lg_k):
    h = xxhash.xxh3_128_intdigest(item.encode(), seed=9001)  # row from the low half, column from the high
    return (h & ((1 << lg_k) - 1)) << 6 | min(63, 64 - (h >> 64).bit_length())


def flavor(c, k):
    tests = (("Empty", c == 0), ("Sparse", 32 * c < 3 * k), ("Hybrid", 2 * c < k), ("Pinned", 8 * c < 27 * k))
    return next((name for name, below in tests if below), "Sliding")


def offset_for(c, k):
    return 0 if 8 * c < 27 * k else (8 * c - 19 * k) // (8 * k)


def phase(c, lg_k):
    k = 1 << lg_k
    if 1000 * c >= 2375 * k:
        return (c >> (lg_k - 4)) & 15
    limits = ((3 / 4, 16), (11 / 10, 17), (132 / 100, 18), (5 / 3, 19), (1965 / 1000, 20), (2275 / 1000, 21))
    return next((p for limit, p in limits if c < limit * k), 6)


def to_words(pieces, padding):
    """Packs (code, length) pieces from the low bit up into 32-bit words."""
    value = bits = 0
    for code, length in pieces:
        value, bits = value | code << bits, bits + length
    return [(value >> (32 * i)) & 0xFFFFFFFF for i in range((bits + padding + 31) // 32)]


class BitReader:
    def __init__(self, words):
        self.value, self.pos, self.end = sum(w << (32 * i) for i, w in enumerate(words)), 0, 32 * len(words)

    def take(self, n):
        assert self.pos + n <= self.end, "stream ended"
        self.pos += n
        return (self.value >> (self.pos - n)) & ((1 << n) - 1)

    def symbol(self, codes):
        s = next(s for s, (code, length) in enumerate(codes) if (self.value >> self.pos) & ((1 << length) - 1) == code)
        self.take(codes[s][1])
        return s


def base_bits(n, k):
    return max(k // n, 1).bit_length() - 1


def encode_pairs(pairs, k):
    b, pieces, row, col = base_bits(len(pairs), k), [], 0, 0
    for pair in pairs:
        r, c = pair >> 6, pair & 63
        col, y = 0 if r != row else col, r - row
        # 16-zero blocks are the same bits as a unary prefix
        pieces += [COLUMN_CODES[c - col], (1 << (y >> b), (y >> b) + 1), (y & ((1 << b) - 1), b)]
        row, col = r, c + 1
    return to_words(pieces, 10 - b if b < 10 else 0)


def decode_pairs(words, n, k):
    b = base_bits(n, k)
    reader, pairs, row, col = BitReader(words), [], 0, 0
    for _ in range(n):
        dx, zeros = reader.symbol(COLUMN_CODES), 0
        while reader.take(1) == 0:
            zeros += 1
        dy = zeros << b | reader.take(b)
        if dy:
            row, col = row + dy, 0
        pairs.append(row << 6 | (col + dx))
        col += dx + 1
    return pairs


def parse(image):
    """The image fields and the set of matrix bits, decoded independently."""
    (magic, family, version, flags, lg_k, c, flc, wo, merged, novelty, hip, w1, npairs) = HEADER.unpack_from(image)
    assert (magic, family, version, flags) == (b"SK", 6, 2, 0)
    at = HEADER.size
    pair_words = list(struct.unpack_from(f"<{w1}I", image, at))
    (w2,) = struct.unpack_from("<I", image, at + 4 * w1)
    window_words = list(struct.unpack_from(f"<{w2}I", image, at + 4 * w1 + 4))
    assert len(image) == at + 4 * w1 + 4 + 4 * w2
    k, fl, ph = 1 << lg_k, flavor(c, 1 << lg_k), phase(c, lg_k)
    coded = decode_pairs(pair_words, npairs, k) if npairs else []
    assert coded == sorted(coded) and (not coded or encode_pairs(coded, k) == pair_words)
    bits = set(coded)
    if fl in ("Pinned", "Sliding"):
        reader = BitReader(window_words)
        window = [reader.symbol(BYTE_CODES[ph]) for _ in range(k)]
        assert to_words([BYTE_CODES[ph][byte] for byte in window], 11) == window_words
        bits = {r << 6 | (wo + j) for r, byte in enumerate(window) for j in range(8) if byte >> j & 1}
        bits |= {r << 6 | col for r in range(k) for col in range(wo)}
        for pair in coded:
            col = pair & 63
            col = col + 8 if fl == "Pinned" else (PERMUTATIONS[ph].index(col) + wo + 8) & 63
            bits ^= {pair & ~63 | col}
    else:
        assert w2 == 0
    fields = dict(lg_k=lg_k, c=c, flc=flc, wo=wo, merged=merged, novelty=novelty, hip=hip, npairs=npairs,
                  w1=w1, w2=w2, flavor=fl)
    return fields, bits


def fed(lg_k, items):
    s = quillo.CpcSketch(lg_k)
    for item in items:
        s.update(item)
    return s


def items(n, tag="i"):
    return [f"{tag}{i}" for i in range(n)]


def test_construction_and_fresh_image():
    assert [quillo.CpcSketch(lg_k).to_bytes()[5] for lg_k in (None, 4, 26)] == [11, 4, 26]
    for lg_k in (0, 3, 27, 255):
        with pytest.raises(ValueError, match=f"^lg_k must be in 4..=26, got {lg_k}$"):
            quillo.CpcSketch(lg_k)
    with pytest.raises(OverflowError):
        quillo.CpcSketch(256)
    with pytest.raises(TypeError):
        quillo.CpcSketch(11).update(b"bytes")
    expected = b"SK\x06\x02\x00\x0b" + bytes(7) + struct.pack("<dd", 2048.0, 0.0) + bytes(12)
    assert quillo.CpcSketch().to_bytes() == expected and len(expected) == 41


def test_first_items_and_duplicates():
    assert [fed(11, ["a"] * n).estimate() for n in (0, 1, 4)] == [0.0, 1.0, 1.0]
    assert fed(11, items(5000) * 2).estimate() == fed(11, items(5000)).estimate()


@pytest.mark.parametrize("lg_k,n", [(11, 300), (11, 50_000), (8, 20_000), (14, 30_000)])
def test_hip_accuracy(lg_k, n):
    assert fed(lg_k, items(n)).estimate() == pytest.approx(n, rel=5 * 0.6 / (1 << lg_k) ** 0.5)


class TestFlavorsAndImage:
    def test_flavor_boundaries_at_lg_k_11(self):
        s, seen, marks = quillo.CpcSketch(11), set(), {}
        for item in items(30_000):
            s.update(item)
            seen.add(pair_of(item, 11))
            if len(seen) in (191, 192, 1023, 1024, 6911, 6912) and len(seen) not in marks:
                marks[len(seen)] = parse(s.to_bytes())[0]
        assert all(fields["c"] == c for c, fields in marks.items())
        assert marks[192]["npairs"] == 192 and marks[192]["w2"] == marks[1023]["w2"] == 0 < marks[1024]["w2"]
        assert (marks[6911]["wo"], marks[6912]["wo"]) == (0, 1)

    @pytest.mark.parametrize("lg_k", [4, 6, 9])
    def test_images_describe_exactly_the_coupons_seen(self, lg_k):
        s, seen, flavors = quillo.CpcSketch(lg_k), set(), set()
        stream = items(60_000 if lg_k < 9 else 40_000)
        checkpoints = {int(1.25**e) for e in range(60)}
        for n, item in enumerate(stream, 1):
            s.update(item)
            seen.add(pair_of(item, lg_k))
            if n not in checkpoints and n != len(stream):
                continue
            image = s.to_bytes()
            fields, bits = parse(image)
            assert (fields["c"], bits, fields["wo"]) == (len(seen), seen, offset_for(len(seen), 1 << lg_k))
            assert fields["flc"] <= fields["wo"]
            flavors.add(fields["flavor"])
            copy = quillo.CpcSketch.from_bytes(image)
            assert copy.to_bytes() == image and copy.estimate() == s.estimate()
        assert flavors == {"Sparse", "Hybrid", "Pinned", "Sliding"}

    def test_long_row_gaps_and_shared_rows_decode_and_reencode(self):
        # 100 pairs give 4 base bits; the gap of 2000 rows needs 7 blocks of 16 zeros.
        pairs = sorted({r << 6 | c for r in (0, 3, 2003) for c in range(0, 64, 2)} | {2047 << 6 | 63, 2040 << 6})
        words = encode_pairs(pairs, 2048)
        image = (b"SK\x06\x02\x00\x0b" + struct.pack("<IBBBddII", len(pairs), 0, 0, 0, 2048.0, 0.0, len(words),
                 len(pairs)) + struct.pack(f"<{len(words)}I", *words) + bytes(4))
        s = quillo.CpcSketch.from_bytes(image)
        assert s.to_bytes() == image
        s.update("more")
        assert parse(s.to_bytes())[1] == set(pairs) | {pair_of("more", 11)}

    def test_decoded_sketch_keeps_updating_like_the_original(self):
        for n in (3, 30, 300, 3000, 30000):
            copy = quillo.CpcSketch.from_bytes(fed(8, items(n)).to_bytes())
            for item in items(3000, "more"):
                copy.update(item)
            assert copy.to_bytes() == fed(8, items(n) + items(3000, "more")).to_bytes()

    def test_images_smaller_than_a_byte_per_row(self):
        image = fed(11, items(200_000)).to_bytes()
        assert parse(image)[0]["flavor"] == "Sliding" and len(image) < 2048 * 0.7


class TestMerge:
    def test_fresh_operands_and_a_single_coupon(self):
        a = quillo.CpcSketch(11)
        a.merge(quillo.CpcSketch(11))
        assert a.to_bytes() == quillo.CpcSketch(11).to_bytes() and a.estimate() == 0.0
        a.merge(fed(11, ["only"]))
        assert a.to_bytes()[12] == 1 and a.estimate() == 1.0

    @pytest.mark.parametrize("n", [40, 150, 2000, 20_000])
    def test_union_matches_the_sketch_of_both_streams(self, n):
        left, right = items(n, "a") + items(n // 2, "c"), items(n, "b") + items(n // 2, "c")
        a, whole = fed(10, left), parse(fed(10, left + right).to_bytes())
        a.merge(fed(10, right))
        merged, bits = parse(a.to_bytes())
        assert bits == whole[1] and (merged["c"], merged["merged"]) == (whole[0]["c"], 1)
        assert a.to_bytes()[29:] == fed(10, left + right).to_bytes()[29:]
        assert a.estimate() == pytest.approx(len(set(left + right)), rel=0.1)
        assert quillo.CpcSketch.from_bytes(a.to_bytes()).estimate() == a.estimate()

    @pytest.mark.parametrize("sizes", [(30, 20), (5000, 10), (10, 5000), (5000, 8000)])
    def test_union_folds_to_the_smaller_lg_k(self, sizes):
        left, right = items(sizes[0], "a"), items(sizes[1], "b")
        expected = {(p >> 6 & 1023) << 6 | p & 63 for p in (pair_of(x, 12) for x in left + right)}
        for first, second in ((12, 10), (10, 12)):
            a = fed(first, left)
            a.merge(fed(second, right))
            fields, bits = parse(a.to_bytes())
            assert (fields["lg_k"], fields["c"], bits) == (10, len(expected), expected)

    def test_merged_estimate_is_unbiased(self):
        for n in (300, 3000, 30_000):
            error = 0.0
            for trial in range(40):
                s = quillo.CpcSketch(9)
                s.merge(fed(9, items(n, f"t{trial}-")))
                error += s.estimate() / n - 1
            assert abs(error / 40) < 0.015


def test_byte_codes_are_complete_prefix_codes():
    assert len(BYTE_CODES) == 22
    for table in BYTE_CODES:
        assert len(table) == 256
        assert all(1 <= length <= 12 and code < (1 << length) for code, length in table)
        assert sum(2.0 ** -length for _, length in table) == 1.0
        lows = {}
        for code, length in table:
            for high in range(1 << (12 - length)):
                assert lows.setdefault(high << length | code, code) == code


@pytest.mark.skipif(shutil.which("g++") is None or not (ROOT / "tools").is_dir(),
                    reason="needs the source tree and a C++ compiler")
def test_byte_codes_regenerate_exactly(tmp_path):
    tool = tmp_path / "gen_cpc_byte_codes"
    subprocess.run(["g++", "-O2", "-std=c++20", "-o", str(tool), str(ROOT / "tools" / "gen_cpc_byte_codes.cpp")],
                   check=True, capture_output=True)
    generated = subprocess.run([str(tool)], check=True, capture_output=True).stdout
    assert generated == (SRC / "byte_code_tables.cpp").read_bytes()


def test_coefficients_follow_the_quoted_rows():
    text = (SRC / "coupon_coefficients.cpp").read_text()
    rows = {int(m[0]): [float(v) for v in m[1].replace(",", " ").split()]
            for m in re.findall(r"// lg_k (\d+)\n((?:\s+[-\d.e+]+,)+)", text)}
    assert sorted(rows) == list(range(4, 27)) and all(len(r) == 20 for r in rows.values())
    for lg_k, i, value, tolerance in [(11, 0, 0.999918602079615, 1e-5), (11, 1, 0.333324905457436, 1e-3),
                                      (4, 0, 0.98950279718897, 1e-4), (4, 1, 0.331949664464518, 2e-3)]:
        assert rows[lg_k][i] == pytest.approx(value, abs=tolerance)


def test_truncated_and_extended_images():
    for image in [fed(6, items(n)).to_bytes() for n in (0, 1, 5, 40, 300, 3000, 30_000)] + [
            fed(11, items(2500)).to_bytes()]:
        for cut in range(len(image)):
            with pytest.raises(ValueError, match="^insufficient data: needed 0 bytes, have 0$"):
                quillo.CpcSketch.from_bytes(image[:cut])
        assert quillo.CpcSketch.from_bytes(image + b"\x01\x02\x03").to_bytes() == image
    with pytest.raises(ValueError, match="^corrupt data: wrong sketch family: expected Cpc, found Hll$"):
        quillo.CpcSketch.from_bytes(quillo.HllSketch(8).to_bytes())


@pytest.mark.parametrize("offset,value", [(5, 3), (5, 27), (6, 0xFFFFFFFF), (11, 9), (10, 5), (33, 10**6)])
def test_inconsistent_fields_are_refused(offset, value):
    image = bytearray(fed(6, items(3000)).to_bytes())
    size = 4 if offset in (6, 33) else 1
    image[offset:offset + size] = value.to_bytes(size, "little")
    with pytest.raises(ValueError, match="^corrupt data: CpcSketch image "):
        quillo.CpcSketch.from_bytes(bytes(image))


@pytest.mark.parametrize("offset,value", [(13, math.nan), (13, -1.0), (13, 0.0), (13, 1e-300), (13, 64.0 + 1e-9),
                                          (21, math.nan), (21, -0.5), (21, math.inf)])
def test_estimator_fields_no_update_makes_are_refused(offset, value):
    # novelty_mass (13) must lie between 2^-64 per unset bit and k; the running estimate (21) is finite and >= 0
    image = bytearray(fed(6, items(300)).to_bytes())
    image[offset:offset + 8] = struct.pack("<d", value)
    with pytest.raises(ValueError, match="^corrupt data: CpcSketch image has an impossible "):
        quillo.CpcSketch.from_bytes(bytes(image))


def test_updates_after_a_decoded_novelty_mass_too_small_for_its_matrix_keep_the_image_decodable():
    # An accepted image whose running mass is below what its empty matrix holds:
    # each new coupon would take the mass negative without the floor.
    image = (pathlib.Path(__file__).parent / "data" / "fuzz" / "CpcSketch" /
             "novelty-mass-below-its-matrix.bin").read_bytes()
    for updates in (1, 40, 3000):
        sketch = quillo.CpcSketch.from_bytes(image)
        for i in range(updates):
            sketch.update(f"item-{i}")
        assert 0.0 <= sketch.estimate() < float("inf")
        assert quillo.CpcSketch.from_bytes(sketch.to_bytes()).to_bytes() == sketch.to_bytes()
