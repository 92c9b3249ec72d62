"""Type stubs for the tarnix extension module."""
from typing import Iterator, List, Optional, Sequence, Tuple

class TarnDB:
    """An open store: a directory of vectors, metadata, an index and a write-ahead log."""

    def __init__(self, storage_path: str, pca_enabled: bool = True) -> None: ...
    def add(
        self,
        id: str,
        vector: Sequence[float],
        metadata: str,
        skip_index: Optional[Sequence[str]] = None,
        ttl: Optional[int] = None,
    ) -> None: ...
    def add_batch(
        self,
        ids: Sequence[str],
        vectors: Sequence[Sequence[float]],
        metadatas: Sequence[str],
        skip_index: Optional[Sequence[str]] = None,
        ttl: Optional[int] = None,
    ) -> None: ...
    def search(
        self,
        vector: Sequence[float],
        k: int,
        filter_json: Optional[str] = None,
        load_metadata: bool = True,
    ) -> List[Tuple[str, float, str]]: ...
    def search_json(
        self, vector: Sequence[float], k: int, filter_json: Optional[str] = None
    ) -> str: ...
    def exists(self, filter_json: str) -> bool: ...
    def count(self) -> int: ...
    def delete(self, id: str) -> None: ...
    def delete_by_filter(self, filter_json: str) -> int: ...
    def get_all_items(self, filter_json: str) -> List[str]:
        """Retrieves all items (metadata) matching the specific filter.
        This avoids performing a vector search when only metadata filtering is required."""
    def get_all_items_json(self, filter_json: str) -> str:
        """Retrieves all items as a single JSON array string to reduce Python object churn."""
    def stream_pca_3d(
        self,
        batch_size: int = 512,
        wait_for_latest: bool = False,
        timeout_ms: int = 0,
        force_refresh: bool = False,
        filter_json: Optional[str] = None,
    ) -> "Pca3DStream": ...
    def aggregate_unique(
        self,
        filter_json: str,
        group_by_field: str,
        sort_by_field: str,
        output_fields: Sequence[str],
        descending: bool = True,
    ) -> str:
        """Aggregates unique items based on a grouping field."""
    def persist(self) -> None: ...
    def vacuum(self) -> None: ...
    def prewarm_delete_path(self) -> bool: ...

class Pca3DStream:
    """Batches of projected points (id, x, y, z, metadata); created only by the store.

    The points are those the projection worker had published when the stream was made;
    the metadata is read as each batch is, and is "{}" for items deleted since."""

    def __iter__(self) -> Iterator[List[Tuple[str, float, float, float, str]]]: ...
    def __next__(self) -> List[Tuple[str, float, float, float, str]]: ...
