import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

import json

import pytest

FIXTURES = os.path.join(os.path.dirname(os.path.dirname(__file__)), "fixtures")
if FIXTURES not in sys.path:
    sys.path.insert(0, FIXTURES)

# The tiny MoE checkpoint written by `tiny_moe`: shapes and options.
TINY_MOE = {"hidden": 256, "inter": 128, "experts": 8, "top_k": 4, "layers": 2, "group_size": 64,
            "shared": 1, "routed_scaling_factor": 2.0}


def write_tiny_moe(folder, seed=0, spec=TINY_MOE):
    """A BF16 MoE checkpoint (safetensors + index + config.json); returns {tensor name: BF16 tensor}."""
    import torch
    from safetensors.torch import save_file

    gen = torch.Generator().manual_seed(seed)
    h, i, e, layers = spec["hidden"], spec["inter"], spec["experts"], spec["layers"]
    tensors = {}

    def add(prefix, rows, cols):
        tensors[f"{prefix}.weight"] = (torch.randn(rows, cols, generator=gen) * 0.05).to(torch.bfloat16)

    for layer in range(layers):
        for ex in range(e):
            p = f"model.layers.{layer}.mlp.experts.{ex}"
            add(f"{p}.gate_proj", i, h)
            add(f"{p}.up_proj", i, h)
            add(f"{p}.down_proj", h, i)
        p = f"model.layers.{layer}.mlp.shared_experts"
        si = i * spec["shared"]
        add(f"{p}.gate_proj", si, h)
        add(f"{p}.up_proj", si, h)
        add(f"{p}.down_proj", h, si)
    folder.mkdir(parents=True, exist_ok=True)
    save_file(tensors, str(folder / "model.safetensors"), metadata={"format": "pt"})
    index = {"metadata": {"total_size": 0}, "weight_map": {n: "model.safetensors" for n in sorted(tensors)}}
    (folder / "model.safetensors.index.json").write_text(json.dumps(index))
    config = {"hidden_size": h, "moe_intermediate_size": i, "n_routed_experts": e,
              "num_experts_per_tok": spec["top_k"], "num_hidden_layers": layers, "first_k_dense_replace": 0,
              "n_shared_experts": spec["shared"], "routed_scaling_factor": spec["routed_scaling_factor"]}
    (folder / "config.json").write_text(json.dumps(config))
    return tensors


@pytest.fixture(scope="session")
def tiny_moe(tmp_path_factory):
    """(model directory, tensors) of a tiny two-layer MoE checkpoint with a shared expert."""
    folder = tmp_path_factory.mktemp("tiny_moe") / "model"
    tensors = write_tiny_moe(folder)
    return folder, tensors
