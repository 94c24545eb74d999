#pragma once
// The error boundary: every callable runs inside boundary(), which turns
// whatever the operation throws into the Python exception its caller sees.
// Internal failures become PanicException, a class created on first need
// that derives from BaseException, so that `except Exception` does not
// swallow it.

#include <exception>
#include <new>
#include <string>

#include "handle.hpp"
#include "support/failure.hpp"

namespace quorvel::python {

/// @brief Raises PanicException (created on first need) carrying message.
void raise_panic(const std::string& message);

/// @brief The PanicException class, created on first need; nullptr with the error set if
/// it cannot be created.
PyObject* panic_type();

/// @brief The module's private _panic_from_pickle, which rebuilds a pickled PanicException.
PyMethodDef& panic_reconstructor();

/// @brief Runs an operation at the call boundary: every failure becomes a set exception.
///
/// The one list of translations: a Python error already set stays; an internal failure
/// becomes PanicException; a refused allocation MemoryError; any other C++ exception is
/// an internal failure with its text; anything else one without a message.
template <class F>
PyObject* boundary(F&& operation) noexcept {
  try {
    return operation();
  } catch (const PythonError&) {
  } catch (const InternalFailure& failure) {
    raise_panic(failure.message());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    try {
      fail(error.what());
    } catch (const InternalFailure& failure) {
      raise_panic(failure.message());
    }
  } catch (...) {
    raise_panic("internal failure without a message");
  }
  return nullptr;
}

}  // namespace quorvel::python
