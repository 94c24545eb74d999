"""set_dofs with 4·10^5 float64 values: the direct read of a contiguous array against the
item-by-item conversion of the same values.

Run with `make bench`. The item-by-item figure is measured in the same run, on a strided
view of the same array (which takes that path), so the ratio compares the two paths on
equal data; the goal is a ratio of at least 20.
"""

import numpy as np
from bench_evaluate import REPEATS, median_time

import quorvel

DEGREE, N_T = 3, 100_000  # 4·10^5 DOFs
GOAL = 20.0


def main():
    values = np.random.default_rng(0).uniform(-1.0, 1.0, N_T * (DEGREE + 1))
    interleaved = np.empty(2 * values.size)
    interleaved[::2] = values
    strided = interleaved[::2]  # the same values, not contiguous: converted item by item
    as_list = values.tolist()
    ev = quorvel.LegendreBasisEvaluator(DEGREE, N_T, 1.0)

    ev.set_dofs(values)
    direct_bits = ev.dofs.tobytes()
    ev.set_dofs(strided)
    assert ev.dofs.tobytes() == direct_bits == values.tobytes(), "the two paths store different values"

    t_direct = median_time(lambda: ev.set_dofs(values))
    t_items = median_time(lambda: ev.set_dofs(strided))
    t_list = median_time(lambda: ev.set_dofs(as_list))
    ratio = t_items / t_direct
    print(f"set_dofs, {values.size} float64 values (median of {REPEATS})")
    print(
        f"  contiguous ndarray (direct read)    {t_direct * 1e3:8.3f} ms  {t_direct / values.size * 1e9:6.2f} ns/value"
    )
    print(f"  strided ndarray (item by item)      {t_items * 1e3:8.3f} ms  {t_items / values.size * 1e9:6.2f} ns/value")
    print(f"  list of floats (item by item)       {t_list * 1e3:8.3f} ms  {t_list / values.size * 1e9:6.2f} ns/value")
    print(f"  speed-up of the direct read: {ratio:.1f}x  {'PASS' if ratio >= GOAL else 'MISS'} (goal {GOAL:.0f}x)")


if __name__ == "__main__":
    main()
