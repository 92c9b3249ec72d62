"""Tools around the tarnix extension: the `tarnix` command line, a point-cloud viewer, and
LangChain and LlamaIndex vector stores.

The extension module `tarnix` is the store; everything here calls its public methods and
reads the store's files only to report on them. Each tool's dependencies are an extra:
``pip install "tarnix[cli]"``, ``[viewer]``, ``[langchain]``, ``[llamaindex]``.
"""

from tarnix_tools.store_files import StoreError, open_existing, store_stats

__all__ = ["StoreError", "open_existing", "store_stats"]
