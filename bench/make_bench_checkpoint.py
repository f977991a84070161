"""A synthetic BF16 MoE checkpoint for the cache benchmarks, written with the safetensors library.

Usage: python make_bench_checkpoint.py OUTDIR [GB]

Writes OUTDIR/config.json, OUTDIR/model.safetensors.index.json and one shard per layer: a dense layer 0,
then MoE layers of routed experts [I, H] (gate, up) and [H, I] (down) plus one shared expert, with about GB
gigabytes (default 3.5) of BF16 expert weights in all. The folder is written under a temporary name and
renamed when complete, so an interrupted run never leaves a partial checkpoint behind.
"""

import json
import shutil
import sys
from pathlib import Path

import torch
from safetensors.torch import save_file

H, I, E, S = 2048, 768, 32, 1


def main(out: Path, gb: float) -> None:
    per_layer = (E + S) * 3 * H * I * 2
    layers = max(2, round(gb * 1e9 / per_layer))
    tmp = out.with_name(out.name + ".partial")
    shutil.rmtree(tmp, ignore_errors=True)
    tmp.mkdir(parents=True)
    config = {"hidden_size": H, "moe_intermediate_size": I, "n_routed_experts": E, "num_experts_per_tok": 4,
              "num_hidden_layers": layers + 1, "first_k_dense_replace": 1, "n_shared_experts": S}
    (tmp / "config.json").write_text(json.dumps(config, indent=2) + "\n")
    gen = torch.Generator().manual_seed(7)
    weight_map = {}
    total = layers + 1
    for layer in range(total):
        shard = f"model-{layer + 1:05d}-of-{total:05d}.safetensors"
        tensors = {}
        if layer == 0:
            for p, shape in (("gate_proj", (4 * I, H)), ("up_proj", (4 * I, H)), ("down_proj", (H, 4 * I))):
                tensors[f"model.layers.0.mlp.{p}.weight"] = (torch.randn(*shape, generator=gen) * 0.02).bfloat16()
        else:
            prefixes = [f"model.layers.{layer}.mlp.experts.{e}" for e in range(E)]
            prefixes.append(f"model.layers.{layer}.mlp.shared_experts")
            for prefix in prefixes:
                inter = I * S if prefix.endswith("shared_experts") else I
                for p, shape in (("gate_proj", (inter, H)), ("up_proj", (inter, H)), ("down_proj", (H, inter))):
                    tensors[f"{prefix}.{p}.weight"] = (torch.randn(*shape, generator=gen) * 0.02).bfloat16()
        save_file(tensors, str(tmp / shard), metadata={"format": "pt"})
        weight_map.update({name: shard for name in tensors})
        print(f"  wrote {shard}", flush=True)
    index = {"metadata": {"total_size": 0}, "weight_map": dict(sorted(weight_map.items()))}
    (tmp / "model.safetensors.index.json").write_text(json.dumps(index) + "\n")
    shutil.rmtree(out, ignore_errors=True)
    tmp.rename(out)


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: make_bench_checkpoint.py OUTDIR [GB]")
    main(Path(sys.argv[1]), float(sys.argv[2]) if len(sys.argv) == 3 else 3.5)
