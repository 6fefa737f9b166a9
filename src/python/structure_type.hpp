// The Python class Structure: one immutable core Structure per instance.
#pragma once

#include "python/module_state.hpp"
#include "python/py_ref.hpp"

#include "core/model/structure.hpp"

namespace kelvara::py {

/// A new instance of the module's Structure class that owns `value`; null with an
/// exception set on failure.
PyObject* wrap_structure(const ModuleState& state, Structure&& value);
/// Wraps a core result: the structure, or ValueError with the message text.
PyObject* wrap_result(const ModuleState& state, Result<Structure>&& result);
/// The core value held by an instance (`self` must be a Structure).
const Structure& borrow_structure(PyObject* self);

}  // namespace kelvara::py
