"""orvane demo: fabricate a small but real MoE checkpoint (BF16 safetensors), load it into OrvaneEngine (the
INT4 caches are built on the first run, with progress lines), run the three forward forms on the same token,
check that they agree and that they match a float reference computed from the BF16 weights, and show the
per-layer latency next to the machine's read bandwidth. A second, short section multiplies a matrix held in
the INT4 decode store."""

import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

# Info logging for the load, so that the caches' build shows its progress. The level is read when the module
# first logs, so it has to be set before the import.
os.environ.setdefault("SPDLOG_LEVEL", "info")

import numpy as np  # noqa: E402

import orvane  # noqa: E402

REPO = Path(__file__).resolve().parent.parent
H, I, E, TOPK, MOE_LAYERS, DENSE, SHARED, RSF, GS = 2048, 768, 32, 8, 2, 1, 1, 2.5, 128


# Group-of-128 INT4 rounding of Gaussian weights alone is about 11 % RMS per matrix; through gate/up and down
# the layer's output lands near 0.2 relative to the float result.
TOLERANCE = 0.25


def model_dir():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "orvane" / "demo-model"


def write_checkpoint(folder: Path):
    """Dense layer 0, then MOE_LAYERS MoE layers of E routed experts and one shared expert; one shard per layer.
    Written under a temporary name and renamed when complete."""
    import torch
    from safetensors.torch import save_file

    tmp = folder.with_name(folder.name + ".partial")
    shutil.rmtree(tmp, ignore_errors=True)
    tmp.mkdir(parents=True)
    gen = torch.Generator().manual_seed(2024)
    total = DENSE + MOE_LAYERS
    weight_map = {}

    def rnd(rows, cols):
        return (torch.randn(rows, cols, generator=gen) * 0.02).to(torch.bfloat16)

    for layer in range(total):
        tensors = {}
        if layer < DENSE:
            for p, shape in (("gate_proj", (4 * I, H)), ("up_proj", (4 * I, H)), ("down_proj", (H, 4 * I))):
                tensors[f"model.layers.{layer}.mlp.{p}.weight"] = rnd(*shape)
        else:
            prefixes = [f"model.layers.{layer}.mlp.experts.{e}" for e in range(E)]
            prefixes.append(f"model.layers.{layer}.mlp.shared_experts")
            for prefix in prefixes:
                inter = I * SHARED if prefix.endswith("shared_experts") else I
                tensors[f"{prefix}.gate_proj.weight"] = rnd(inter, H)
                tensors[f"{prefix}.up_proj.weight"] = rnd(inter, H)
                tensors[f"{prefix}.down_proj.weight"] = rnd(H, inter)
        shard = f"model-{layer + 1:05d}-of-{total:05d}.safetensors"
        save_file(tensors, str(tmp / shard), metadata={"format": "pt"})
        weight_map.update({name: shard for name in tensors})
    index = {"metadata": {"total_size": 0}, "weight_map": dict(sorted(weight_map.items()))}
    (tmp / "model.safetensors.index.json").write_text(json.dumps(index) + "\n")
    config = {"hidden_size": H, "moe_intermediate_size": I, "n_routed_experts": E, "num_experts_per_tok": TOPK,
              "num_hidden_layers": total, "first_k_dense_replace": DENSE, "n_shared_experts": SHARED,
              "routed_scaling_factor": RSF}
    (tmp / "config.json").write_text(json.dumps(config, indent=2) + "\n")
    shutil.rmtree(folder, ignore_errors=True)
    tmp.rename(folder)


def bf16_round(x):
    """float32 -> BF16 words, round to nearest even."""
    u = np.ascontiguousarray(x, np.float32).view(np.uint32).astype(np.uint64)
    return ((u + 0x7FFF + ((u >> 16) & 1)) >> 16).astype(np.uint16)


def bf16_widen(words):
    return (np.asarray(words, np.uint16).astype(np.uint32) << 16).view(np.float32)


def float_reference(folder, moe_layer, x, ids, weights):
    """The MoE layer in float32 from the BF16 weights: sum_k w_k * expert_k(x) * RSF + shared(x)."""
    from safetensors import safe_open

    index = json.loads((folder / "model.safetensors.index.json").read_text())["weight_map"]
    layer = DENSE + moe_layer

    def expert(prefix):
        mats = {}
        for p in ("gate_proj", "up_proj", "down_proj"):
            name = f"{prefix}.{p}.weight"
            with safe_open(str(folder / index[name]), framework="pt") as f:
                mats[p] = f.get_tensor(name).float().numpy()
        g, u = mats["gate_proj"] @ x, mats["up_proj"] @ x
        return mats["down_proj"] @ (g / (1.0 + np.exp(-g)) * u)

    routed = sum(w * expert(f"model.layers.{layer}.mlp.experts.{e}") for e, w in zip(ids, weights))
    return routed * RSF + expert(f"model.layers.{layer}.mlp.shared_experts")


