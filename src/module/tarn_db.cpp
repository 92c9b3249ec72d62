#include "module/tarn_db.h"

#include <memory>
#include <utility>

#include "module/convert.h"
#include "module/errors.h"
#include "module/pca_stream.h"
#include "store/store.h"

namespace tarnix::py {
namespace {

struct TarnDBObject {
  PyObject_HEAD
  Store* store;
};

Store& store_of(PyObject* self) { return *reinterpret_cast<TarnDBObject*>(self)->store; }

template <size_t... I>
bool parse_into(PyObject* args, PyObject* kwargs, const char* format, const char** names,
                PyObject** out, std::index_sequence<I...>) {
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names),
                                     &out[I]...);
}

// Parses positional and keyword arguments into borrowed objects (null when omitted); the
// conversions then run in parameter order.
template <size_t N>
bool parse_args(PyObject* args, PyObject* kwargs, const char* format, const char* (&names)[N],
                PyObject* (&out)[N - 1]) {
  return parse_into(args, kwargs, format, names, out, std::make_index_sequence<N - 1>{});
}

PyObject* none_or_raise(const Status& s) {
  if (!s.ok()) return raise_status(s);
  Py_RETURN_NONE;
}

// Errors of the log-writing methods are reported as the base OSError.
PyObject* none_or_raise_plain(const Status& s) { return none_or_raise(s.as_plain_os_error()); }

PyObject* tarn_db_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"storage_path", "pca_enabled", nullptr};
    PyObject* raw[2] = {nullptr, nullptr};
    if (!parse_args(args, kwargs, "O|O:TarnDB", names, raw)) return nullptr;
    std::string path;
    bool pca_enabled = true;
    if (!to_string(raw[0], "storage_path", &path)) return nullptr;
    if (raw[1] && !to_bool(raw[1], "pca_enabled", &pca_enabled)) return nullptr;

    StoreOptions options;
    options.pca_enabled = pca_enabled;
    Result<std::unique_ptr<Store>> store = Store::open(path, options);
    if (!store.ok()) return raise_status(store.status());
    PyRef self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    reinterpret_cast<TarnDBObject*>(self.get())->store = store->release();
    return self.release();
  });
}

void tarn_db_dealloc(PyObject* self) {
  delete reinterpret_cast<TarnDBObject*>(self)->store;
  Py_TYPE(self)->tp_free(self);
}

PyObject* add(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"id", "vector", "metadata", "skip_index", "ttl", nullptr};
    PyObject* raw[5] = {};
    if (!parse_args(args, kwargs, "OOO|OO:add", names, raw)) return nullptr;
    std::string id, metadata;
    std::vector<float> vector;
    std::optional<std::vector<std::string>> skip_index;
    std::optional<uint32_t> ttl;
    if (!to_string(raw[0], "id", &id) || !to_float_vector(raw[1], "vector", &vector) ||
        !to_string(raw[2], "metadata", &metadata) ||
        !to_optional_string_list(raw[3], "skip_index", &skip_index) ||
        !to_optional_u32(raw[4], "ttl", &ttl)) {
      return nullptr;
    }
    return none_or_raise_plain(store_of(self).add(id, vector, metadata, skip_index, ttl));
  });
}

PyObject* add_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"ids", "vectors", "metadatas", "skip_index", "ttl", nullptr};
    PyObject* raw[5] = {};
    if (!parse_args(args, kwargs, "OOO|OO:add_batch", names, raw)) return nullptr;
    std::vector<std::string> ids, metadatas;
    std::vector<std::vector<float>> vectors;
    std::optional<std::vector<std::string>> skip_index;
    std::optional<uint32_t> ttl;
    if (!to_string_list(raw[0], "ids", &ids) || !to_float_vectors(raw[1], "vectors", &vectors) ||
        !to_string_list(raw[2], "metadatas", &metadatas) ||
        !to_optional_string_list(raw[3], "skip_index", &skip_index) ||
        !to_optional_u32(raw[4], "ttl", &ttl)) {
      return nullptr;
    }
    return none_or_raise_plain(
        store_of(self).add_batch(ids, vectors, metadatas, skip_index, ttl));
  });
}

