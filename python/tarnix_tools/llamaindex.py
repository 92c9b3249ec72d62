"""A LlamaIndex vector store over a Tarnix store (extra ``[llamaindex]``).

    from llama_index.core import StorageContext, VectorStoreIndex
    from tarnix_tools.llamaindex import TarnixLlamaVectorStore
    store = TarnixLlamaVectorStore(path="/tmp/nodes")
    index = VectorStoreIndex.from_documents(
        documents, storage_context=StorageContext.from_defaults(vector_store=store))

Embeddings are normalised to unit length and scaled by sqrt(dim) / 4 before they are stored
(see tarnix_tools.adapter_common), so the one-byte codes keep the cosine ranking; the
similarities of a query are estimated cosine similarities. Metadata filters map onto the
store's filter language: ==, !=, >, >=, <, <=, in, nin and is_empty (taken as "the field is
absent"), combined with and, or and not. The operators over arrays and text (any, all,
contains, text_match) have no counterpart there and raise ValueError.
"""

import json
from typing import Any, List, Optional, Sequence

from llama_index.core.bridge.pydantic import PrivateAttr
from llama_index.core.schema import BaseNode
from llama_index.core.vector_stores.types import (
    BasePydanticVectorStore,
    FilterCondition,
    FilterOperator,
    MetadataFilter,
    MetadataFilters,
    VectorStoreQuery,
    VectorStoreQueryMode,
    VectorStoreQueryResult,
)
from llama_index.core.vector_stores.utils import metadata_dict_to_node, node_to_metadata_dict

import tarnix

from tarnix_tools import adapter_common as common

# The node's own serialisation: stored, never indexed (it is long and never filtered on).
NODE_KEY = "_node"
REF_DOC_KEY = "ref_doc_id"

_OPERATORS = {
    FilterOperator.EQ: "$eq", FilterOperator.NE: "$ne", FilterOperator.GT: "$gt",
    FilterOperator.GTE: "$gte", FilterOperator.LT: "$lt", FilterOperator.LTE: "$lte",
    FilterOperator.IN: "$in", FilterOperator.NIN: "$nin",
}


def to_store_filter(filters: Optional[MetadataFilters]) -> Optional[dict]:
    """The store's filter for LlamaIndex metadata filters (over the node's metadata)."""
    if filters is None or not filters.filters:
        return None
    parts = []
    for f in filters.filters:
        if isinstance(f, MetadataFilters):
            sub = to_store_filter(f)
            if sub is not None:
                parts.append(sub)
            continue
        field = common.FIELD_PREFIX + f.key
        if f.operator == FilterOperator.IS_EMPTY:
            parts.append({"$not": {field: {"$exists": True}}})
        elif f.operator in _OPERATORS:
            parts.append({field: {_OPERATORS[f.operator]: f.value}})
        else:
            raise ValueError(f"the filter operator {f.operator.value!r} is not supported")
    condition = filters.condition or FilterCondition.AND
    if condition == FilterCondition.OR:
        return {"$or": parts}
    if condition == FilterCondition.NOT:
        return {"$not": {"$and": parts}}
    return {"$and": parts}


class TarnixLlamaVectorStore(BasePydanticVectorStore):
    stores_text: bool = True
    flat_metadata: bool = False
    path: str

    _db: Any = PrivateAttr()

    def __init__(self, path: str, pca_enabled: bool = False, **kwargs: Any):
        super().__init__(path=str(path), **kwargs)
        self._db = tarnix.TarnDB(str(path), pca_enabled)

    @classmethod
    def class_name(cls) -> str:
        return "TarnixLlamaVectorStore"

    @property
    def client(self) -> Any:
        return self._db

    def close(self) -> None:
        self._db.close()

    # ---- Writing. ----
    def add(self, nodes: Sequence[BaseNode], **kwargs: Any) -> List[str]:
        ids, vectors, metas = [], [], []
        for node in nodes:
            embedding = node.get_embedding()
            record = {common.FIELD_PREFIX + k: v for k, v in (node.metadata or {}).items()}
            record.update({
                "id": node.node_id,
                REF_DOC_KEY: node.ref_doc_id or "None",
                NODE_KEY: node_to_metadata_dict(node, remove_text=False,
                                                flat_metadata=self.flat_metadata),
            })
            ids.append(node.node_id)
            vectors.append(common.to_code_range(embedding))
            try:
                metas.append(json.dumps(record, allow_nan=False))
            except (TypeError, ValueError) as e:
                raise TypeError(f"node metadata must be JSON-serialisable: {e}") from None
        if ids:
            self._db.add_batch(ids, vectors, metas, skip_index=[NODE_KEY])
        return ids

    def delete(self, ref_doc_id: str, **delete_kwargs: Any) -> None:
        self._db.delete_by_filter(json.dumps({REF_DOC_KEY: ref_doc_id}))

    def delete_nodes(self, node_ids: Optional[List[str]] = None,
                     filters: Optional[MetadataFilters] = None, **delete_kwargs: Any) -> None:
        selected = self._selection(node_ids, filters)
        if selected is None:
            raise ValueError("delete_nodes needs node_ids or filters; clear() empties the store")
        self._db.delete_by_filter(json.dumps(selected))

    def clear(self) -> None:
        self._db.delete_by_filter("{}")

    # ---- Reading. ----
    @staticmethod
    def _selection(node_ids=None, filters=None, doc_ids=None):
        parts = []
        if node_ids is not None:
            parts.append({"_id": {"$in": list(node_ids)}})
        if doc_ids is not None:
            parts.append({REF_DOC_KEY: {"$in": list(doc_ids)}})
        mapped = to_store_filter(filters)
        if mapped is not None:
            parts.append(mapped)
        return {"$and": parts} if parts else None

    @staticmethod
    def _node(text):
        record = json.loads(text)
        return metadata_dict_to_node(record[NODE_KEY])

    def get_nodes(self, node_ids: Optional[List[str]] = None,
                  filters: Optional[MetadataFilters] = None) -> List[BaseNode]:
        selected = self._selection(node_ids, filters) or {}
        nodes = [self._node(t) for t in self._db.get_all_items(json.dumps(selected))]
        if node_ids is not None:
            order = {n: i for i, n in enumerate(node_ids)}
            nodes.sort(key=lambda n: order.get(n.node_id, len(order)))
        return nodes

    def query(self, query: VectorStoreQuery, **kwargs: Any) -> VectorStoreQueryResult:
        if query.mode != VectorStoreQueryMode.DEFAULT:
            raise ValueError(f"query mode {query.mode.value!r} is not supported")
        if query.query_embedding is None:
            raise ValueError("the query needs query_embedding")
        k = query.similarity_top_k
        if k <= 0 or self._db.count() == 0:
            return VectorStoreQueryResult(nodes=[], similarities=[], ids=[])
        # The index passes empty id lists for "no restriction".
        selected = self._selection(query.node_ids or None, query.filters, query.doc_ids or None)
        vector = common.to_code_range(query.query_embedding)
        hits = self._db.search(vector, k, json.dumps(selected) if selected else None)
        nodes, sims, ids = [], [], []
        for item_id, distance, text in hits:
            nodes.append(self._node(text))
            sims.append(1.0 - common.cosine_distance(distance, len(vector)))
            ids.append(item_id)
        return VectorStoreQueryResult(nodes=nodes, similarities=sims, ids=ids)
