// The Python class Structure: one immutable core Structure per instance.
#pragma once

#include "python/py_ref.hpp"

#include "core/structure.hpp"

namespace kelvara::py {

/// The class object, created on first use and shared thereafter (borrowed).
PyTypeObject* structure_type();
/// A new Structure instance that owns `value`; null with an exception set on failure.
PyObject* wrap_structure(Structure&& value);
/// Wraps a core result: the structure, or ValueError with the message text.
PyObject* wrap_result(Result<Structure>&& result);
/// The core value held by an instance (`self` must be a Structure).
const Structure& borrow_structure(PyObject* self);

}  // namespace kelvara::py
