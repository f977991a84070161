"""The decode weight registry: quantization, products against numpy references, errors and sizes."""

import numpy as np
import pytest

import orvane
from reference import quantized_matvec

F32 = np.float32


def addr(a):
    return a.ctypes.data


def register(store, w, num_bits):
    w = np.ascontiguousarray(w, dtype=F32)
    return store.store_weight_f32(addr(w), w.shape[0], w.shape[1], num_bits)


def matmul(store, wid, x, rows):
    out = np.full(rows, np.nan, F32)
    store.matmul(wid, addr(np.ascontiguousarray(x, dtype=F32)), addr(out))
    return out


@pytest.mark.parametrize("num_bits", [4, 8])
@pytest.mark.parametrize("rows, cols, group_size", [
    (1, 128, 128), (64, 256, 128), (65, 256, 64), (300, 512, 128), (257, 384, 32), (7, 96, 32),
])
def test_matmul_matches_quantized_reference(num_bits, rows, cols, group_size):
    rng = np.random.default_rng(rows * 1000 + cols + num_bits)
    w = rng.standard_normal((rows, cols)).astype(F32)
    x = rng.standard_normal(cols).astype(F32)
    store = orvane.CpuDecodeStore(group_size=group_size)
    wid = register(store, w, num_bits)
    got = matmul(store, wid, x, rows)
    ref = quantized_matvec(w, x, group_size, num_bits)
    np.testing.assert_allclose(got, ref, rtol=2e-5, atol=2e-5 * np.abs(ref).max())
    # And the float product, within what the quantization explains.
    exact = w.astype(np.float64) @ x.astype(np.float64)
    tol = {4: 0.6, 8: 0.05}[num_bits] * np.sqrt(cols)  # ~5 sigma of the rounding error
    assert np.abs(got - exact).max() < tol


@pytest.mark.parametrize("num_bits", [4, 8])
@pytest.mark.parametrize("rows", [64, 65, 300, 1000])
def test_parallel_and_serial_stores_agree_bit_for_bit(num_bits, rows):
    rng = np.random.default_rng(rows)
    w = rng.standard_normal((rows, 1024)).astype(F32)
    x = rng.standard_normal(1024).astype(F32)
    outs = []
    for parallel in (False, True):
        s = orvane.CpuDecodeStore(group_size=128, parallel=parallel)
        outs.append(matmul(s, register(s, w, num_bits), x, rows))
    np.testing.assert_array_equal(outs[0].view(np.uint32), outs[1].view(np.uint32))


@pytest.mark.parametrize("num_bits, levels", [
    (4, [7.0, 2.5, -2.5, 0.5, -0.5, 3.4999998, -7.0, 1.5]),
    (8, [127.0, 2.5, -2.5, 0.5, -0.5, -127.0, 100.5, -1.5]),
])
def test_halfway_values_round_away_from_zero(num_bits, levels):
    # The group maximum makes the scale exactly 1, so each value's level is its rounding.
    w = np.array([levels], F32)
    store = orvane.CpuDecodeStore(group_size=8)
    wid = register(store, w, num_bits)
    expected = np.sign(w[0]) * np.floor(np.abs(w[0]) + 0.5)
    expected = np.clip(expected, -8 if num_bits == 4 else -128, 7 if num_bits == 4 else 127)
    for k in range(8):
        x = np.zeros(8, F32)
        x[k] = 1.0  # quantizes to 32767 with scale 1/32767
        got = matmul(store, wid, x, 1)[0]
        assert got == pytest.approx(expected[k], rel=1e-6, abs=1e-6), k


@pytest.mark.parametrize("num_bits", [4, 8])
def test_zero_and_nan_groups(num_bits):
    rng = np.random.default_rng(5)
    w = rng.standard_normal((3, 64)).astype(F32)
    w[0, :32] = 0.0          # an all-zero group
    w[1, 5] = np.nan         # a NaN inside a group: ignored by the maximum, becomes 0
    w[2, :] = np.nan         # all NaN: zero levels
    x = rng.standard_normal(64).astype(F32)
    x[40] = np.nan           # a NaN activation element becomes 0
    store = orvane.CpuDecodeStore(group_size=32)
    got = matmul(store, register(store, w, num_bits), x, 3)
    w_clean = np.where(np.isnan(w), 0, w).astype(F32)
    x_clean = np.where(np.isnan(x), 0, x).astype(F32)
    ref = quantized_matvec(w_clean, x_clean, 32, num_bits)
    np.testing.assert_allclose(got, ref, rtol=2e-5, atol=1e-5)
    assert got[2] == 0.0


def test_zero_activation_gives_zero_output():
    w = np.random.default_rng(0).standard_normal((70, 256)).astype(F32)
    store = orvane.CpuDecodeStore()
    got = matmul(store, register(store, w, 4), np.zeros(256, F32), 70)
    assert not np.any(got)


@pytest.mark.parametrize("group_size, rows, cols, num_bits, message", [
    (128, 4, 128, 5, "num_bits must be 4 or 8, got 5"),
    (128, 4, 128, 0, "num_bits must be 4 or 8, got 0"),
    (128, 4, 100, 4, "cols 100 must be divisible by group_size 128"),
    (4, 4, 12, 4, "cols 12 must be divisible by 8 for INT4"),
    (1024, 1, 1024, 8, "group_size 1024 too large for INT8 (at most 511)"),
])
def test_registration_value_errors_leave_the_store_unchanged(group_size, rows, cols, num_bits, message):
    store = orvane.CpuDecodeStore(group_size=group_size)
    ok = np.ones((2, group_size * 2), F32)
    register(store, ok, 4 if group_size % 8 == 0 else 8)
    before = (store.num_weights(), store.total_bytes())
    data = np.ones((rows, cols), F32)
    with pytest.raises(ValueError) as info:
        store.store_weight_f32(addr(data), rows, cols, num_bits)
    assert str(info.value) == message
    assert (store.num_weights(), store.total_bytes()) == before