// Parses the search arguments shared by search and search_json.
struct SearchArgs {
  std::vector<float> vector;
  uint32_t k = 0;
  std::optional<Json> filter;
  bool load_metadata = true;
};

bool parse_search_args(PyObject* vector, PyObject* k, PyObject* filter_json,
                       PyObject* load_metadata, SearchArgs* out) {
  std::optional<std::string> filter_text;
  if (!to_float_vector(vector, "vector", &out->vector) || !to_u32(k, "k", &out->k) ||
      !to_optional_string(filter_json, "filter_json", &filter_text) ||
      (load_metadata && !to_bool(load_metadata, "load_metadata", &out->load_metadata))) {
    return false;
  }
  if (filter_text) {
    Result<Json> parsed = Store::parse_filter_argument(*filter_text);
    if (!parsed.ok()) {
      raise_status(parsed.status());
      return false;
    }
    out->filter = std::move(parsed).value();
  }
  return true;
}

// Runs a search inside the gate as a reader, entered with the interpreter lock held and
// left after the search, which runs without it.
template <class T, class F>
Result<T> search_without_gil(Store& store, F&& run) {
  Result<T> result = Status::internal("search did not run");
  GateReader inside(store.gate());
  Py_BEGIN_ALLOW_THREADS
  try {
    result = run();
  } catch (const std::bad_alloc&) {
    result = Status::internal("out of memory");
  } catch (const std::exception& e) {
    result = Status::internal(e.what());
  }
  inside.release();
  Py_END_ALLOW_THREADS
  return result;
}

PyObject* search(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"vector", "k", "filter_json", "load_metadata", nullptr};
    PyObject* raw[4] = {};
    if (!parse_args(args, kwargs, "OO|OO:search", names, raw)) return nullptr;
    SearchArgs a;
    if (!parse_search_args(raw[0], raw[1], raw[2], raw[3], &a)) return nullptr;
    Store& store = store_of(self);
    const Json* filter = a.filter ? &*a.filter : nullptr;
    Result<std::vector<SearchHit>> hits = search_without_gil<std::vector<SearchHit>>(
        store, [&] { return store.search(a.vector, a.k, filter, a.load_metadata); });
    if (!hits.ok()) return raise_status(hits.status());
    PyRef list(PyList_New(static_cast<Py_ssize_t>(hits->size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < hits->size(); ++i) {
      const SearchHit& h = (*hits)[i];
      PyRef id(new_str(h.id));
      PyRef score(PyFloat_FromDouble(h.score));
      PyRef metadata(new_str(h.metadata));
      if (!id || !score || !metadata) return nullptr;
      PyObject* tuple = PyTuple_Pack(3, id.get(), score.get(), metadata.get());
      if (!tuple) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple);
    }
    return list.release();
  });
}

PyObject* search_json(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"vector", "k", "filter_json", nullptr};
    PyObject* raw[3] = {};
    if (!parse_args(args, kwargs, "OO|O:search_json", names, raw)) return nullptr;
    SearchArgs a;
    if (!parse_search_args(raw[0], raw[1], raw[2], nullptr, &a)) return nullptr;
    Store& store = store_of(self);
    const Json* filter = a.filter ? &*a.filter : nullptr;
    Result<std::string> text = search_without_gil<std::string>(
        store, [&] { return store.search_json(a.vector, a.k, filter); });
    if (!text.ok()) return raise_status(text.status());
    return new_str(*text);
  });
}

// Methods taking one filter text.
template <class F>
PyObject* with_filter_arg(PyObject* args, PyObject* kwargs, const char* format, F&& f) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"filter_json", nullptr};
    PyObject* raw[1] = {};
    if (!parse_args(args, kwargs, format, names, raw)) return nullptr;
    std::string filter;
    if (!to_string(raw[0], "filter_json", &filter)) return nullptr;
    return f(filter);
  });
}

PyObject* exists(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_filter_arg(args, kwargs, "O:exists", [&](const std::string& filter) -> PyObject* {
    Result<bool> found = store_of(self).exists(filter);
    if (!found.ok()) return raise_status(found.status());
    return PyBool_FromLong(*found);
  });
}

