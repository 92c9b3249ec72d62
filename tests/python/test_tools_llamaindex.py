"""The LlamaIndex vector store: the contract its base class documents (add, query with
filters, delete by document, get_nodes, delete_nodes, clear) and an index built on it."""

import pytest

pytest.importorskip("llama_index.core", reason="needs llama-index-core (the [llamaindex] extra)")

from llama_index.core.schema import NodeRelationship, RelatedNodeInfo, TextNode  # noqa: E402
from llama_index.core.vector_stores.types import (  # noqa: E402
    FilterCondition,
    FilterOperator,
    MetadataFilter,
    MetadataFilters,
    VectorStoreQuery,
)

from tarnix_tools.llamaindex import TarnixLlamaVectorStore  # noqa: E402


def node(i):
    n = TextNode(text=f"text {i}", id_=f"n{i}", embedding=[1.0, i / 10, (i % 3) / 3, 0.2],
                 metadata={"i": i, "kind": ["a", "b", "c"][i % 3], "id": f"user-{i}"})
    n.relationships[NodeRelationship.SOURCE] = RelatedNodeInfo(node_id=f"doc{i % 2}")
    return n


def f(key, value, op=FilterOperator.EQ):
    return MetadataFilter(key=key, value=value, operator=op)


def ids_of(result):
    return sorted(result.ids)


def test_add_query_filters_delete(tmp_path):
    store = TarnixLlamaVectorStore(path=tmp_path / "s")
    assert store.add([node(i) for i in range(12)]) == [f"n{i}" for i in range(12)]

    result = store.query(VectorStoreQuery(query_embedding=[1.0, 0.5, 2 / 3, 0.2],
                                          similarity_top_k=3))
    assert result.ids[0] == "n5" and result.similarities[0] == pytest.approx(1, abs=1e-3)
    assert result.similarities == sorted(result.similarities, reverse=True)
    back = result.nodes[0]
    assert (back.text, back.metadata["id"], back.ref_doc_id) == ("text 5", "user-5", "doc1")

    def q(filters, **kw):
        return ids_of(store.query(VectorStoreQuery(query_embedding=[1, 0, 0, 0],
                                                   similarity_top_k=12, filters=filters, **kw)))

    assert q(MetadataFilters(filters=[f("kind", "b"), f("i", 6, FilterOperator.GT)])) == [
        "n10", "n7"]
    either = q(MetadataFilters(filters=[f("i", 1, FilterOperator.LTE), f("kind", "c")],
                               condition=FilterCondition.OR))
    assert either == sorted(["n0", "n1", "n2", "n5", "n8", "n11"])
    assert q(MetadataFilters(filters=[f("kind", ["a", "c"], FilterOperator.NIN)])) == sorted(
        ["n1", "n4", "n7", "n10"])
    assert q(MetadataFilters(filters=[f("kind", "a")], condition=FilterCondition.NOT)) == sorted(
        f"n{i}" for i in range(12) if i % 3)
    assert q(MetadataFilters(filters=[f("missing", None, FilterOperator.IS_EMPTY),
                                      f("i", [3, 4], FilterOperator.IN)])) == ["n3", "n4"]
    assert q(None, doc_ids=["doc0"], node_ids=["n2", "n3", "n4"]) == ["n2", "n4"]
    with pytest.raises(ValueError, match="not supported"):
        q(MetadataFilters(filters=[f("kind", "a", FilterOperator.TEXT_MATCH)]))

    store.delete("doc1")
    assert sorted(n.node_id for n in store.get_nodes()) == sorted(f"n{i}" for i in range(0, 12, 2))
    assert [n.node_id for n in store.get_nodes(node_ids=["n4", "n2", "n3"])] == ["n4", "n2"]
    store.delete_nodes(filters=MetadataFilters(filters=[f("i", 4, FilterOperator.LT)]))
    assert sorted(n.node_id for n in store.get_nodes()) == ["n10", "n4", "n6", "n8"]
    store.clear()
    assert store.get_nodes() == []
    store.close()


def test_an_index_built_on_the_store_retrieves_and_survives_reopening(tmp_path):
    from llama_index.core import Document, StorageContext, VectorStoreIndex
    from llama_index.core.embeddings import MockEmbedding

    store = TarnixLlamaVectorStore(path=tmp_path / "s")
    docs = [Document(text=f"document number {i}", id_=f"d{i}", metadata={"n": i})
            for i in range(5)]
    index = VectorStoreIndex.from_documents(
        docs, storage_context=StorageContext.from_defaults(vector_store=store),
        embed_model=MockEmbedding(embed_dim=8))
    got = index.as_retriever(similarity_top_k=5).retrieve("number")
    assert sorted(n.node.metadata["n"] for n in got) == [0, 1, 2, 3, 4]
    store.close()
    again = TarnixLlamaVectorStore(path=tmp_path / "s")
    assert len(again.get_nodes()) == 5
    again.close()
