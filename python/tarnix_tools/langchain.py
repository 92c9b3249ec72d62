"""A LangChain `VectorStore` over a Tarnix store (extra ``[langchain]``).

    from tarnix_tools.langchain import TarnixVectorStore
    store = TarnixVectorStore("/tmp/docs", embedding=my_embeddings)
    store.add_texts(["a text"], metadatas=[{"source": "x", "year": 2024}])
    store.similarity_search("query", k=4, filter={"year": {"$gte": 2020}})

Embeddings are normalised to unit length and scaled by sqrt(dim) / 4 before they are stored
(see tarnix_tools.adapter_common), so the one-byte codes keep the cosine ranking. Scores of
similarity_search_with_score are estimated cosine distances (0 identical, 2 opposite);
relevance scores are 1 - distance / 2. Filters use the store's filter language over the
metadata fields: {"year": 2024}, {"year": {"$gt": 2020}}, {"tag": {"$in": ["a", "b"]}},
"$and", "$or", "$not" (top-level fields only, no dotted paths).
"""

import json
from typing import Any, Callable, Iterable, List, Optional, Sequence, Tuple

from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores import VectorStore
from langchain_core.vectorstores.utils import maximal_marginal_relevance

import tarnix

from tarnix_tools import adapter_common as common


class TarnixVectorStore(VectorStore):
    def __init__(self, path: str, embedding: Embeddings, *, pca_enabled: bool = False):
        self._path = str(path)
        self._embedding = embedding
        self._db = tarnix.TarnDB(self._path, pca_enabled)

    # ---- Lifetime. ----
    def close(self) -> None:
        self._db.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    @property
    def db(self) -> "tarnix.TarnDB":
        """The underlying store."""
        return self._db

    # ---- Writing. ----
    def add_texts(self, texts: Iterable[str], metadatas: Optional[List[dict]] = None, *,
                  ids: Optional[List[Optional[str]]] = None, **kwargs: Any) -> List[str]:
        texts = list(texts)
        if not texts:
            return []
        if metadatas is not None and len(metadatas) != len(texts):
            raise ValueError("metadatas must have one entry per text")
        if ids is not None and len(ids) != len(texts):
            raise ValueError("ids must have one entry per text")
        ids = [i if i else common.new_id() for i in (ids or [None] * len(texts))]
        metas = [common.item_metadata(i, t, (metadatas or [{}] * len(texts))[n])
                 for n, (i, t) in enumerate(zip(ids, texts))]
        vectors = [common.to_code_range(e) for e in self._embedding.embed_documents(texts)]
        self._db.add_batch(ids, vectors, metas)
        return ids

    def delete(self, ids: Optional[List[str]] = None, **kwargs: Any) -> Optional[bool]:
        if ids is None:
            raise ValueError("delete needs the ids to delete")
        for item_id in ids:
            self._db.delete(item_id)
        return True

    # ---- Reading. ----
    def get_by_ids(self, ids: Sequence[str], /) -> List[Document]:
        ids = list(ids)
        if not ids:
            return []
        found = {}
        for text in self._db.get_all_items(common.ids_filter(ids)):
            item_id, content, metadata = common.split_metadata(text)
            found[item_id] = Document(page_content=content, metadata=metadata, id=item_id)
        return [found[i] for i in dict.fromkeys(ids) if i in found]

    def _hits(self, embedding, k, filter, fetch=None):
        if k <= 0 or self._db.count() == 0:
            return []
        filter_text = json.dumps(common.user_filter(filter)) if filter is not None else None
        vector = common.to_code_range(embedding)
        out = []
        for item_id, distance, text in self._db.search(vector, fetch or k, filter_text):
            _, content, metadata = common.split_metadata(text)
            doc = Document(page_content=content, metadata=metadata, id=item_id)
            out.append((doc, common.cosine_distance(distance, len(vector))))
        return out

    def similarity_search_with_score(self, query: str, k: int = 4,
                                     filter: Optional[dict] = None,
                                     **kwargs: Any) -> List[Tuple[Document, float]]:
        return self._hits(self._embedding.embed_query(query), k, filter)

    def similarity_search_by_vector_with_score(self, embedding: List[float], k: int = 4,
                                               filter: Optional[dict] = None,
                                               **kwargs: Any) -> List[Tuple[Document, float]]:
        return self._hits(embedding, k, filter)

    def similarity_search(self, query: str, k: int = 4, filter: Optional[dict] = None,
                          **kwargs: Any) -> List[Document]:
        return [doc for doc, _ in self.similarity_search_with_score(query, k, filter)]

    def similarity_search_by_vector(self, embedding: List[float], k: int = 4,
                                    filter: Optional[dict] = None,
                                    **kwargs: Any) -> List[Document]:
        return [doc for doc, _ in self._hits(embedding, k, filter)]

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        return lambda distance: max(0.0, 1.0 - distance / 2.0)

    def max_marginal_relevance_search_by_vector(
            self, embedding: List[float], k: int = 4, fetch_k: int = 20,
            lambda_mult: float = 0.5, filter: Optional[dict] = None,
            **kwargs: Any) -> List[Document]:
        # The store keeps one-byte codes and hands back no vectors; the candidates' texts
        # are embedded again for the diversity term.
        hits = self._hits(embedding, k, filter, fetch=max(k, fetch_k))
        if not hits:
            return []
        import numpy as np

        candidates = self._embedding.embed_documents([doc.page_content for doc, _ in hits])
        chosen = maximal_marginal_relevance(np.array(embedding, dtype=float), candidates,
                                            lambda_mult=lambda_mult, k=k)
        return [hits[i][0] for i in chosen]

    def max_marginal_relevance_search(self, query: str, k: int = 4, fetch_k: int = 20,
                                      lambda_mult: float = 0.5, filter: Optional[dict] = None,
                                      **kwargs: Any) -> List[Document]:
        return self.max_marginal_relevance_search_by_vector(
            self._embedding.embed_query(query), k, fetch_k, lambda_mult, filter)

    @classmethod
    def from_texts(cls, texts: List[str], embedding: Embeddings,
                   metadatas: Optional[List[dict]] = None, *,
                   ids: Optional[List[str]] = None, path: Optional[str] = None,
                   **kwargs: Any) -> "TarnixVectorStore":
        if path is None:
            raise ValueError("from_texts needs path=, the store's directory")
        store = cls(path, embedding, **kwargs)
        store.add_texts(texts, metadatas, ids=ids)
        return store
