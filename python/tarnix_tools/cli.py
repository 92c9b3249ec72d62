"""The `tarnix` command: look into, check, query, fill and compact a store directory.

Every failure a user can cause (a missing directory, a directory that is not a store, bad
JSON, a wrong dimension, a file error) ends the command with one line on standard error and
exit code 1; commands that only read never create a store and open it with the projection
off."""

import contextlib
import json
import os
import sys
import tempfile
import time

try:
    import click
except ImportError:  # pragma: no cover - the console script without its extra
    sys.stderr.write('tarnix: the command line needs its extra: pip install "tarnix[cli]"\n')
    raise SystemExit(1)

import tarnix

from tarnix_tools import store_files
from tarnix_tools.store_files import StoreError, open_existing, require_store


def _parse_json(text, what):
    try:
        return json.loads(text)
    except ValueError as e:
        raise StoreError(f"{what} is not valid JSON: {e}") from None


def _filter_text(text):
    if text is None:
        return "{}"
    value = _parse_json(text, "--filter")
    if not isinstance(value, dict):
        raise StoreError("--filter must be a JSON object")
    return json.dumps(value)


def _progress(total, label):
    from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, \
        TimeRemainingColumn

    return Progress(TextColumn(label), BarColumn(), MofNCompleteColumn(),
                    TimeRemainingColumn(), console=_stderr_console(),
                    disable=not sys.stderr.isatty() and not os.environ.get(
                        "TARNIX_FORCE_PROGRESS"))


def _stderr_console():
    from rich.console import Console

    return Console(stderr=True)


@click.group(context_settings={"help_option_names": ["-h", "--help"]})
def cli():
    """Look into, check, query, fill and compact Tarnix stores."""


@cli.command()
@click.argument("directory")
@click.option("--json", "as_json", is_flag=True, help="Print the numbers as one JSON object.")
def stats(directory, as_json):
    """Items, dimension, capacity, file sizes, stale records, log records and snapshot time."""
    s = store_files.store_stats(directory)
    if as_json:
        click.echo(json.dumps(s, indent=2))
        return
    rows = [
        ("items", s["items"]),
        ("dimension", s["dimension"]),
        ("capacity (slots)", s["capacity"]),
        ("stale records (vacuum drops them)", s["stale_records"]),
        ("log records", f'{s["log_records"]} ({s["log_inserts"]} inserts, '
                        f'{s["log_deletes"]} deletes)'),
        ("log bytes", s["log_bytes"]),
        ("snapshot time", s["snapshot_time"] or "no snapshot"),
    ]
    if s["log_torn_tail_bytes"]:
        rows.append(("log bytes after the last whole record", s["log_torn_tail_bytes"]))
    rows += [(f"  {name}", size) for name, size in sorted(s["file_sizes"].items())]
    rows.append(("total bytes", s["total_bytes"]))
    width = max(len(k) for k, _ in rows)
    for key, value in rows:
        click.echo(f"{key:<{width}}  {value}")


@contextlib.contextmanager
def _captured_stderr():
    """Collects what the extension writes to file descriptor 2 (its open warnings)."""
    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile() as tmp:
        os.dup2(tmp.fileno(), 2)
        lines = []
        try:
            yield lines
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            tmp.seek(0)
            lines.extend(tmp.read().decode("utf-8", "replace").splitlines())


@cli.command()
@click.argument("directory")
def verify(directory):
    """Opens the store (projection off) and checks what the public interface can see.

    The open is an ordinary one: like any open it may cut a torn log tail or checkpoint a
    long log, so those are repaired before they can be reported.

    Checks: the open writes no warning; the count equals the number of listed items; every
    listed item is found by its own stored vector under an _id filter at distance 0; the
    slot files are whole records long and hold at least as many slots as there are items;
    the log holds only whole records. Exit code 0 when all hold, 1 with the findings.
    """
    require_store(directory)
    findings = []
    with _captured_stderr() as warnings:
        db = open_existing(directory)
    findings += [f"open warned: {w}" for w in warnings if w.strip()]
    with db:
        count = db.count()
        dim = store_files.dimension(directory)
        listed = db.search([0.0] * dim, count, None, False) if dim and count else []
        if len(listed) != count:
            findings.append(f"count() is {count} but {len(listed)} items are listed")
        ids = [h[0] for h in listed]
        if len(set(ids)) != len(ids):
            findings.append("an id is listed more than once")
        slots = store_files.slots_by_id(directory, dim) if dim else {}
        for item_id in ids:
            if store_files.vector_of(db, directory, item_id, slots) is None:
                findings.append(f"item {item_id!r} is not found by its own vector")
                if len(findings) > 20:
                    break
    sizes = store_files.file_sizes(directory)
    for name, record in (("graph.bin", store_files.GRAPH_ROW), ("offsets.bin", 8),
                         ("meta_offsets.bin", 8), ("vectors.bin", dim or 1)):
        if sizes.get(name, 0) % record:
            findings.append(f"{name} is {sizes[name]} bytes, not whole {record}-byte records")
    if dim and store_files.capacity(directory, dim) < count:
        findings.append("the slot files hold fewer slots than there are items")
    for name in ("ids.bin", "metadata.bin"):
        if name in sizes and store_files.blob_records(directory, name)[1]:
            findings.append(f"{name} ends inside a record")
    torn = store_files.log_records(directory)[2]
    if torn:
        findings.append(f"wal.bin has {torn} bytes after its last whole record")
    if findings:
        for f in findings:
            click.echo(f"FAIL {f}")
        raise SystemExit(1)
    click.echo(f"OK {count} items, dimension {dim}")


