"""LinearCounter.update and HybridCounter.update per item from Python, beside
HllSketch.update in the same run (no peer library has these counters)."""

import quillo
from support import ns_per_call, print_rows

LG_K = 12
# Large enough that the 200,000 benchmark items never trigger the switch.
LINEAR_BITS = 1 << 22
NEVER = 2**63


def run():
    hll = {f"HllSketch lg_k={LG_K}": ns_per_call(quillo.HllSketch(LG_K).update)}
    print_rows(f"LinearCounter.update, {LINEAR_BITS:,} bits",
               ns_per_call(quillo.LinearCounter(LINEAR_BITS).update), hll)
    print_rows(f"HybridCounter.update, linear mode ({LINEAR_BITS:,} bits, lg_k={LG_K})",
               ns_per_call(quillo.HybridCounter(LINEAR_BITS, LG_K, NEVER).update), hll)
    print_rows("HybridCounter.update, HyperLogLog mode (with_range(10**6))",
               ns_per_call(quillo.HybridCounter.with_range(10**6).update), hll)
