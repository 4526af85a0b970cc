"""The digits demo runs end to end and draws its picture."""

import subprocess
import sys
from pathlib import Path

import pytest

DEMO = Path(__file__).resolve().parents[2] / "examples" / "digits_demo.py"


def test_digits_demo(tmp_path):
    pytest.importorskip("sklearn")
    image = pytest.importorskip("matplotlib.image")
    out = tmp_path / "demo.png"
    proc = subprocess.run([sys.executable, str(DEMO), "--out", str(out), "--iterations", "5"],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    for heading in ("plain k-means:", "balanced k-means", "k-medoids:", "PCA:"):
        assert heading in proc.stdout
    assert proc.stdout.count("ARI") == 3
    pixels = image.imread(out)
    assert pixels.ndim == 3 and pixels.min() < pixels.max()
