"""HllSketchMode and HllUnion: mode changes, exact small counts, unions across
precisions and the union's image."""

import math
import pickle
import re

import pytest
import xxhash

import quillo

SEED = 9001
LIST, SET, HLL = 0, 1, 2


def coupon(item, lg_k):
    h = xxhash.xxh3_64_intdigest(item.encode(), seed=SEED)
    w = (h << lg_k) & (2**64 - 1)
    zeros = 64 - w.bit_length()
    return h >> (64 - lg_k), 1 + min(zeros, 62)


def slot_values(items, lg_k):
    """Exact register contents: slot -> largest value."""
    best = {}
    for item in items:
        slot, value = coupon(item, lg_k)
        best[slot] = max(best.get(slot, 0), value)
    return best


def distinct_slot_items(count, lg_k, prefix="d"):
    """Items that fall into `count` different slots."""
    items, seen, i = [], set(), 0
    while len(items) < count:
        item = f"{prefix}{i}"
        slot = coupon(item, lg_k)[0]
        if slot not in seen:
            seen.add(slot)
            items.append(item)
        i += 1
    return items


def varint(data, pos):
    value = shift = 0
    while True:
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, pos


def encode_varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def parse(image):
    """(lg_max_k, lg_k, mode, payload) of a union image; the payload is the
    coupon list, or (registers, out_of_order) in HLL mode."""
    lg_max_k, lg_k = image[0], image[1]
    mode, pos = varint(image, 2)
    if mode == HLL:
        assert image[pos] == lg_k
        n, pos = varint(image, pos + 1)
        registers = list(image[pos:pos + n])
        return lg_max_k, lg_k, mode, (registers, image[pos + n + 24] == 1)
    n, pos = varint(image, pos)
    coupons = []
    for _ in range(n):
        c, pos = varint(image, pos)
        coupons.append(c)
    return lg_max_k, lg_k, mode, coupons


def registers_of(union):
    """The union's registers at its current precision, whatever its mode."""
    _, lg_k, mode, payload = parse(union.to_bytes())
    if mode == HLL:
        return lg_k, payload[0]
    registers = [0] * (1 << lg_k)
    for c in payload:
        registers[c & 0x3FFFFFF] = max(registers[c & 0x3FFFFFF], c >> 26)
    return lg_k, registers


def register_formula(registers):
    m = len(registers)
    alpha = {16: 0.673, 32: 0.697, 64: 0.709}.get(m, 0.7213 / (1 + 1.079 / m))
    raw = alpha * m * m / sum(2.0 ** -r for r in registers)
    zeros = registers.count(0)
    return m * math.log(m / zeros) if raw <= 2.5 * m and zeros else raw


def mode_sketch(lg_k, items):
    s = quillo.HllSketchMode(lg_k)
    for item in items:
        s.update(item)
    return s


def union_of(lg_max_k, items):
    u = quillo.HllUnion(lg_max_k)
    for item in items:
        u.update(item)
    return u


# ---------------------------------------------------------------- HllSketchMode


def test_new_sketch_mode():
    s = quillo.HllSketchMode()
    assert (s.mode(), s.estimate(), s.memory_usage(), s.is_out_of_order()) == ("LIST", 0.0, 128, False)


@pytest.mark.parametrize("lg_k, mode, memory", [(12, "SET", 240), (8, "HLL", 392), (4, "HLL", 152)])
def test_eighth_slot_promotes_the_list(lg_k, mode, memory):
    items = distinct_slot_items(8, lg_k)
    s = mode_sketch(lg_k, items[:7] + items[:7])
    assert (s.mode(), s.estimate()) == ("LIST", 7.0)
    s.update(items[7])
    assert (s.mode(), s.memory_usage()) == (mode, memory)
    if mode == "SET":
        assert s.estimate() == 8.0


def test_set_becomes_hll_when_its_table_reaches_lg_k_minus_3():
    items = distinct_slot_items(193, 12)
    s = mode_sketch(12, items[:192])
    assert (s.mode(), s.estimate(), s.memory_usage()) == ("SET", 192.0, 72 + 4 * 256 + 40)
    s.update(items[192])
    assert (s.mode(), s.memory_usage(), s.is_out_of_order()) == ("HLL", 72 + 4096 + 64, False)
    assert s.estimate() == pytest.approx(193, rel=0.05)


