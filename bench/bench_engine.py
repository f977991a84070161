"""OrvaneEngine through Python: the 128-expert top-8 shape (H = 2048, I = 768, INT4, group size 128) with enough
MoE layers that the loaded experts exceed 4x the last-level cache, every figure next to its ratio to the
machine's limit measured in the same run by build/bench/bench_bandwidth.

- forward_moe_direct and moe_forward per token-layer, fresh random experts for every token (a layer taken in
  turn, 8 distinct random experts of it), so the weights stream from DRAM: the chosen routed experts' bytes per
  second against the all-thread read bandwidth (the call overhead included; the layer's shared expert is
  computed as well, cache-resident, and not counted).
- submit_forward + sync_forward round trip against the direct call on the same cache-resident 1-token routing:
  the difference is the worker hand-off overhead.
- write_experts_range_into_pinned of a whole layer into numpy buffers: bytes written per second against the
  memcpy bandwidth.

Usage: python bench/bench_engine.py [CHECKPOINT_DIR]
The checkpoint (default build/bench_data/engine_model) is written once and reused.
"""

import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import orvane

REPO = Path(__file__).resolve().parent.parent
H, I, E, TOPK, GS, SHARED = 2048, 768, 128, 8, 128, 1
MIN_SECONDS = 2.0