def _query_vector(db, directory, vector, like):
    if (vector is None) == (like is None):
        raise StoreError("give exactly one of --vector and --like")
    if like is not None:
        found = store_files.vector_of(db, directory, like)
        if found is None:
            raise StoreError(f"no item with id {like!r}")
        return found
    value = _parse_json(vector, "--vector")
    if not isinstance(value, list) or not all(isinstance(x, (int, float)) for x in value):
        raise StoreError("--vector must be a JSON array of numbers")
    return [float(x) for x in value]


def _hit(item_id, score, metadata):
    return json.dumps({"id": item_id, "score": score, "metadata": json.loads(metadata)})


@cli.command()
@click.argument("directory")
@click.option("--vector", help="The query as a JSON array of numbers.")
@click.option("--like", help="Use the stored vector of this item as the query.")
@click.option("-k", "k", type=click.IntRange(1, 2**32 - 1), default=10, show_default=True)
@click.option("--filter", "filter_json", help="A JSON filter on the metadata.")
def search(directory, vector, like, k, filter_json):
    """The k nearest items as JSON lines of id, score and metadata."""
    with open_existing(directory) as db:
        query = _query_vector(db, directory, vector, like)
        for item_id, score, metadata in db.search(query, k, _filter_text(filter_json)):
            click.echo(_hit(item_id, score, metadata))


@cli.command()
@click.argument("directory")
@click.option("--filter", "filter_json", help="Only the items this JSON filter selects.")
def dump(directory, filter_json):
    """Every item (or those a filter selects) as JSON lines of id and metadata."""
    filter_text = _filter_text(filter_json)
    with open_existing(directory) as db:
        count = db.count()
        dim = store_files.dimension(directory)
        if not count or not dim:
            return
        # Asking for every item makes the search an exact scan that lists them all.
        for item_id, _, metadata in db.search([0.0] * dim, count, filter_text):
            click.echo(json.dumps({"id": item_id, "metadata": json.loads(metadata)}))


def _jsonl_batches(path, batch):
    ids, vectors, metas = [], [], []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if not line.strip():
                continue
            try:
                row = json.loads(line)
                item_id, vector = row["id"], row["vector"]
                metadata = row.get("metadata", {})
            except (ValueError, KeyError, TypeError, AttributeError):
                raise StoreError(f"{path}:{number}: expected a JSON object with "
                                 f'"id", "vector" and optionally "metadata"') from None
            if not isinstance(item_id, str) or not isinstance(metadata, dict):
                raise StoreError(f'{path}:{number}: "id" must be a string and "metadata" '
                                 "an object")
            ids.append(item_id)
            vectors.append(vector)
            metas.append(json.dumps(metadata))
            if len(ids) == batch:
                yield ids, vectors, metas
                ids, vectors, metas = [], [], []
    if ids:
        yield ids, vectors, metas


def _npy_batches(path, ids_path, metadata_path, batch):
    import numpy as np

    if not ids_path:
        raise StoreError("a .npy file needs --ids FILE (one id a line)")
    try:
        array = np.load(path, mmap_mode="r")
    except (ValueError, OSError) as e:
        raise StoreError(f"{path}: not a readable .npy file: {e}") from None
    if array.ndim != 2:
        raise StoreError(f"{path}: expected a 2-D array, got shape {array.shape}")
    with open(ids_path, encoding="utf-8") as f:
        ids = [line.rstrip("\n") for line in f if line.strip()]
    if len(ids) != len(array):
        raise StoreError(f"{ids_path} has {len(ids)} ids for {len(array)} vectors")
    metas = ["{}"] * len(ids)
    if metadata_path:
        with open(metadata_path, encoding="utf-8") as f:
            metas = [line.strip() for line in f if line.strip()]
        if len(metas) != len(ids):
            raise StoreError(f"{metadata_path} has {len(metas)} lines for {len(ids)} ids")
    for start in range(0, len(ids), batch):
        chunk = np.ascontiguousarray(array[start:start + batch], dtype=np.float32)
        yield ids[start:start + batch], chunk, metas[start:start + batch]


@cli.command()
@click.argument("directory")
@click.argument("file", type=click.Path(exists=True, dir_okay=False))
@click.option("--ids", "ids_path", type=click.Path(exists=True, dir_okay=False),
              help="For a .npy file: the ids, one a line.")
@click.option("--metadata", "metadata_path", type=click.Path(exists=True, dir_okay=False),
              help="For a .npy file: the metadata objects, one JSON object a line.")
