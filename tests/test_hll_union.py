"""HllSketchMode and HllUnion: mode changes, exact counts, unions across precisions, images."""

import math
import pickle
import re

import pytest
import xxhash

import quillo
from wire import Reader, f64, sequence, varint

SEED = 9001
LIST, SET, HLL = 0, 1, 2


def coupon(item, lg_k):
    h = xxhash.xxh3_64_intdigest(item.encode(), seed=SEED)
    w = (h << lg_k) & (2**64 - 1)
    zeros = 64 - w.bit_length()
    return h >> (64 - lg_k), 1 + min(zeros, 62)


def slot_values(items, lg_k):  # exact registers: slot -> largest value
    best = {}
    for item in items:
        slot, value = coupon(item, lg_k)
        best[slot] = max(best.get(slot, 0), value)
    return best


def distinct_slot_items(count, lg_k):
    slots = {}
    for i in range(10**6):
        slots.setdefault(coupon(f"d{i}", lg_k)[0], f"d{i}")
        if len(slots) == count:
            return list(slots.values())


def parse(image):
    """(lg_max_k, lg_k, mode, coupons or (registers, out_of_order)) of a union image."""
    r = Reader(image)
    lg_max_k, lg_k, mode = r.u8(), r.u8(), r.varint()
    if mode != HLL:
        return lg_max_k, lg_k, mode, r.sequence(r.varint)
    assert r.u8() == lg_k
    registers = r.sequence(r.u8)
    r.pos += 24
    return lg_max_k, lg_k, mode, (registers, r.boolean())


def registers_of(union):  # at its current precision, whatever its mode
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


def occupied_estimate(slots, lg_k):  # the distinct count that `slots` occupied registers imply
    m = float(1 << lg_k)
    return -m * math.log1p(-slots / m)


def fed(sketch, items):
    for item in items:
        sketch.update(item)
    return sketch


def mode_sketch(lg_k, items):
    return fed(quillo.HllSketchMode(lg_k), items)


def union_of(lg_max_k, items):
    return fed(quillo.HllUnion(lg_max_k), items)


@pytest.mark.parametrize("lg_k, mode, memory", [(12, "SET", 240), (8, "HLL", 392), (4, "HLL", 152)])
def test_eighth_slot_promotes_the_list(lg_k, mode, memory):
    items = distinct_slot_items(8, lg_k)
    s = mode_sketch(lg_k, items[:7] + items[:7])
    assert (s.mode(), s.estimate()) == ("LIST", occupied_estimate(7, lg_k))
    s.update(items[7])
    assert (s.mode(), s.memory_usage()) == (mode, memory)
    # HLL mode goes on from the estimate of the coupons it replays.
    assert s.estimate() == occupied_estimate(8, lg_k)


def test_set_becomes_hll_when_its_table_reaches_lg_k_minus_3():
    items = distinct_slot_items(193, 12)
    s = mode_sketch(12, items[:192])
    assert (s.mode(), s.estimate(), s.memory_usage()) == ("SET", occupied_estimate(192, 12), 72 + 4 * 256 + 40)
    s.update(items[192])
    assert (s.mode(), s.memory_usage(), s.is_out_of_order()) == ("HLL", 72 + 4096 + 64, False)
    assert s.estimate() == occupied_estimate(193, 12)
    assert fed(s, [f"w{i}" for i in range(50000)]).estimate() == pytest.approx(50193, rel=0.05)


# Item counts in each mode at lg_k 14: set (the collisions hide 1.8% of the items at 600), just after
# the set becomes HLL registers (past 768 coupons), and well into HLL mode.
CHECKPOINTS = (600, 800, 4000)


def test_estimates_are_unbiased_across_the_mode_changes():
    streams, lg_k = 400, 14
    ratios = {kind: {n: 0.0 for n in CHECKPOINTS} for kind in ("mode", "union")}
    for stream in range(streams):
        s, u = quillo.HllSketchMode(lg_k), quillo.HllUnion(lg_k)
        for i in range(1, CHECKPOINTS[-1] + 1):
            item = f"u{stream}-{i}"
            s.update(item)
            u.update(item)
            if i in ratios["mode"]:
                ratios["mode"][i] += s.estimate() / i / streams
                ratios["union"][i] += u.estimate() / i / streams
    # The standard error of each mean is about 0.025%; the undercount was 1.8% at 600 and 0.19% at 4,000.
    for kind, means in ratios.items():
        assert all(abs(mean - 1) < 0.00075 for mean in means.values()), (kind, means)


@pytest.mark.parametrize("lg_k, n", [(18, 12000), (19, 24000), (20, 48000), (21, 90000)])
def test_sets_keep_every_register_at_large_lg_k(lg_k, n):
    items = [f"x{i}" for i in range(n)] + [f"x{i}" for i in range(0, n, 3)]
    exact = slot_values(items, lg_k)
    s = mode_sketch(lg_k, items)
    assert (s.mode(), s.estimate()) == ("SET", occupied_estimate(len(exact), lg_k))
    _, _, mode, coupons = parse(union_of(lg_k, items).to_bytes())
    assert (mode, len(coupons), {c & 0x3FFFFFF: c >> 26 for c in coupons}) == (SET, len(exact), exact)