PyObject* count(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Result<uint64_t> n = store_of(self).count();
    if (!n.ok()) return raise_status(n.status());
    return PyLong_FromUnsignedLongLong(*n);
  });
}

PyObject* delete_item(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"id", nullptr};
    PyObject* raw[1] = {};
    if (!parse_args(args, kwargs, "O:delete", names, raw)) return nullptr;
    std::string id;
    if (!to_string(raw[0], "id", &id)) return nullptr;
    return none_or_raise_plain(store_of(self).remove(id));
  });
}

PyObject* delete_by_filter(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_filter_arg(
      args, kwargs, "O:delete_by_filter", [&](const std::string& filter) -> PyObject* {
        Result<uint64_t> n = store_of(self).delete_by_filter(filter);
        if (!n.ok()) return raise_status(n.status().as_plain_os_error());
        return PyLong_FromUnsignedLongLong(*n);
      });
}

PyObject* get_all_items(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_filter_arg(
      args, kwargs, "O:get_all_items", [&](const std::string& filter) -> PyObject* {
        Result<std::vector<std::string>> texts = store_of(self).get_all_items(filter);
        if (!texts.ok()) return raise_status(texts.status());
        PyRef list(PyList_New(static_cast<Py_ssize_t>(texts->size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < texts->size(); ++i) {
          PyObject* s = new_str((*texts)[i]);
          if (!s) return nullptr;
          PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
        }
        return list.release();
      });
}

PyObject* get_all_items_json(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_filter_arg(
      args, kwargs, "O:get_all_items_json", [&](const std::string& filter) -> PyObject* {
        Result<std::string> text = store_of(self).get_all_items_json(filter);
        if (!text.ok()) return raise_status(text.status());
        return new_str(*text);
      });
}

// One pause of the wait for the projection: the host's own time.sleep(0.01), which sleeps
// without the interpreter lock and runs the signal handlers on every interpreter (PyPy's
// PyErr_CheckSignals does not), so a wait of minutes neither freezes the other threads nor
// ignores Ctrl-C. False (with the handler's exception set) ends the wait.
bool pause_for_projection() {
  static PyObject* sleep = nullptr;  // kept for the life of the process
  if (!sleep) {
    PyRef time(PyImport_ImportModule("time"));
    if (!time) return false;
    sleep = PyObject_GetAttrString(time.get(), "sleep");
    if (!sleep) return false;
  }
  PyRef slept(PyObject_CallFunction(sleep, "d", 0.01));
  return slept && PyErr_CheckSignals() == 0;
}

PyObject* stream_pca_3d(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"batch_size", "wait_for_latest", "timeout_ms",
                                  "force_refresh", "filter_json", nullptr};
    PyObject* raw[5] = {};
    if (!parse_args(args, kwargs, "|OOOOO:stream_pca_3d", names, raw)) return nullptr;
    PcaStreamRequest request;
    if ((raw[0] && !to_u32(raw[0], "batch_size", &request.batch_size)) ||
        (raw[1] && !to_bool(raw[1], "wait_for_latest", &request.wait_for_latest)) ||
        (raw[2] && !to_u64(raw[2], "timeout_ms", &request.timeout_ms)) ||
        (raw[3] && !to_bool(raw[3], "force_refresh", &request.force_refresh)) ||
        !to_optional_string(raw[4], "filter_json", &request.filter_json)) {
      return nullptr;
    }
    Result<std::unique_ptr<PcaStream>> stream =
        store_of(self).stream_pca_3d(request, pause_for_projection);
    if (!stream.ok()) {
      // An interrupted wait: the signal handler's exception stands.
      if (PyErr_Occurred()) return nullptr;
      return raise_status(stream.status());
    }
    return wrap_pca_stream(std::move(stream).value());
  });
}