@pytest.mark.parametrize("group_size, num_bits, message", [
    (0, 4, "group_size != 0"),
    (12, 4, "assertion failed: group_size % 8 == 0"),
    (3, 8, "assertion failed: group_size % 2 == 0"),
])
def test_unusable_group_sizes_are_internal_failures(group_size, num_bits, message):
    store = orvane.CpuDecodeStore(group_size=group_size)
    data = np.ones((2, 24), F32)
    with pytest.raises(orvane.InternalError, match=message):
        store.store_weight_f32(addr(data), 2, 24, num_bits)
    assert store.num_weights() == 0


def test_matmul_id_out_of_range():
    store = orvane.CpuDecodeStore()
    register(store, np.ones((4, 128), F32), 4)
    with pytest.raises(ValueError, match=r"^weight_id 3 out of range \(1\)$"):
        store.matmul(3, 0, 0)


def test_matmul_batch():
    rng = np.random.default_rng(9)
    store = orvane.CpuDecodeStore(group_size=64)
    ws = [rng.standard_normal((r, 512)).astype(F32) for r in (100, 64, 300)]
    ids = [register(store, w, b) for w, b in zip(ws, (4, 8, 4))]
    wide = register(store, rng.standard_normal((8, 1024)).astype(F32), 4)
    x = rng.standard_normal(512).astype(F32)
    outs = [np.zeros(w.shape[0], F32) for w in ws]
    assert store.matmul_batch(ids, addr(x), [addr(o) for o in outs]) is None
    for wid, w, o in zip(ids, ws, outs):
        np.testing.assert_array_equal(o, matmul(store, wid, x, w.shape[0]))

    # Empty lists read nothing; different lengths fail before reading the input.
    assert store.matmul_batch([], 0, []) is None
    with pytest.raises(ValueError, match="^weight_ids and output_ptrs must have same length$"):
        store.matmul_batch([ids[0]], 0, [])

    # A later entry of another width fails; the earlier outputs stay written.
    first = np.zeros(100, F32)
    second = np.zeros(8, F32)
    with pytest.raises(orvane.InternalError, match="All weights in batch must have same K"):
        store.matmul_batch([ids[0], wide], addr(x), [addr(first), addr(second)])
    np.testing.assert_array_equal(first, outs[0])
    assert not np.any(second)
    with pytest.raises(orvane.InternalError):
        store.matmul_batch([ids[0], 99], addr(x), [addr(first), addr(second)])


def test_scratch_grows_with_wider_weights():
    rng = np.random.default_rng(3)
    store = orvane.CpuDecodeStore(group_size=128)
    narrow = rng.standard_normal((16, 2048)).astype(F32)
    wide = rng.standard_normal((16, 4096)).astype(F32)
    a, b = register(store, narrow, 4), register(store, wide, 4)
    x = rng.standard_normal(4096).astype(F32)
    np.testing.assert_allclose(matmul(store, b, x, 16), quantized_matvec(wide, x, 128, 4), rtol=2e-5, atol=1e-4)
    np.testing.assert_allclose(matmul(store, a, x[:2048], 16), quantized_matvec(narrow, x[:2048], 128, 4),
                               rtol=2e-5, atol=1e-4)


@pytest.mark.parametrize("rows, cols, group_size, num_bits, expected", [
    (4096, 2048, 128, 4, 4096 * 2048 // 2 + 2 * 4096 * 16),
    (3, 6, 2, 8, 4 * 5 + 2 * 3 * 3),   # 18 bytes of levels in 5 words
    (5, 8, 8, 8, 4 * 10 + 2 * 5),
])
def test_weight_bytes(rows, cols, group_size, num_bits, expected):
    store = orvane.CpuDecodeStore(group_size=group_size)
    wid = register(store, np.ones((rows, cols), F32), num_bits)
    assert store.weight_bytes(wid) == expected
    assert store.total_bytes() == expected
    assert store.num_weights() == 1


def test_norm_and_route_registration():
    store = orvane.CpuDecodeStore()
    n = np.arange(16, dtype=F32)
    assert [store.store_norm_weight(addr(n), 16) for _ in range(3)] == [0, 1, 2]
    gate = np.ones((8, 32), F32)
    bias = np.ones(8, F32)
    assert store.store_route_weight(addr(gate), 8, 32) == 0
    assert store.total_bytes() == 8 * 32 * 4
    # A bias address with length 0 stores no bias.
    assert store.store_route_weight(addr(gate), 8, 32, bias_ptr=addr(bias), bias_len=0) == 1
    assert store.total_bytes() == 2 * 8 * 32 * 4
    assert store.store_route_weight(addr(gate), 8, 32, addr(bias), 8, addr(bias), 8) == 2
    assert store.total_bytes() == 3 * 8 * 32 * 4 + 2 * 8 * 4
    assert store.store_route_weight(addr(gate), 8, 32, None, 8, e_score_corr_ptr=addr(bias), e_score_corr_len=4) == 3
    assert store.total_bytes() == 4 * 8 * 32 * 4 + 2 * 8 * 4 + 4 * 4
    assert store.num_route_weights() == 4
    assert store.num_weights() == 0
