"""A point cloud of a store: the 3-D projection of its vectors as a self-contained HTML page.

The page is one plotly Scatter3d with plotly's JavaScript embedded, so it opens offline and
fetches nothing. Points are coloured by a metadata field (a colour scale for numbers, one
colour per value otherwise) and hovering shows the id and the metadata.
"""

import html
import json
import os
import time

import plotly.io as pio

from tarnix_tools.store_files import StoreError, open_existing

# Categories beyond this many share one trace, "other": a legend of thousands helps nobody.
MAX_CATEGORIES = 30
HOVER_CHARS = 300


def load_points(db, filter_json=None, timeout_ms=600_000):
    """The published projection after the worker has taken in everything up to now."""
    points = []
    stream = db.stream_pca_3d(batch_size=8192, wait_for_latest=True, timeout_ms=timeout_ms,
                              filter_json=filter_json)
    for batch in stream:
        points.extend(batch)
    return points


def open_for_view(directory):
    # The projection worker normally waits out a debounce delay, and looks for work every
    # few seconds, before it computes; the viewer wants the first projection as soon as it
    # can be had. Both are read when a store opens, so setting them for this process before
    # the open is enough (and leaves every other process's settings alone).
    os.environ["TARNIX_PCA_UPDATE_DELAY_MS"] = "0"
    os.environ["TARNIX_PCA_WORKER_INTERVAL_MS"] = "50"
    return open_existing(directory, pca_enabled=True)


def _hover(item_id, metadata):
    text = metadata if len(metadata) <= HOVER_CHARS else metadata[:HOVER_CHARS] + "…"
    return f"<b>{html.escape(item_id)}</b><br>{html.escape(text)}"


def build_figure(points, color_by=None, title="tarnix"):
    xs = [p[1] for p in points]
    ys = [p[2] for p in points]
    zs = [p[3] for p in points]
    hover = [_hover(p[0], p[4]) for p in points]
    marker = dict(size=2.5, opacity=0.85)
    traces = []
    if color_by:
        values = []
        for p in points:
            try:
                values.append(json.loads(p[4]).get(color_by))
            except (ValueError, AttributeError):
                values.append(None)
        numeric = [v for v in values if isinstance(v, (int, float)) and not isinstance(v, bool)]
        if numeric and len(numeric) == sum(v is not None for v in values):
            marker.update(color=[v if v is not None else float("nan") for v in values],
                          colorscale="Viridis", showscale=True,
                          colorbar=dict(title=color_by))
        else:
            counts = {}
            for v in values:
                key = "(none)" if v is None else str(v)
                counts[key] = counts.get(key, 0) + 1
            kept = set(sorted(counts, key=lambda k: -counts[k])[:MAX_CATEGORIES])
            groups = {}
            for i, v in enumerate(values):
                key = "(none)" if v is None else str(v)
                groups.setdefault(key if key in kept else "other", []).append(i)
            for key in sorted(groups):
                idx = groups[key]
                traces.append(dict(
                    type="scatter3d", x=[xs[i] for i in idx], y=[ys[i] for i in idx],
                    z=[zs[i] for i in idx], mode="markers", name=f"{color_by}={key}",
                    marker=dict(marker), hovertext=[hover[i] for i in idx],
                    hoverinfo="text"))
    if not traces:
        traces.append(dict(type="scatter3d", x=xs, y=ys, z=zs, mode="markers", marker=marker,
                           hovertext=hover, hoverinfo="text", name="items"))
    layout = dict(title=dict(text=f"{title}: {len(points)} points"),
                  template=pio.templates["plotly_white"].to_plotly_json(), margin=dict(l=0, r=0, t=40, b=0),
                  scene=dict(xaxis=dict(title=dict(text="pc1")),
                             yaxis=dict(title=dict(text="pc2")),
                             zaxis=dict(title=dict(text="pc3"))))
    # A plain figure dictionary: plotly's per-point validation of graph objects costs
    # seconds at a hundred thousand points and adds nothing to data built right here.
    return dict(data=traces, layout=layout)


def render(db, directory, color_by=None, filter_json=None, timeout_ms=600_000,
           refresh_s=None):
    points = load_points(db, filter_json, timeout_ms)
    if not points and db.count():
        raise StoreError(f"the projection was not ready within {timeout_ms / 1000:g} s")
    fig = build_figure(points, color_by, title=os.path.basename(os.path.abspath(directory)))
    page = pio.to_html(fig, include_plotlyjs=True, full_html=True, validate=False)
    if refresh_s:
        page = page.replace("<head>", f'<head><meta http-equiv="refresh" content="{refresh_s}">',
                            1)
    return page, len(points)


def write_page(directory, out, color_by=None, filter_json=None, timeout_ms=600_000):
    """Writes the page; returns (seconds from open to page, number of points)."""
    start = time.perf_counter()
    with open_for_view(directory) as db:
        page, n = render(db, directory, color_by, filter_json, timeout_ms)
    with open(out, "w", encoding="utf-8") as f:
        f.write(page)
    return time.perf_counter() - start, n


def serve(directory, color_by=None, filter_json=None, port=8765, timeout_ms=600_000,
          refresh_s=None, ready=None):
    """Serves the page on 127.0.0.1, drawn afresh (with what was written since) on every
    request. `ready`, when given, is called with the server once it listens (its
    server_address holds the bound port; its shutdown() ends serve)."""
    from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
    import threading

    db = open_for_view(directory)
    lock = threading.Lock()

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            if self.path not in ("/", "/index.html"):
                self.send_error(404)
                return
            try:
                with lock:
                    page, _ = render(db, directory, color_by, filter_json, timeout_ms,
                                     refresh_s)
                body, status = page.encode("utf-8"), 200
            except Exception as e:  # the server outlives one bad drawing
                body, status = html.escape(f"tarnix: {e}").encode("utf-8"), 500
            self.send_response(status)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    with db, ThreadingHTTPServer(("127.0.0.1", port), Handler) as server:
        if ready:
            ready(server)
        else:
            print(f"serving http://127.0.0.1:{server.server_address[1]}/ (Ctrl-C stops)",
                  flush=True)
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            pass