PyObject* aggregate_unique(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"filter_json", "group_by_field", "sort_by_field",
                                  "output_fields", "descending", nullptr};
    PyObject* raw[5] = {};
    if (!parse_args(args, kwargs, "OOOO|O:aggregate_unique", names, raw)) return nullptr;
    std::string filter, group_by, sort_by;
    std::vector<std::string> output_fields;
    bool descending = true;
    if (!to_string(raw[0], "filter_json", &filter) ||
        !to_string(raw[1], "group_by_field", &group_by) ||
        !to_string(raw[2], "sort_by_field", &sort_by) ||
        !to_string_list(raw[3], "output_fields", &output_fields) ||
        (raw[4] && !to_bool(raw[4], "descending", &descending))) {
      return nullptr;
    }
    Result<std::string> text =
        store_of(self).aggregate_unique(filter, group_by, sort_by, output_fields, descending);
    if (!text.ok()) return raise_status(text.status());
    return new_str(*text);
  });
}

PyObject* persist(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return none_or_raise(store_of(self).persist()); });
}

PyObject* vacuum(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return none_or_raise(store_of(self).vacuum()); });
}

PyObject* prewarm_delete_path(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Result<bool> built = store_of(self).prewarm_delete_path();
    if (!built.ok()) return raise_status(built.status());
    return PyBool_FromLong(*built);
  });
}

#define KW_METHOD(name, fn, doc) \
  { name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), \
    METH_VARARGS | METH_KEYWORDS, doc }
#define NOARGS_METHOD(name, fn, doc) \
  { name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_NOARGS, doc }

PyMethodDef tarn_db_methods[] = {
    KW_METHOD("add", add, "add($self, id, vector, metadata, skip_index=None, ttl=None)\n--\n\n"),
    KW_METHOD("add_batch", add_batch,
              "add_batch($self, ids, vectors, metadatas, skip_index=None, ttl=None)\n--\n\n"),
    KW_METHOD("search", search,
              "search($self, vector, k, filter_json=None, load_metadata=True)\n--\n\n"),
    KW_METHOD("search_json", search_json,
              "search_json($self, vector, k, filter_json=None)\n--\n\n"),
    KW_METHOD("exists", exists, "exists($self, filter_json)\n--\n\n"),
    NOARGS_METHOD("count", count, "count($self)\n--\n\n"),
    KW_METHOD("delete", delete_item, "delete($self, id)\n--\n\n"),
    KW_METHOD("delete_by_filter", delete_by_filter, "delete_by_filter($self, filter_json)\n--\n\n"),
    KW_METHOD("get_all_items", get_all_items,
              "get_all_items($self, filter_json)\n--\n\n"
              "Retrieves all items (metadata) matching the specific filter.\n"
              "This avoids performing a vector search when only metadata filtering is "
              "required."),
    KW_METHOD("get_all_items_json", get_all_items_json,
              "get_all_items_json($self, filter_json)\n--\n\n"
              "Retrieves all items as a single JSON array string to reduce Python object "
              "churn."),
    KW_METHOD("stream_pca_3d", stream_pca_3d,
              "stream_pca_3d($self, batch_size=512, wait_for_latest=False, timeout_ms=0, "
              "force_refresh=False, filter_json=None)\n--\n\n"),
    KW_METHOD("aggregate_unique", aggregate_unique,
              "aggregate_unique($self, filter_json, group_by_field, sort_by_field, "
              "output_fields, descending=True)\n--\n\n"
              "Aggregates unique items based on a grouping field."),
    NOARGS_METHOD("persist", persist, "persist($self)\n--\n\n"),
    NOARGS_METHOD("vacuum", vacuum, "vacuum($self)\n--\n\n"),
    NOARGS_METHOD("prewarm_delete_path", prewarm_delete_path,
                  "prewarm_delete_path($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject tarn_db = {PyVarObject_HEAD_INIT(nullptr, 0)};

}  // namespace

PyTypeObject* tarn_db_type() {
  tarn_db.tp_name = "tarnix.TarnDB";
  tarn_db.tp_basicsize = sizeof(TarnDBObject);
  tarn_db.tp_flags = Py_TPFLAGS_DEFAULT;
  tarn_db.tp_doc = "TarnDB(storage_path, pca_enabled=True)\n--\n\n";
  tarn_db.tp_new = tarn_db_new;
  tarn_db.tp_dealloc = tarn_db_dealloc;
  tarn_db.tp_methods = tarn_db_methods;
  if (PyType_Ready(&tarn_db) < 0) return nullptr;
  return &tarn_db;
}

}  // namespace tarnix::py
