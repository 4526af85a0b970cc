"""The digits demo runs end to end and writes a valid PNG of the ten medoids."""

import struct
import subprocess
import sys
import zlib
from pathlib import Path

import pytest

DEMO = Path(__file__).resolve().parents[2] / "examples" / "digits_demo.py"


def read_png(path):
    """Returns (width, height, pixel rows) of an 8-bit grayscale PNG, checking every CRC."""
    blob = Path(path).read_bytes()
    assert blob[:8] == b"\x89PNG\r\n\x1a\n"
    pos, chunks = 8, {}
    while pos < len(blob):
        (length,) = struct.unpack(">I", blob[pos:pos + 4])
        kind, payload = blob[pos + 4:pos + 8], blob[pos + 8:pos + 8 + length]
        (crc,) = struct.unpack(">I", blob[pos + 8 + length:pos + 12 + length])
        assert crc == zlib.crc32(kind + payload) & 0xFFFFFFFF
        chunks.setdefault(kind, b"")
        chunks[kind] += payload
        pos += 12 + length
    width, height, depth, color = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
    assert (depth, color) == (8, 0) and b"IEND" in chunks
    raw = zlib.decompress(chunks[b"IDAT"])
    assert len(raw) == height * (width + 1)
    return width, height, [raw[y * (width + 1) + 1:(y + 1) * (width + 1)] for y in range(height)]


def test_digits_demo(tmp_path):
    pytest.importorskip("sklearn")
    out = tmp_path / "medoids.png"
    proc = subprocess.run([sys.executable, str(DEMO), "--out", str(out), "--iterations", "5"],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    for heading in ("plain k-means:", "balanced k-means", "k-medoids:"):
        assert heading in proc.stdout
    assert proc.stdout.count("ARI") == 3
    width, height, rows = read_png(out)
    assert (width, height) == (10 * (64 + 4) + 4, 64 + 8)
    assert any(min(row) < 128 for row in rows) and all(max(row) == 255 for row in rows)
