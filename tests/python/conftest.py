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


def write_tiny_moe(folder, seed=0, shape=TINY_MOE):
    """A BF16 MoE checkpoint (safetensors + index + config.json); returns {tensor name: BF16 tensor}.
    Optional keys: "first_dense" (dense layers before the first MoE layer, which get no tensors) and
    "swiglu_limit" (written to the config, with per-layer expert biases: gate_up_proj_bias [experts, 2 × inter]
    with gate and up interleaved, down_proj_bias [experts, hidden]; scales "gate_up_bias" / "down_bias")."""
    import torch
    from safetensors.torch import save_file

    gen = torch.Generator().manual_seed(seed)
    h, i, e, layers = shape["hidden"], shape["inter"], shape["experts"], shape["layers"]
    tensors = {}

    def add(prefix, rows, cols):
        tensors[f"{prefix}.weight"] = (torch.randn(rows, cols, generator=gen) * 0.05).to(torch.bfloat16)

    first = shape.get("first_dense", 0)
    limit = shape.get("swiglu_limit")
    for layer in range(first, first + layers):
        for ex in range(e):
            p = f"model.layers.{layer}.mlp.experts.{ex}"
            add(f"{p}.gate_proj", i, h)
            add(f"{p}.up_proj", i, h)
            add(f"{p}.down_proj", h, i)
        p = f"model.layers.{layer}.mlp.shared_experts"
        si = i * shape["shared"]
        add(f"{p}.gate_proj", si, h)
        add(f"{p}.up_proj", si, h)
        add(f"{p}.down_proj", h, si)
        if limit is not None:
            p = f"model.layers.{layer}.mlp.experts"
            tensors[f"{p}.gate_up_proj_bias"] = (torch.randn(e, 2 * i, generator=gen)
                                                 * shape["gate_up_bias"]).to(torch.bfloat16)
            tensors[f"{p}.down_proj_bias"] = (torch.randn(e, h, generator=gen) * shape["down_bias"]).to(torch.bfloat16)
    folder.mkdir(parents=True, exist_ok=True)
    save_file(tensors, str(folder / "model.safetensors"), metadata={"format": "pt"})
    index = {"metadata": {"total_size": 0}, "weight_map": {n: "model.safetensors" for n in sorted(tensors)}}
    (folder / "model.safetensors.index.json").write_text(json.dumps(index))
    config = {"hidden_size": h, "moe_intermediate_size": i, "n_routed_experts": e,
              "num_experts_per_tok": shape["top_k"], "num_hidden_layers": first + layers,
              "first_k_dense_replace": first, "n_shared_experts": shape["shared"],
              "routed_scaling_factor": shape["routed_scaling_factor"]}
    if limit is not None:
        config["swiglu_limit"] = limit
    (folder / "config.json").write_text(json.dumps(config))
    return tensors


@pytest.fixture(scope="session")
def tiny_moe(tmp_path_factory):
    """(model directory, tensors) of a tiny two-layer MoE checkpoint with a shared expert."""
    folder = tmp_path_factory.mktemp("tiny_moe") / "model"
    tensors = write_tiny_moe(folder)
    return folder, tensors


# A checkpoint with the clamped SwiGLU and expert biases: one dense layer first, three MoE layers (model layers
# 1 to 3), biases large enough that many gate/up values fall outside the clamp.
TINY_SWIGLU = dict(TINY_MOE, layers=3, first_dense=1, swiglu_limit=7.0, gate_up_bias=5.0, down_bias=0.5)


@pytest.fixture(scope="session")
def tiny_swiglu(tmp_path_factory):
    """(model directory, tensors) of a tiny MoE checkpoint with swiglu_limit 7 and expert biases."""
    folder = tmp_path_factory.mktemp("tiny_swiglu") / "model"
    tensors = write_tiny_moe(folder, seed=5, shape=TINY_SWIGLU)
    return folder, tensors