def bandwidth():
    """(all-thread read, memcpy, label) from build/bench/bench_bandwidth when built, else a numpy streaming read."""
    exe = REPO / "build" / "bench" / "bench_bandwidth"
    if exe.is_file() and os.access(exe, os.X_OK):
        out = subprocess.run([str(exe)], check=True, capture_output=True, text=True).stdout
        bw = json.loads(out.strip().splitlines()[-1])
        return bw["read_gbps"], f"C++ probe, streaming read by {bw['threads']} threads"
    buf = np.ones((1 << 30) // 8, dtype=np.int64)
    best = 0.0
    for _ in range(3):
        t0 = time.perf_counter()
        buf.sum()
        best = max(best, buf.nbytes / (time.perf_counter() - t0) / 1e9)
    return best, "numpy streaming sum, ONE thread (build bench_bandwidth for the all-thread probe)"


def routing(rng):
    ids = rng.choice(E, TOPK, replace=False).astype(np.int32)
    s = np.exp(rng.standard_normal(TOPK)).astype(np.float32)
    return ids, (s / s.sum()).astype(np.float32)


def moe_section():
    folder = model_dir()
    print(f"== MoE engine: H={H}, I={I}, {E} routed experts (top-{TOPK}) + {SHARED} shared, "
          f"{MOE_LAYERS} MoE layers after {DENSE} dense")
    if (folder / "config.json").is_file() and (folder / "model.safetensors.index.json").is_file():
        print(f"checkpoint: {folder} (reused)")
    else:
        t0 = time.perf_counter()
        write_checkpoint(folder)
        print(f"checkpoint: {folder} (written in {time.perf_counter() - t0:.1f} s)")

    eng = orvane.OrvaneEngine()
    t0 = time.perf_counter()
    sys.stdout.flush()
    eng.load(str(folder), group_size=GS)
    print(f"loaded in {time.perf_counter() - t0:.1f} s: {eng.num_moe_layers()} MoE layers, "
          f"INT{eng.cpu_num_bits()} CPU experts, group size {eng.group_size()}")

    rng = np.random.default_rng(0)
    x = bf16_round(rng.standard_normal(H).astype(np.float32) * 0.5)
    ids, w = routing(rng)
    layer = 1

    f32 = np.frombuffer(eng.moe_forward(layer, x.tobytes(), ids.tolist(), w.tolist()), np.float32)
    eng.submit_forward(layer, x.tobytes(), ids.tobytes(), w.tobytes(), 1)
    synced = np.frombuffer(eng.sync_forward(), np.uint16)
    out = np.zeros(H, np.uint16)
    eng.forward_moe_direct(layer, x.ctypes.data, ids.ctypes.data, w.ctypes.data, out.ctypes.data, 1, TOPK)
    expected = bf16_round(f32)
    agree = np.array_equal(synced, expected) and np.array_equal(out, expected)
    print(f"three forms on one token (experts {ids.tolist()}): moe_forward (f32) rounded to BF16 "
          f"{'==' if agree else '!='} submit/sync_forward {'==' if agree else '!='} forward_moe_direct")

    ref = float_reference(folder, layer, bf16_widen(x), ids.tolist(), w.tolist())
    rel = float(np.linalg.norm(f32 - ref) / np.linalg.norm(ref))
    print(f"against the float reference from the BF16 weights: relative error {rel:.4f} "
          f""
          f"(INT4 weights, INT16 activations; tolerance {TOLERANCE})")
    if not agree or not rel < TOLERANCE:
        raise SystemExit("FAILED: the forward forms disagree or miss the float reference")

    # Latency: fresh random experts for every token-layer, so the weights come from DRAM (the layers' experts
    # are several times the last-level cache). The chosen bytes are the 8 routed experts plus the shared one.
    cache = folder / ".orvane_cache" / f"experts_cpu_int4_g{GS}.bin"
    per_expert = (cache.stat().st_size - 64) / (MOE_LAYERS * (E + SHARED))
    reps = 200
    routes = [(i % MOE_LAYERS, *routing(rng)) for i in range(reps)]
    for form in ("moe_forward", "forward_moe_direct"):
        t0 = time.perf_counter()
        for lay, ids, w in routes:
            if form == "moe_forward":
                eng.moe_forward(lay, x.tobytes(), ids.tolist(), w.tolist())
            else:
                eng.forward_moe_direct(lay, x.ctypes.data, ids.ctypes.data, w.ctypes.data, out.ctypes.data, 1,
                                       TOPK)
        dt = (time.perf_counter() - t0) / reps
        routes.reverse()
        gbs = (TOPK + SHARED) * per_expert / dt / 1e9
        print(f"{form:>18}: {dt * 1e6:7.0f} us per token-layer, {gbs:5.1f} GB/s of expert weights")
        last = gbs
    bw, label = bandwidth()
    print(f"read bandwidth ({label}): {bw:.1f} GB/s -> forward_moe_direct ratio {last / bw:.2f}")
    return bw


def decode_store_section(bw):
    rows, cols, copies = 8192, 4096, 4
    print(f"\n== INT4 decode store: [{rows}x{cols}] matrix-vector product")
    rng = np.random.default_rng(1)
    wm = rng.standard_normal((rows, cols), dtype=np.float32)
    xv = rng.standard_normal(cols, dtype=np.float32)
    store = orvane.CpuDecodeStore(group_size=GS)
    ids = [store.store_weight_f32(wm.ctypes.data, rows, cols, 4) for _ in range(copies)]
    y = np.empty(rows, np.float32)
    store.matmul(ids[0], xv.ctypes.data, y.ctypes.data)
    ref = wm.astype(np.float64) @ xv.astype(np.float64)
    rel = np.linalg.norm(y - ref) / np.linalg.norm(ref)
    print(f"check against the float product: relative error {rel:.4f}")
    if not rel < 0.2:
        raise SystemExit("FAILED: decode-store product does not match the float reference")
    reps = 40
    t0 = time.perf_counter()
    for i in range(reps):
        store.matmul(ids[i % copies], xv.ctypes.data, y.ctypes.data)
    dt = (time.perf_counter() - t0) / reps
    gbs = store.weight_bytes(ids[0]) / dt / 1e9
    print(f"matmul: {dt * 1e3:.2f} ms per product, {gbs:.1f} GB/s of weights -> ratio {gbs / bw:.2f} "
          f"to the same read bandwidth")


def main():
    print(f"orvane demo — {orvane.__doc__}")
    bw = moe_section()
    decode_store_section(bw)


if __name__ == "__main__":
    main()