@pytest.mark.parametrize("lg_k, n", [(18, 12000), (19, 24000), (20, 48000), (21, 90000)])
def test_set_counts_are_exact_at_large_lg_k(lg_k, n):
    items = [f"x{i}" for i in range(n)] + [f"x{i}" for i in range(0, n, 3)]
    exact = slot_values(items, lg_k)
    s = mode_sketch(lg_k, items)
    assert (s.mode(), s.estimate()) == ("SET", float(len(exact)))
    u = union_of(lg_k, items)
    _, _, mode, coupons = parse(u.to_bytes())
    assert mode == SET
    assert {c & 0x3FFFFFF: c >> 26 for c in coupons} == exact
    assert len(coupons) == len(exact)


def test_sketch_mode_hll_estimate_is_accurate():
    s = mode_sketch(12, [f"w{i}" for i in range(50000)])
    assert s.estimate() == pytest.approx(50000, rel=0.05)


def test_sketch_mode_constructor_range():
    for bad in (3, 22):
        with pytest.raises(ValueError, match=rf"^lg_k must be in 4\.\.=21, got {bad}$"):
            quillo.HllSketchMode(bad)
    for bad in (-1, 256):
        with pytest.raises(OverflowError):
            quillo.HllSketchMode(bad)
    assert quillo.HllSketchMode(lg_k=21).memory_usage() == 128


def test_sketch_mode_has_no_image():
    s = mode_sketch(12, ["a"])
    assert not hasattr(s, "to_bytes") and not hasattr(quillo.HllSketchMode, "from_bytes")
    with pytest.raises(TypeError):
        pickle.dumps(s)


# ---------------------------------------------------------------- HllUnion


def test_union_counts_and_promotions():
    assert quillo.HllUnion().estimate() == 0.0
    assert quillo.HllUnion(None).to_bytes() == bytes([12, 12, LIST, 0])
    items = distinct_slot_items(8, 12)
    u = union_of(12, items[:7] + items[:3])
    assert u.estimate() == 7.0
    u.update(items[7])
    assert parse(u.to_bytes())[2] == SET
    assert parse(union_of(6, distinct_slot_items(8, 6)).to_bytes())[2] == HLL
    for bad in (3, 22):
        with pytest.raises(ValueError, match=rf"^lg_max_k must be in 4\.\.=21, got {bad}$"):
            quillo.HllUnion(bad)


def test_update_with_sketch_takes_only_sketch_mode():
    with pytest.raises(TypeError, match="^argument 'sketch': 'HllSketch' object cannot be converted to "
                                        "'HllSketchMode'$"):
        quillo.HllUnion().update_with_sketch(quillo.HllSketch())


# Item counts that put a gadget of each precision in each mode.
SIZES = {
    10: {"LIST": 5, "SET": 24, "HLL": 600},
    12: {"LIST": 5, "SET": 100, "HLL": 1500},
    14: {"LIST": 5, "SET": 400, "HLL": 4000},
}


