"""LangChain over Tarnix (needs the [langchain] extra). The fake embeddings keep it offline;
use any LangChain `Embeddings` instead.

    python examples/langchain_store.py
"""
import tempfile

from langchain_core.embeddings import DeterministicFakeEmbedding

from tarnix_tools.langchain import TarnixVectorStore

with tempfile.TemporaryDirectory() as tmp:
    with TarnixVectorStore(f"{tmp}/docs", DeterministicFakeEmbedding(size=64)) as store:
        store.add_texts(["the cat sat", "a dog barked", "the cat slept"],
                        metadatas=[{"animal": "cat", "year": 2021},
                                   {"animal": "dog", "year": 2022},
                                   {"animal": "cat", "year": 2024}],
                        ids=["c1", "d1", "c2"])
        for doc, distance in store.similarity_search_with_score(
                "the cat sat", k=2, filter={"animal": "cat"}):
            print(f"{doc.id}: {doc.page_content!r} cosine distance {distance:.3f}")
        print(store.get_by_ids(["d1"]))
        store.delete(["d1"])
        retriever = store.as_retriever(search_kwargs={"k": 1, "filter": {"year": {"$gt": 2022}}})
        print(retriever.invoke("cat"))
