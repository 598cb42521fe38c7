// The native API of korvane.memory.lockless_ops.AtomicCounter: the six
// operations for native callers, no interpreter lock needed, nothing raised.
// lockless_ops publishes it in the capsule `AtomicCounter._native_api`.
#pragma once

#include <Python.h>

#include <cstdint>

namespace korvane {

inline constexpr const char* kCounterApiCapsule = "korvane.memory.lockless_ops.AtomicCounter._native_api";

struct CounterNativeApi {
  int64_t (*load)(PyObject*);
  void (*store)(PyObject*, int64_t);
  int64_t (*increment)(PyObject*, int64_t);
  int64_t (*decrement)(PyObject*, int64_t);
  int (*compare_and_swap)(PyObject*, int64_t, int64_t);
  int64_t (*fetch_and_add)(PyObject*, int64_t);
};

}  // namespace korvane
