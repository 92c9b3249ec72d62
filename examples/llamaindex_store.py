"""LlamaIndex over Tarnix (needs the [llamaindex] extra). The mock embedding keeps it
offline; use any LlamaIndex embedding model instead.

    python examples/llamaindex_store.py
"""
import tempfile

from llama_index.core import Document, StorageContext, VectorStoreIndex
from llama_index.core.embeddings import MockEmbedding
from llama_index.core.vector_stores.types import (FilterOperator, MetadataFilter,
                                                  MetadataFilters)

from tarnix_tools.llamaindex import TarnixLlamaVectorStore

with tempfile.TemporaryDirectory() as tmp:
    store = TarnixLlamaVectorStore(path=f"{tmp}/nodes")
    docs = [Document(text=f"note {i}", id_=f"doc{i}", metadata={"year": 2020 + i})
            for i in range(5)]
    index = VectorStoreIndex.from_documents(
        docs, storage_context=StorageContext.from_defaults(vector_store=store),
        embed_model=MockEmbedding(embed_dim=32))
    recent = MetadataFilters(filters=[MetadataFilter(key="year", value=2022,
                                                     operator=FilterOperator.GTE)])
    for hit in index.as_retriever(similarity_top_k=5, filters=recent).retrieve("note"):
        print(hit.node.metadata, hit.node.get_content())
    store.delete("doc4")
    print(len(store.get_nodes()), "nodes left")
    store.close()