def probe():
    exe = REPO / "build" / "bench" / "bench_bandwidth"
    if exe.is_file() and os.access(exe, os.X_OK):
        out = subprocess.run([str(exe)], check=True, capture_output=True, text=True).stdout
        bw = json.loads(out.strip().splitlines()[-1])
        bw["source"] = f"C++ probe (bench_bandwidth), {bw['threads']} threads"
        return bw
    # Fallback: numpy, one thread, clearly weaker than the all-thread probe.
    buf = np.ones((1 << 30) // 8, np.int64)
    dst = np.empty_like(buf)
    rd = max(buf.nbytes / timed(buf.sum) for _ in range(3)) / 1e9
    cp = max(buf.nbytes / timed(lambda: np.copyto(dst, buf)) for _ in range(3)) / 1e9
    return {"read_gbps": rd, "read_gbps_single": rd, "memcpy_gbps": cp, "threads": 1, "llc_bytes": 32 << 20,
            "source": "numpy streaming sum / copyto, ONE thread (bench_bandwidth not built)"}


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def write_checkpoint(folder: Path, layers: int):
    import torch
    from safetensors.torch import save_file

    tmp = folder.with_name(folder.name + ".partial")
    shutil.rmtree(tmp, ignore_errors=True)
    tmp.mkdir(parents=True)
    gen = torch.Generator().manual_seed(11)
    total = layers + 1
    weight_map = {}
    for layer in range(1, total):
        tensors = {}
        prefixes = [f"model.layers.{layer}.mlp.experts.{e}" for e in range(E)]
        prefixes.append(f"model.layers.{layer}.mlp.shared_experts")
        for prefix in prefixes:
            for p, shape in (("gate_proj", (I, H)), ("up_proj", (I, H)), ("down_proj", (H, I))):
                tensors[f"{prefix}.{p}.weight"] = (torch.randn(*shape, generator=gen) * 0.02).to(torch.bfloat16)
        shard = f"model-{layer:05d}-of-{layers:05d}.safetensors"
        save_file(tensors, str(tmp / shard), metadata={"format": "pt"})
        weight_map.update({name: shard for name in tensors})
        del tensors
        print(f"  wrote {shard}", file=sys.stderr, flush=True)
    index = {"metadata": {"total_size": 0}, "weight_map": dict(sorted(weight_map.items()))}
    (tmp / "model.safetensors.index.json").write_text(json.dumps(index) + "\n")
    config = {"hidden_size": H, "moe_intermediate_size": I, "n_routed_experts": E, "num_experts_per_tok": TOPK,
              "num_hidden_layers": total, "first_k_dense_replace": 1, "n_shared_experts": SHARED}
    (tmp / "config.json").write_text(json.dumps(config, indent=2) + "\n")
    shutil.rmtree(folder, ignore_errors=True)
    tmp.rename(folder)


def main():
    bw = probe()
    llc = bw["llc_bytes"]
    # INT4 record of one expert: packed nibbles plus one BF16 scale per group of 128, for the three matrices.
    approx_expert = 3 * H * I // 2 + 3 * H * I // GS * 2
    layers = max(3, 4 * llc // (E * approx_expert) + 1)
    folder = Path(sys.argv[1]) if len(sys.argv) > 1 else REPO / "build" / "bench_data" / "engine_model"
    cfg = folder / "config.json"
    if not (cfg.is_file() and (folder / "model.safetensors.index.json").is_file()
            and json.loads(cfg.read_text())["num_hidden_layers"] - 1 >= layers):
        print(f"writing the checkpoint ({layers} MoE layers) to {folder}", file=sys.stderr, flush=True)
        write_checkpoint(folder, layers)

    eng = orvane.OrvaneEngine()
    t0 = time.perf_counter()
    eng.load(str(folder), group_size=GS)
    t_load = time.perf_counter() - t0
    cache = folder / ".orvane_cache" / f"experts_cpu_int4_g{GS}.bin"
    n_layers = eng.num_moe_layers()
    per_expert = (cache.stat().st_size - 64) / (n_layers * (E + SHARED))
    loaded = n_layers * E * per_expert
    assert loaded > 4 * llc, (loaded, llc)

    rng = np.random.default_rng(0)
    x = (rng.standard_normal(H).astype(np.float32) * 0.5).view(np.uint32)
    x = (x >> 16).astype(np.uint16)  # BF16 by truncation
    out = np.zeros(H, np.uint16)
    n_routes = 4096
    route_layers = np.arange(n_routes) % n_layers
    route_ids = np.stack([rng.choice(E, TOPK, replace=False) for _ in range(n_routes)]).astype(np.int32)
    route_w = np.full((n_routes, TOPK), 1.0 / TOPK, np.float32)
    route_lists = [(int(lay), ids.tolist(), w.tolist()) for lay, ids, w in zip(route_layers, route_ids, route_w)]
    xb = x.tobytes()

    def run_direct(i):
        eng.forward_moe_direct(int(route_layers[i]), x.ctypes.data, route_ids[i].ctypes.data,
                               route_w[i].ctypes.data, out.ctypes.data, 1, TOPK)

    def run_forward(i):
        lay, ids, w = route_lists[i]
        eng.moe_forward(lay, xb, ids, w)

    def per_call(fn):
        for i in range(20):
            fn(i)
        count, t0 = 0, time.perf_counter()
        while True:
            fn(count % n_routes)
            count += 1
            dt = time.perf_counter() - t0
            if dt >= MIN_SECONDS and count >= 50:
                return dt / count

    rows = []
    moved = TOPK * per_expert
    for name, fn in (("forward_moe_direct", run_direct), ("moe_forward", run_forward)):
        dt = per_call(fn)
        gbs = moved / dt / 1e9
        rows.append((f"`{name}`, 1 token, top-8, DRAM", f"{dt * 1e6:.0f} µs/token-layer", gbs, "read_gbps"))

    # Worker round trip: the same cache-resident 1-token, 1-expert routing by both paths, interleaved.
    ids1 = np.array([[3]], np.int32)
    w1 = np.ones((1, 1), np.float32)
    ids1b, w1b = ids1.tobytes(), w1.tobytes()
    direct_t, worker_t = [], []
    for _ in range(20):
        eng.forward_moe_direct(0, x.ctypes.data, ids1.ctypes.data, w1.ctypes.data, out.ctypes.data, 1, 1)
        eng.submit_forward(0, xb, ids1b, w1b, 1)
        eng.sync_forward()
    t_end = time.perf_counter() + MIN_SECONDS
    while time.perf_counter() < t_end:
        t0 = time.perf_counter()
        eng.forward_moe_direct(0, x.ctypes.data, ids1.ctypes.data, w1.ctypes.data, out.ctypes.data, 1, 1)
        t1 = time.perf_counter()
        eng.submit_forward(0, xb, ids1b, w1b, 1)
        eng.sync_forward()
        t2 = time.perf_counter()
        direct_t.append(t1 - t0)
        worker_t.append(t2 - t1)
    d_med, w_med = np.median(direct_t) * 1e6, np.median(worker_t) * 1e6
    rows.append(("`submit_forward`+`sync_forward` overhead, 1 token, 1 expert (cache-resident)",
                 f"{w_med - d_med:.0f} µs over direct ({w_med:.0f} vs {d_med:.0f} µs, medians)", None, None))

    # Export of whole layers into numpy buffers standing in for pinned memory.
    sizes = [len(getattr(eng, g)(0, 0, 1)) * E for g in
             ("get_expert_w13_packed", "get_expert_w13_scales", "get_expert_w2_packed", "get_expert_w2_scales")]
    bufs = [np.ones(s, np.uint8) for s in sizes]  # faulted in
    args = []
    for b in bufs:
        args += [b.ctypes.data, b.size]
    eng.write_experts_range_into_pinned(0, 0, E, *args)
    count, t0 = 0, time.perf_counter()
    while True:
        eng.write_experts_range_into_pinned(count % n_layers, 0, E, *args)
        count += 1
        dt = time.perf_counter() - t0
        if dt >= MIN_SECONDS and count >= 3:
            break
    gbs = sum(sizes) * count / dt / 1e9
    rows.append((f"`write_experts_range_into_pinned`, {E} experts ({sum(sizes) / 1e6:.0f} MB)",
                 f"{dt / count * 1e3:.1f} ms/layer", gbs, "memcpy_gbps"))

    # The limits are probed again after the measurements; the higher of the two probes is the limit.
    bw2 = probe()
    for k in ("read_gbps", "read_gbps_single", "memcpy_gbps"):
        bw[k] = max(bw[k], bw2[k])

    print("# OrvaneEngine from Python: 128 experts, top-8, H=2048, I=768, INT4, group size 128\n")
    print(f"limits ({bw['source']}, best of a probe before and one after the measurements): read {bw['read_gbps']:.1f} GB/s all threads, "
          f"{bw['read_gbps_single']:.1f} GB/s one thread, memcpy {bw['memcpy_gbps']:.1f} GB/s; "
          f"last-level cache {llc >> 20} MiB")
    print(f"loaded: {n_layers} MoE layers x {E} experts x {per_expert / 1e6:.2f} MB = {loaded / 1e6:.0f} MB "
          f"({loaded / llc:.1f}x the last-level cache), load {t_load:.1f} s\n")
    print("| measurement | time | throughput | limit | ratio |")
    print("|---|---|---|---|---|")
    for what, t, gbs, limit in rows:
        if gbs is None:
            print(f"| {what} | {t} | — | — | — |")
        else:
            name = limit.split("_")[0]
            print(f"| {what} | {t} | {gbs:.1f} GB/s | {name} {bw[limit]:.1f} GB/s | {gbs / bw[limit]:.2f} |")
    print("\nthroughput of the forward rows: the 8 chosen routed experts' bytes per second (call overhead "
          "included; target ratio >= 0.80)")


if __name__ == "__main__":
    main()