def test_sketch_mode_construction_and_no_image():
    s = quillo.HllSketchMode()
    assert (s.mode(), s.estimate(), s.memory_usage(), s.is_out_of_order()) == ("LIST", 0.0, 128, False)
    assert quillo.HllSketchMode(lg_k=21).memory_usage() == 128
    for bad, error in ((3, ValueError), (22, ValueError), (-1, OverflowError), (256, OverflowError)):
        with pytest.raises(error, match=rf"^lg_k must be in 4\.\.=21, got {bad}$" if error is ValueError else None):
            quillo.HllSketchMode(bad)
    assert not hasattr(s, "to_bytes") and not hasattr(quillo.HllSketchMode, "from_bytes")
    with pytest.raises(TypeError):
        pickle.dumps(s)


def test_union_counts_and_promotions():
    assert quillo.HllUnion().estimate() == 0.0
    assert quillo.HllUnion(None).to_bytes() == bytes([12, 12, LIST, 0])
    items = distinct_slot_items(8, 12)
    u = union_of(12, items[:7] + items[:3])
    assert u.estimate() == occupied_estimate(7, 12)
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
SIZES = {10: {"LIST": 5, "SET": 24, "HLL": 600}, 12: {"LIST": 5, "SET": 100, "HLL": 1500},
         14: {"LIST": 5, "SET": 400, "HLL": 4000}}


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
        assert out_of_order and u.estimate() == pytest.approx(register_formula(registers), rel=1e-12)


def test_updates_after_a_coarser_merge_use_the_lowered_precision():
    u = union_of(12, [f"a{i}" for i in range(3000)])
    u.update_with_sketch(mode_sketch(10, [f"b{i}" for i in range(3000)]))
    fed(u, [f"c{i}" for i in range(3000)])
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
    u = quillo.HllUnion(12)
    for lg_k, ids in ((12, range(30000)), (10, range(20000, 50000)), (14, range(40000, 60000))):
        u.update_with_sketch(mode_sketch(lg_k, [f"o{i}" for i in ids]))
    assert u.estimate() == pytest.approx(60000, rel=0.1)


def test_set_union_round_trip_keeps_mode_count_and_estimate():
    items = [f"r{i}" for i in range(100)]
    u = union_of(12, items)
    again = quillo.HllUnion.from_bytes(u.to_bytes())
    assert parse(again.to_bytes())[2] == SET
    assert again.estimate() == u.estimate() == occupied_estimate(len(slot_values(items, 12)), 12)
    assert quillo.HllUnion.from_bytes(hll_image(10, 10, 1024)).estimate() == 0.0


def test_hll_union_images_round_trip_their_running_estimate():
    u = union_of(12, [f"h{i}" for i in range(2000)])
    again = quillo.HllUnion.from_bytes(u.to_bytes())
    assert again.to_bytes() == u.to_bytes() and again.estimate() == u.estimate()
    assert fed(again, ["one more"]).estimate() == fed(u, ["one more"]).estimate()
    # Out of order the estimate comes from the registers: the running totals are not checked.
    stale = hll_image(10, 10, 1024, hip=-5.0, kxq=(0.0, 0.0), out_of_order=True)
    assert quillo.HllUnion.from_bytes(stale).estimate() == 0.0


def list_image(lg_k, coupons, lg_max_k=12):
    return bytes([lg_max_k, lg_k, LIST]) + sequence(coupons, varint)


def hll_image(lg_k, hll_lg_k, count, hip=0.0, kxq=None, out_of_order=False):
    """An HLL-mode image with `count` zero registers (kxq0 = count, kxq1 = 0 unless given)."""
    kxq0, kxq1 = (float(count), 0.0) if kxq is None else kxq
    return (bytes([12, lg_k, HLL, hll_lg_k]) + varint(count) + bytes(count) + f64(hip) + f64(kxq0) + f64(kxq1)
            + bytes([out_of_order]))


P = "corrupt data: HllUnion decode failed: "
REFUSED_IMAGES = [
    (list_image(12, [(1 << 26) | i for i in range(8)]), P + "coupon list too long"),
    (list_image(12, [(1 << 26) | 5, (2 << 26) | 5]), P + "repeated coupon slot"),
    (list_image(12, [5]), P + "coupon with value 0"),
    (list_image(12, [(1 << 26) | 4096]), P + "coupon slot beyond 2^lg_k"),
    (bytes([12, 8, SET, 1]) + varint((1 << 26) | 3), P + "coupon set too large for lg_k"),
    (hll_image(10, 11, 1024), P + "HLL lg_k differs from the gadget's"),
    (hll_image(10, 10, 1000), P + "register count is not 2^lg_k"),
    (bytes([12, 12, 3, 0]), P + "Serde Deserialization Error"),
    *[(hll_image(10, 10, 1024, hip=hip), P + "HIP estimate is negative or not finite")
      for hip in (-1.0, math.nan, math.inf)],
    *[(hll_image(10, 10, 1024, kxq=kxq), P + "kxq sums are negative or not finite")
      for kxq in ((1025.0, -1.0), (math.inf, 0.0), (1024.0, math.nan))],
    # Running totals that would make the next update add 2^10 / 1e-300, or nothing at all.
    *[(hll_image(10, 10, 1024, kxq=kxq), P + "kxq sums do not match the registers")
      for kxq in ((1e-300, 0.0), (0.0, 0.0), (1e300, 0.0), (1023.0, 0.0))],
    (list_image(3, []), "lg_k must be between 4 and 21, got 3"),
    (list_image(22, []), "lg_k must be between 4 and 21, got 22"),
]


@pytest.mark.parametrize("image, message", REFUSED_IMAGES, ids=[m for _, m in REFUSED_IMAGES])
def test_refused_images(image, message):
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        quillo.HllUnion.from_bytes(image)
