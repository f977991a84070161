"""Reference arithmetic in numpy for the quantized products (independent of the native code)."""

import numpy as np

F32 = np.float32


def round_half_away(t):
    """Round f32 values to the nearest integer, halves away from zero, exactly in f32."""
    t = np.asarray(t, dtype=F32)
    r = np.trunc(t)
    frac = t - r  # exact
    return r + np.where(np.abs(frac) >= F32(0.5), np.sign(t), F32(0)).astype(F32)


def to_bf16_bits(x):
    """f32 -> BF16 bits: round to nearest even on the bit pattern, NaN not special-cased."""
    b = np.asarray(x, dtype=F32).view(np.uint32).astype(np.uint64)
    return ((b + 0x7FFF + ((b >> 16) & 1)) >> 16).astype(np.uint16)


def from_bf16_bits(b):
    return (np.asarray(b, dtype=np.uint16).astype(np.uint32) << 16).view(F32)


def group_absmax(x, group_size):
    """Largest |x| of each group along the last axis, NaN ignored, 0 for an all-NaN or all-zero group."""
    a = np.abs(x.reshape(*x.shape[:-1], -1, group_size))
    a = np.where(np.isnan(a), F32(0), a)
    return a.max(axis=-1).astype(F32)


def quantize_levels(x, group_size, qmax, lo, hi, zero_scale=F32(1.0)):
    """Symmetric group quantization: returns (levels int64, f32 scales)."""
    x = np.asarray(x, dtype=F32)
    amax = group_absmax(x, group_size)
    pos = amax > 0
    with np.errstate(divide="ignore", invalid="ignore"):
        inv = np.where(pos, F32(qmax) / amax, F32(0)).astype(F32)
        scale = np.where(pos, amax / F32(qmax), zero_scale).astype(F32)
        t = x.reshape(*x.shape[:-1], -1, group_size) * inv[..., None]
    q = round_half_away(t)
    q = np.where(np.isnan(q), 0, q)
    q = np.clip(q, lo, hi).astype(np.int64).reshape(x.shape)
    return q, scale


def quantize_activation(x, group_size):
    return quantize_levels(x, group_size, 32767.0, -32768, 32767)


def quantize_weight(w, group_size, num_bits):
    qmax, lo, hi = (7.0, -8, 7) if num_bits == 4 else (127.0, -128, 127)
    q, scale = quantize_levels(w, group_size, qmax, lo, hi)
    return q, from_bf16_bits(to_bf16_bits(scale))


def quantized_matvec(w, x, group_size, num_bits):
    """The product of the quantized weight and the quantized activation, with exact integer group sums and
    the scale products formed in f32, accumulated in f64 (the native result differs by f32 rounding only)."""
    rows, cols = w.shape
    qw, sw = quantize_weight(w, group_size, num_bits)
    qx, sx = quantize_activation(x, group_size)
    groups = cols // group_size
    sums = (qw.reshape(rows, groups, group_size) * qx.reshape(1, groups, group_size)).sum(axis=-1)
    combined = (sx[None, :] * sw).astype(F32)  # f32 product, as the kernel forms it
    return (combined.astype(np.float64) * sums.astype(np.float64)).sum(axis=1)
