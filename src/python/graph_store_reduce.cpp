// GraphStore's reduction methods: convert the keyword-only arguments, reduce a copy of the
// store with the shared default engine through the core entry points, and hand back a new
// store and the report dict. The store a method is called on is never changed.
#include "args.hpp"
#include "convert.hpp"
#include "default_engine.hpp"
#include "engine_args.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "graph_store_type.hpp"
#include "optimizer/reduced_store.hpp"
#include "reduce_common.hpp"

namespace vantrel::py {

PyObject* report_to_py(const ReductionReport& report) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [name, count] : report_to_map(report)) {
    Ref value = Ref::steal(PyLong_FromUnsignedLongLong(count));
    if (!value || PyDict_SetItemString(dict.get(), name.c_str(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* reduced_to_py(PyTypeObject* store_type, ReducedStore reduced, bool with_store) {
  Ref report = Ref::steal(report_to_py(reduced.report));
  if (!report) return nullptr;
  if (!with_store) return report.release();
  Ref store = Ref::steal(wrap_store(store_type, std::move(reduced.store)));
  if (!store) return nullptr;
  return PyTuple_Pack(2, store.get(), report.get());
}

PyObject* with_explanation(PyObject* mapped, const egraph::RecordingEngine& engine) {
  Ref explanation = Ref::steal(explanation_to_py(engine));
  if (!explanation) return nullptr;
  return PyTuple_Pack(4, PyTuple_GET_ITEM(mapped, 0), PyTuple_GET_ITEM(mapped, 1), PyTuple_GET_ITEM(mapped, 2),
                      explanation.get());
}

PyObject* mapped_to_py(PyTypeObject* store_type, ReducedStore reduced) {
  Ref ids = Ref::steal(ids_to_py(reduced.output_ids));
  if (!ids) return nullptr;
  Ref pair = Ref::steal(reduced_to_py(store_type, std::move(reduced), true));
  if (!pair) return nullptr;
  return PyTuple_Pack(3, PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1), ids.get());
}

PyObject* origins_to_py(const std::vector<Origin>& origins) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(origins.size())));
  if (!list) return nullptr;
  for (std::size_t k = 0; k < origins.size(); ++k) {
    const Origin& o = origins[k];
    PyObject* item = nullptr;
    if (o.node == kNoId) {
      item = Py_NewRef(Py_None);
    } else if (o.member == kNoId) {
      item = PyLong_FromUnsignedLong(o.node);
    } else {
      item = Py_BuildValue("(kk)", static_cast<unsigned long>(o.node), static_cast<unsigned long>(o.member));
    }
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
  }
  return list.release();
}

PyObject* mapped_result(PyTypeObject* store_type, ReducedStore reduced, const egraph::RecordingEngine* recording,
                        bool provenance) {
  Ref origins;
  if (provenance) {
    origins = Ref::steal(origins_to_py(reduced.origins));
    if (!origins) return nullptr;
  }
  Ref mapped = Ref::steal(mapped_to_py(store_type, std::move(reduced)));
  if (!mapped) return nullptr;
  if (recording != nullptr) {
    mapped = Ref::steal(with_explanation(mapped.get(), *recording));
    if (!mapped) return nullptr;
  }
  if (!provenance) return mapped.release();
  const Py_ssize_t n = PyTuple_GET_SIZE(mapped.get());
  Ref out = Ref::steal(PyTuple_New(n + 1));
  if (!out) return nullptr;
  for (Py_ssize_t k = 0; k < n; ++k) PyTuple_SET_ITEM(out.get(), k, Py_NewRef(PyTuple_GET_ITEM(mapped.get(), k)));
  PyTuple_SET_ITEM(out.get(), n, origins.release());
  return out.release();
}