@pytest.mark.parametrize("source_lg", [10, 12, 14])
@pytest.mark.parametrize("source_mode", ["LIST", "SET", "HLL"])
@pytest.mark.parametrize("union_mode", ["LIST", "SET", "HLL"])
def test_union_equals_the_sketch_of_both_streams(source_lg, source_mode, union_mode):
    union_items = [f"u{i}" for i in range(SIZES[12][union_mode])]
    own = SIZES[source_lg][source_mode]
    overlap = union_items[: min(len(union_items) // 3, own // 2)]
    source_items = overlap + [f"s{i}" for i in range(own)]
    source = mode_sketch(source_lg, source_items)
    assert source.mode() == source_mode
    u = union_of(12, union_items)
    assert {LIST: "LIST", SET: "SET", HLL: "HLL"}[parse(u.to_bytes())[2]] == union_mode
    u.update_with_sketch(source)

    final = min(source_lg, 12)
    direct = union_of(final, union_items + source_items)
    assert registers_of(u) == registers_of(direct)
    assert parse(u.to_bytes())[:2] == (12, final)
    if source_mode == "HLL":
        registers, out_of_order = parse(u.to_bytes())[3]
        assert out_of_order
        assert u.estimate() == pytest.approx(register_formula(registers), rel=1e-12)


def test_updates_after_a_coarser_merge_use_the_lowered_precision():
    u = union_of(12, [f"a{i}" for i in range(3000)])
    u.update_with_sketch(mode_sketch(10, [f"b{i}" for i in range(3000)]))
    later = [f"c{i}" for i in range(3000)]
    for item in later:
        u.update(item)
    direct = union_of(10, [f"{p}{i}" for p in "abc" for i in range(3000)])
    assert registers_of(u) == registers_of(direct)
    assert registers_of(quillo.HllUnion.from_bytes(u.to_bytes())) == registers_of(direct)


def test_lowering_the_precision_keeps_the_running_estimate():
    u = union_of(12, [f"a{i}" for i in range(3000)])
    u.update_with_sketch(mode_sketch(10, [f"b{i}" for i in range(5)]))
    _, lg_k, mode, (_, out_of_order) = parse(u.to_bytes())
    assert (lg_k, mode, out_of_order) == (10, HLL, False)
    assert u.estimate() == pytest.approx(3005, rel=0.05)


def test_overlapping_unions_across_precisions_are_accurate():
    truth = 60000
    streams = [(12, range(0, 30000)), (10, range(20000, 50000)), (14, range(40000, 60000))]
    u = quillo.HllUnion(12)
    for lg_k, ids in streams:
        u.update_with_sketch(mode_sketch(lg_k, [f"o{i}" for i in ids]))
    assert abs(u.estimate() - truth) / truth < 0.1


# ---------------------------------------------------------------- image


def test_set_union_round_trip_keeps_mode_count_and_estimate():
    u = union_of(12, [f"r{i}" for i in range(100)])
    image = u.to_bytes()
    again = quillo.HllUnion.from_bytes(image)
    assert parse(again.to_bytes())[2] == SET
    assert sorted(parse(again.to_bytes())[3]) == sorted(parse(image)[3])
    assert again.estimate() == u.estimate() == len(slot_values([f"r{i}" for i in range(100)], 12))


def list_image(lg_k, coupons, lg_max_k=12):
    return bytes([lg_max_k, lg_k, LIST]) + encode_varint(len(coupons)) + b"".join(map(encode_varint, coupons))


def hll_image(lg_k, hll_lg_k, count):
    return (bytes([12, lg_k, HLL, hll_lg_k]) + encode_varint(count) + bytes(count) +
            bytes(24) + b"\x00")


INCONSISTENT_IMAGES = [
    (list_image(12, [(1 << 26) | i for i in range(8)]), "coupon list too long"),
    (list_image(12, [(1 << 26) | 5, (2 << 26) | 5]), "repeated coupon slot"),
    (list_image(12, [5]), "coupon with value 0"),
    (list_image(12, [(1 << 26) | 4096]), "coupon slot beyond 2^lg_k"),
    (bytes([12, 8, SET, 1]) + encode_varint((1 << 26) | 3), "coupon set too large for lg_k"),
    (hll_image(10, 11, 1024), "HLL lg_k differs from the gadget's"),
    (hll_image(10, 10, 1000), "register count is not 2^lg_k"),
]


@pytest.mark.parametrize("image, reason", INCONSISTENT_IMAGES, ids=[r for _, r in INCONSISTENT_IMAGES])
def test_inconsistent_images_are_refused(image, reason):
    with pytest.raises(ValueError, match=rf"^corrupt data: HllUnion decode failed: {re.escape(reason)}$"):
        quillo.HllUnion.from_bytes(image)


def test_general_decoding_failures():
    prefix = "corrupt data: HllUnion decode failed: "
    with pytest.raises(ValueError, match=f"^{prefix}Serde Deserialization Error$"):
        quillo.HllUnion.from_bytes(bytes([12, 12, 3, 0]))
    with pytest.raises(ValueError, match=f"^{prefix}Hit the end of buffer, expected more data$"):
        quillo.HllUnion.from_bytes(b"\x0c")
    for bad in (3, 22):
        with pytest.raises(ValueError, match=f"^lg_k must be between 4 and 21, got {bad}$"):
            quillo.HllUnion.from_bytes(list_image(bad, []))
    assert quillo.HllUnion.from_bytes(hll_image(10, 10, 1024)).estimate() == 0.0
