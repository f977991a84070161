"""The system check function: its surface, and what it prints at the logging levels a host may set."""

import inspect
import os
import subprocess
import sys

import pytest

import orvane


def test_system_check_surface():
    assert orvane.system_check() is None
    assert str(inspect.signature(orvane.system_check)) == "()"
    assert orvane.system_check.__doc__ == "Python-callable system check function."


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((None,), {}), ((), {"model_gb": 1.0})])
def test_system_check_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        orvane.system_check(*args, **kwargs)


def run_check(level):
    env = {k: v for k, v in os.environ.items() if k != "SPDLOG_LEVEL"}
    if level is not None:
        env["SPDLOG_LEVEL"] = level
    done = subprocess.run([sys.executable, "-c", "import orvane; orvane.system_check()"],
                          env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout + done.stderr


def test_info_level_reports_the_checks_without_a_memory_budget():
    out = run_check("info")
    assert "CPU features: " in out
    assert "System memory: " in out or "Memory info: could not read /proc/meminfo" in out
    for budget in ("Memory budget:", "Low memory headroom:", "INSUFFICIENT MEMORY:"):
        assert budget not in out


def test_default_level_prints_nothing():
    assert run_check(None) == ""
