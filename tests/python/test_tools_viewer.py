"""The point-cloud viewer: a page that draws the store's projection without fetching
anything, looked at in headless Chromium, and the server that redraws it on each request."""

import json
import os
import shutil
import subprocess
import sys
import threading
import urllib.request

import pytest

pytest.importorskip("plotly", reason="the viewer needs plotly (the [viewer] extra)")
pytest.importorskip("click", reason="the command line needs click (the [cli] extra)")

from conftest import open_store  # noqa: E402

CLUSTERS = [(-0.8, -0.6, 0.7), (0.7, 0.5, -0.6), (0.1, -0.8, -0.2)]


def clustered_store(path, per_cluster=100):
    db = open_store(path)
    ids, vectors, metas = [], [], []
    for c, centre in enumerate(CLUSTERS):
        for i in range(per_cluster):
            wobble = ((i * 37) % 11 - 5) / 60
            ids.append(f"c{c}-{i}")
            vectors.append([centre[0] + wobble, centre[1] - wobble, centre[2], wobble, 0.1])
            metas.append(json.dumps({"cluster": f"k{c}", "n": i}))
    db.add_batch(ids, vectors, metas)
    db.close()


def screenshot(page, png):
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if not chromium:
        pytest.skip("Chromium is not installed (Debian's chromium package)")
    try:
        proc = subprocess.run(
            [chromium, "--headless=new", "--no-sandbox", "--disable-gpu",
             "--use-gl=swiftshader", "--enable-unsafe-swiftshader", "--window-size=900,700",
             "--virtual-time-budget=8000", f"--screenshot={png}", f"file://{page}"],
            capture_output=True, timeout=120)
    except (OSError, subprocess.TimeoutExpired) as e:
        pytest.skip(f"Chromium cannot run here: {e}")
    if not os.path.exists(png):
        pytest.skip(f"Chromium made no screenshot: {proc.stderr[-300:]!r}")


def test_page_is_self_contained_and_draws_the_points(tmp_path):
    store, page, png = tmp_path / "store", tmp_path / "page.html", tmp_path / "page.png"
    clustered_store(store)
    proc = subprocess.run([sys.executable, "-m", "tarnix_tools", "view", str(store),
                           "--color-by", "cluster", "--filter", '{"n": {"$lt": 90}}',
                           "--out", str(page), "--timeout", "60"],
                          capture_output=True, text=True, timeout=180)
    assert proc.returncode == 0, proc.stderr
    assert "270 points" in proc.stderr
    text = page.read_text()
    assert "<script src=" not in text and '"type":"scatter3d"' in text
    for c in range(3):
        assert f"cluster=k{c}" in text
    assert "c1-5" in text and "c1-95" not in text  # hover ids, narrowed by the filter

    screenshot(page, png)
    from PIL import Image

    image = Image.open(png).convert("RGB")
    w, h = image.size
    # Points are the only saturated colours on the white, grey-gridded plot.
    plot = image.crop((w // 10, h // 8, w * 8 // 10, h * 9 // 10))
    raw = plot.tobytes()
    coloured = sum(1 for i in range(0, len(raw), 3)
                   if max(raw[i:i + 3]) - min(raw[i:i + 3]) > 60)
    assert coloured > 300, f"only {coloured} coloured pixels: the points were not drawn"


def test_serve_redraws_with_what_was_written_since(tmp_path):
    from tarnix_tools import viewer

    store = tmp_path / "store"
    clustered_store(store, per_cluster=10)
    started = threading.Event()
    box = {}

    def ready(server):
        box["server"] = server
        started.set()

    thread = threading.Thread(target=viewer.serve, args=(str(store),),
                              kwargs=dict(port=0, timeout_ms=60000, ready=ready,
                                          refresh_s=5))
    thread.start()
    try:
        assert started.wait(60)
        url = f"http://127.0.0.1:{box['server'].server_address[1]}/"
        first = urllib.request.urlopen(url, timeout=60).read().decode()
        assert "30 points" in first and 'http-equiv="refresh" content="5"' in first
        writer = open_store(store)
        writer.add("late", [0.9, 0.9, 0.9, 0.9, 0.9], '{"cluster":"k9"}')
        writer.close()
        assert "31 points" in urllib.request.urlopen(url, timeout=60).read().decode()
        with pytest.raises(urllib.error.HTTPError):
            urllib.request.urlopen(url + "other", timeout=10)
    finally:
        if "server" in box:
            box["server"].shutdown()
        thread.join(60)
