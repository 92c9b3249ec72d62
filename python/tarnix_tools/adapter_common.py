"""What the LangChain and LlamaIndex stores share: how embeddings become vectors inside
the store's code range, how documents are laid out as metadata, and how metadata filters
reach the stored fields.

Vectors are kept as one byte per component over [-1, 1]. Embeddings are normalised to unit
length (so that the squared distance between them is 2 - 2 cos, and ranking by distance is
ranking by cosine similarity) and then multiplied by sqrt(dim) / 4: a unit vector's
components are about 1/sqrt(dim) in size, so this spreads them over a quarter of the range
and uses the byte's resolution while clipping almost nothing (a component would have to be
four times its typical size). The factor depends only on the dimension, so stored vectors
and queries always share it. A store distance D then estimates the cosine distance as
D / (2 * (127.5 * sqrt(dim) / 4) ** 2).

Each item's metadata object holds "id" (the item's id, so that listings carry it), "text"
(the document) and every user field under the prefix "m." (so that user fields named "id"
or "text" cannot collide, and filters reach them as top-level fields).
"""

import json
import math
import uuid

FIELD_PREFIX = "m."
TEXT_KEY = "text"


def scale_for(dim):
    return math.sqrt(dim) / 4.0


def to_code_range(embedding):
    norm = math.sqrt(sum(x * x for x in embedding))
    if not math.isfinite(norm):
        raise ValueError("the embedding has a component that is not a finite number")
    factor = scale_for(len(embedding)) / norm if norm else 0.0
    return [x * factor for x in embedding]


def cosine_distance(store_distance, dim):
    unit = 127.5 * scale_for(dim)
    return store_distance / (2.0 * unit * unit)


def new_id():
    return str(uuid.uuid4())


def item_metadata(item_id, text, metadata):
    record = {FIELD_PREFIX + key: value for key, value in (metadata or {}).items()}
    record["id"] = item_id
    record[TEXT_KEY] = text
    try:
        return json.dumps(record, allow_nan=False)
    except (TypeError, ValueError) as e:
        raise TypeError(f"metadata must be JSON-serialisable: {e}") from None


def split_metadata(text):
    """(id, document text, user metadata) of a stored metadata object."""
    record = json.loads(text)
    user = {key[len(FIELD_PREFIX):]: value for key, value in record.items()
            if key.startswith(FIELD_PREFIX)}
    return record.get("id"), record.get(TEXT_KEY, ""), user


def user_filter(filter_value):
    """Moves a filter written over user fields onto the stored fields. The filter language
    is the store's: field conditions, the operator objects, and "$and", "$or", "$not"."""
    if filter_value is None:
        return None
    if not isinstance(filter_value, dict):
        raise ValueError("a filter must be a JSON object (a dict)")
    out = {}
    for key, value in filter_value.items():
        if key in ("$and", "$or") and isinstance(value, list):
            out[key] = [user_filter(v) for v in value]
        elif key == "$not" and isinstance(value, dict):
            out[key] = user_filter(value)
        elif key.startswith("$"):
            out[key] = value
        else:
            out[FIELD_PREFIX + key] = value
    return out


def ids_filter(ids):
    return json.dumps({"_id": {"$in": list(ids)}})