@click.option("--batch-size", type=click.IntRange(1), default=1000, show_default=True)
def load(directory, file, ids_path, metadata_path, batch_size):
    """Adds items from JSON lines ({"id", "vector", "metadata"}) or a .npy file with --ids.

    Creates the store when the directory does not exist yet; items are added in batches,
    each written to the log before it counts."""
    if file.endswith(".npy"):
        batches = _npy_batches(file, ids_path, metadata_path, batch_size)
        import numpy as np

        total = len(np.load(file, mmap_mode="r"))
    else:
        batches = _jsonl_batches(file, batch_size)
        with open(file, encoding="utf-8") as f:
            total = sum(1 for line in f if line.strip())
    if os.path.exists(directory) and os.listdir(directory):
        require_store(directory)
    added = 0
    start = time.perf_counter()
    # The first batch is read before the store is opened, so that a file that is wrong
    # from its start leaves no new empty store behind.
    first = next(batches, None)
    with tarnix.TarnDB(directory, False) as db, _progress(total, "loading") as bar:
        task = bar.add_task("load", total=total)
        batch = first
        while batch is not None:
            ids, vectors, metas = batch
            db.add_batch(ids, vectors, metas)
            added += len(ids)
            bar.update(task, advance=len(ids))
            try:
                batch = next(batches, None)
            except StoreError as e:
                raise StoreError(f"{e} ({added} items before it were added)") from None
    seconds = time.perf_counter() - start
    click.echo(f"loaded {added} items in {seconds:.2f} s", err=True)


@cli.command()
@click.argument("directory")
def persist(directory):
    """Writes a snapshot of the index and empties the log."""
    with open_existing(directory) as db:
        db.persist()
    click.echo("persisted", err=True)


@cli.command()
@click.argument("directory")
@click.option("--in-place", is_flag=True,
              help="Compact inside the live files instead of rewriting them (needs no room "
                   "for a second copy; falls back to rewriting while another process has "
                   "the store open).")
def vacuum(directory, in_place):
    """Compacts the store and reports the space reclaimed."""
    require_store(directory)
    before = sum(store_files.file_sizes(directory).values())
    if in_place:
        os.environ["TARNIX_VACUUM_IN_PLACE"] = "1"
    else:
        os.environ.pop("TARNIX_VACUUM_IN_PLACE", None)
    with open_existing(directory) as db:
        with _stderr_console().status("vacuuming"):
            start = time.perf_counter()
            db.vacuum()
            seconds = time.perf_counter() - start
        items = db.count()
    after = sum(store_files.file_sizes(directory).values())
    click.echo(f"vacuumed {items} items in {seconds:.2f} s: {before} -> {after} bytes, "
               f"{before - after} reclaimed")


@cli.command()
@click.argument("directory")
@click.option("--color-by", help="Colour the points by this metadata field.")
@click.option("--filter", "filter_json", help="Only the items this JSON filter selects.")
@click.option("--out", default="tarnix-view.html", show_default=True,
              help="Where to write the page.")
@click.option("--serve", is_flag=True,
              help="Serve the page on 127.0.0.1 and redraw it on every reload.")
@click.option("--port", type=click.IntRange(0, 65535), default=8765, show_default=True)
@click.option("--refresh", "refresh_s", type=click.IntRange(1), default=None,
              help="With --serve: reload the page every so many seconds.")
@click.option("--timeout", "timeout_s", type=click.FloatRange(0.001), default=600,
              show_default=True, help="Seconds to wait for the projection.")
def view(directory, color_by, filter_json, out, serve, port, refresh_s, timeout_s):
    """Writes a self-contained HTML page with a rotatable 3-D scatter of the store.

    The store is opened with the projection on and no debounce delay, and the page is
    written as soon as the projection has taken in every item."""
    require_store(directory)
    try:
        from tarnix_tools import viewer
    except ImportError as e:
        raise StoreError(f'the viewer needs its extra: pip install "tarnix[viewer]" ({e})')
    filter_text = _filter_text(filter_json) if filter_json else None
    if serve:
        viewer.serve(directory, color_by=color_by, filter_json=filter_text, port=port,
                     timeout_ms=int(timeout_s * 1000), refresh_s=refresh_s)
        return
    seconds, points = viewer.write_page(directory, out, color_by=color_by,
                                        filter_json=filter_text,
                                        timeout_ms=int(timeout_s * 1000))
    click.echo(f"wrote {out}: {points} points in {seconds:.2f} s", err=True)


def main(argv=None):
    try:
        cli.main(args=argv, prog_name="tarnix", standalone_mode=False)
    except click.exceptions.Abort:
        click.echo("tarnix: aborted", err=True)
        raise SystemExit(1)
    except click.ClickException as e:
        click.echo(f"tarnix: {e.format_message()}", err=True)
        raise SystemExit(1)
    except StoreError as e:
        click.echo(f"tarnix: {e}", err=True)
        raise SystemExit(1)
    except (ValueError, TypeError, OverflowError, OSError) as e:
        click.echo(f"tarnix: {e}", err=True)
        raise SystemExit(1)
    except KeyboardInterrupt:
        click.echo("tarnix: interrupted", err=True)
        raise SystemExit(130)


if __name__ == "__main__":
    main()
