#pragma once
// Shared by GraphStore's reduction methods and IncrementalReducer.finalize: the report dict
// and the tuples a reduction returns.
#include "egraph_engine/recording_engine.hpp"
#include "optimizer/reduced_store.hpp"
#include "py_ref.hpp"

namespace vantrel::py {

/// The report as a dict of its six counts; new reference or nullptr.
PyObject* report_to_py(const ReductionReport& report);
/// The tuple (new GraphStore of class `store_type`, report dict), or the dict alone when
/// `with_store` is false.
PyObject* reduced_to_py(PyTypeObject* store_type, ReducedStore reduced, bool with_store);
/// The tuple (new GraphStore, report dict, output id list) of the mapped reductions.
PyObject* mapped_to_py(PyTypeObject* store_type, ReducedStore reduced);
/// That tuple with the explanation of the recorded engine run appended (`explain=True`).
PyObject* with_explanation(PyObject* mapped, const egraph::RecordingEngine& engine);
/// The origins as a list, one entry per source node: the id of the reduced node that computes
/// it, a (stage id, member index) tuple, or None; new reference or nullptr.
PyObject* origins_to_py(const std::vector<Origin>& origins);
/// The mapped tuple of `reduced`, then the explanation (when `recording` is given), then the
/// origins (when `provenance`).
PyObject* mapped_result(PyTypeObject* store_type, ReducedStore reduced, const egraph::RecordingEngine* recording,
                        bool provenance);

}  // namespace vantrel::py
