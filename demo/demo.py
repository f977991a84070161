"""orvane demo: quantize a large matrix to INT4, multiply it on the CPU, check the result against a float
reference and show the product's speed next to the machine's read bandwidth."""

import time

import numpy as np

import orvane

ROWS, COLS, COPIES, GROUP = 14336, 4096, 4, 128


def read_bandwidth_gbs(size_bytes=1 << 30, passes=3):
    """Streaming read of a buffer far larger than the last-level cache (numpy, one thread)."""
    buf = np.ones(size_bytes // 8, dtype=np.int64)
    best = 0.0
    for _ in range(passes):
        t0 = time.perf_counter()
        buf.sum()
        best = max(best, size_bytes / (time.perf_counter() - t0) / 1e9)
    return best


def main():
    rng = np.random.default_rng(0)
    print(f"orvane demo — {orvane.__doc__}")
    w = rng.standard_normal((ROWS, COLS), dtype=np.float32)
    x = rng.standard_normal(COLS, dtype=np.float32)
    store = orvane.CpuDecodeStore(group_size=GROUP)

    t0 = time.perf_counter()
    # Several copies so that the weights cycled through exceed the last-level cache.
    ids = [store.store_weight_f32(w.ctypes.data, ROWS, COLS, 4) for _ in range(COPIES)]
    t_reg = time.perf_counter() - t0
    wbytes = store.weight_bytes(ids[0])
    print(f"registered {COPIES} x [{ROWS}x{COLS}] INT4 weights, {wbytes / 1e6:.1f} MB each "
          f"({w.nbytes * COPIES / t_reg / 1e9:.2f} GB/s of f32 input quantized)")

    y = np.empty(ROWS, np.float32)
    store.matmul(ids[0], x.ctypes.data, y.ctypes.data)
    ref = w.astype(np.float64) @ x.astype(np.float64)
    rel = np.linalg.norm(y - ref) / np.linalg.norm(ref)
    print(f"check against the float product: relative error {rel:.4f} (INT4 quantization)")
    if not rel < 0.2:
        raise SystemExit("FAILED: result does not match the float reference")

    reps = 40
    t0 = time.perf_counter()
    for i in range(reps):
        store.matmul(ids[i % COPIES], x.ctypes.data, y.ctypes.data)
    dt = (time.perf_counter() - t0) / reps
    gbs = wbytes / dt / 1e9
    bw = read_bandwidth_gbs()
    print(f"matmul: {dt * 1e3:.2f} ms per product, {gbs:.1f} GB/s of weights")
    print(f"read bandwidth (numpy streaming sum, one thread): {bw:.1f} GB/s -> ratio {gbs / bw:.2f}")
    print("(make bench measures the ratio against an all-thread bandwidth probe)")


if __name__ == "__main__":
    main()
