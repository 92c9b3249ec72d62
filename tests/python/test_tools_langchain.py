"""The LangChain vector store against LangChain's own standard suite (sync and async, offline
with its deterministic fake embeddings), plus what that suite does not ask: filters,
scores, MMR and reopening."""

import pytest

pytest.importorskip("langchain_core", reason="needs langchain-core (the [langchain] extra)")
pytest.importorskip("langchain_tests", reason="needs langchain-tests")
pytest.importorskip("pytest_asyncio", reason="the async half of the suite needs pytest-asyncio")

from langchain_core.documents import Document  # noqa: E402
from langchain_tests.integration_tests import VectorStoreIntegrationTests  # noqa: E402

from tarnix_tools.langchain import TarnixVectorStore  # noqa: E402


class TestTarnixStandard(VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self, tmp_path):
        store = TarnixVectorStore(tmp_path / "lc", self.get_embeddings())
        yield store
        store.close()


def test_filters_scores_mmr_and_reopen(tmp_path):
    emb = VectorStoreIntegrationTests.get_embeddings()
    texts = [f"doc {i}" for i in range(30)]
    metas = [{"year": 2000 + i, "tag": "even" if i % 2 == 0 else "odd", "id": i, "text": "x"}
             for i in range(30)]
    store = TarnixVectorStore.from_texts(texts, emb, metas, ids=[f"d{i}" for i in range(30)],
                                         path=tmp_path / "s")
    hits = store.similarity_search_with_score("doc 7", k=5)
    assert hits[0][0].page_content == "doc 7" and hits[0][1] == pytest.approx(0, abs=1e-3)
    assert [s for _, s in hits] == sorted(s for _, s in hits)
    # The byte codes keep the ranking that cosine similarity gives, up to near ties.
    query = emb.embed_query("doc 7")
    sims = [cosine(query, emb.embed_query(d.page_content)) for d, _ in hits]
    assert all(a >= b - 0.02 for a, b in zip(sims, sims[1:])), sims
    best_others = sorted((cosine(query, emb.embed_query(t)) for t in texts), reverse=True)
    assert sims[1] >= best_others[1] - 0.02
    for (_, score), sim in zip(hits, sims):
        assert score == pytest.approx(1 - sim, abs=0.03)

    odd_recent = store.similarity_search("doc 3", k=30, filter={
        "$and": [{"tag": "odd"}, {"year": {"$gte": 2020}}]})
    assert sorted(d.metadata["id"] for d in odd_recent) == [21, 23, 25, 27, 29]
    # User fields named like the stored ones stay the user's.
    assert odd_recent[0].metadata["text"] == "x"
    assert store.similarity_search("doc 3", k=3, filter={"id": 4})[0].id == "d4"

    rel = store.similarity_search_with_relevance_scores("doc 9", k=2)
    assert rel[0][1] == pytest.approx(1.0, abs=1e-3) and 0 <= rel[1][1] <= 1
    mmr = store.max_marginal_relevance_search("doc 5", k=4, fetch_k=12)
    assert len({d.id for d in mmr}) == 4 and mmr[0].id == "d5"
    store.delete(["d5"])
    store.close()
    again = TarnixVectorStore(tmp_path / "s", emb)
    assert [d.id for d in again.get_by_ids(["d6", "d5", "d4"])] == ["d6", "d4"]
    with pytest.raises(TypeError, match="JSON"):
        again.add_texts(["t"], [{"bad": object()}])
    again.close()


def cosine(a, b):
    dot = sum(x * y for x, y in zip(a, b))
    return dot / (sum(x * x for x in a) ** 0.5 * sum(y * y for y in b) ** 0.5)