namespace {

const char* const kReduceNames[] = {"maximal_fusion", "outputs"};
const char* const kOutputsNames[] = {"outputs"};
const char* const kMappedNames[] = {"outputs", "maximal_fusion", "rules", "limits", "extract", "explain", "provenance"};

/// The common body: `fusion` is null when the method has no `maximal_fusion` parameter.
PyObject* reduce_store(PyObject* self, PyObject* fusion, PyObject* outputs, bool with_store) {
  bool maximal = false;
  if (fusion != nullptr && !bool_from_py(fusion, "maximal_fusion", maximal)) return nullptr;
  std::optional<NodeIds> ids;
  IdNarrowing given;
  if (!optional_ids_from_py(outputs, "outputs", ids, given)) return nullptr;

  const GraphStore& store = *reinterpret_cast<GraphStoreObject*>(self)->store;
  const RewriteEngine& engine = default_engine();
  if (!ids) {
    return reduced_to_py(Py_TYPE(self), waiting_without_gil([&] { return reduce_with(store, engine, maximal); }),
                         with_store);
  }
  auto result = waiting_without_gil([&] { return reduce_with_outputs(store, *ids, engine, maximal); });
  if (!result) return map_err(result.error(), given);
  return reduced_to_py(Py_TYPE(self), std::move(result).value(), with_store);
}

}  // namespace

PyObject* gs_reduce(VANTREL_FASTCALL_ARGS) {
  static const ArgSpec spec{"GraphStore.reduce", kReduceNames, 2, 0, 0};
  PyObject* a[2];
  if (!bind_args(spec, args, nargsf, kwnames, a)) return nullptr;
  return guarded(self, [&]() -> PyObject* { return reduce_store(self, a[0], a[1], true); });
}

PyObject* gs_reduction_report(VANTREL_FASTCALL_ARGS) {
  static const ArgSpec spec{"GraphStore.reduction_report", kOutputsNames, 1, 0, 0};
  PyObject* a[1];
  if (!bind_args(spec, args, nargsf, kwnames, a)) return nullptr;
  return guarded(self, [&]() -> PyObject* { return reduce_store(self, nullptr, a[0], false); });
}

// `reduce_incremental`: the one-shot form of incremental reduction has the result of a plain
// reduction with the default fusion rule, so it runs exactly that.
PyObject* gs_reduce_one_shot(VANTREL_FASTCALL_ARGS) {
  static const ArgSpec spec{"GraphStore.reduce_incremental", kOutputsNames, 1, 0, 0};
  PyObject* a[1];
  if (!bind_args(spec, args, nargsf, kwnames, a)) return nullptr;
  return guarded(self, [&]() -> PyObject* { return reduce_store(self, nullptr, a[0], true); });
}

PyObject* gs_reduce_mapped(VANTREL_FASTCALL_ARGS) {
  static const ArgSpec spec{"GraphStore.reduce_mapped", kMappedNames, 7, 0, 1};
  PyObject* a[7];
  if (!bind_args(spec, args, nargsf, kwnames, a)) return nullptr;
  return guarded(self, [&]() -> PyObject* {
    // Everything Python is read before the lock is released: `outputs` is required, and
    // converted and checked as `reduce` does.
    bool maximal = false;
    if (a[1] != nullptr && !bool_from_py(a[1], "maximal_fusion", maximal)) return nullptr;
    NodeIds ids;
    IdNarrowing given;
    if (!ids_from_py(a[0], "outputs", ids, given)) return nullptr;
    ChosenEngine chosen;
    if (!engine_from_py(a[2], a[3], a[4], chosen)) return nullptr;
    bool explain = false;
    if (a[5] != nullptr && !bool_from_py(a[5], "explain", explain)) return nullptr;
    bool provenance = false;
    if (a[6] != nullptr && !bool_from_py(a[6], "provenance", provenance)) return nullptr;
    const GraphStore& store = *reinterpret_cast<GraphStoreObject*>(self)->store;
    const egraph::RecordingEngine recording(chosen.egg());
    const RewriteEngine& engine = explain ? static_cast<const RewriteEngine&>(recording) : chosen.get();
    // The caller's reference to `self` keeps the store alive while the lock is released.
    auto result = without_gil([&] { return reduce_with_outputs(store, ids, engine, maximal, nullptr, provenance); });
    if (!result) return map_err(result.error(), given);
    return mapped_result(Py_TYPE(self), std::move(result).value(), explain ? &recording : nullptr, provenance);
  });
}

}  // namespace vantrel::py
