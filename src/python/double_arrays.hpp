#pragma once
// NumPy arrays of doubles as the array-era callables take and return them:
// any array-like argument viewed in place as float64 (converted by NumPy only
// when it is not float64 already), new float64 result arrays, and the `out=`
// arrays a caller hands in to be filled. NumPy is reached through the buffer
// protocol and ordinary calls, never through its C API.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "binding.hpp"
#include "piecewise_polynomials/batch_evaluation.hpp"

namespace quorvel::python {

/// @brief A held buffer view with its shape and byte strides; released on every path.
///
/// Not movable: an exporter may point the view's shape and strides into the
/// Py_buffer itself (array.array does), so the view stays where it was filled.
class HeldView {
 public:
  HeldView() = default;
  HeldView(HeldView&&) = delete;
  HeldView& operator=(HeldView&&) = delete;
  HeldView(const HeldView&) = delete;
  HeldView& operator=(const HeldView&) = delete;
  ~HeldView() { reset(); }

  /// @brief Releases the view, if one is held.
  void reset() noexcept;

  /// @brief Requests a view with shape, strides and format (writable if asked);
  /// false with the error cleared when the object offers none.
  bool acquire(PyObject* exporter, bool writable);

  [[nodiscard]] const Py_buffer& view() const noexcept { return view_; }
  /// @brief True when the items are float64 in this machine's byte order.
  [[nodiscard]] bool holds_native_doubles() const noexcept;
  [[nodiscard]] std::vector<std::int64_t> shape() const;
  [[nodiscard]] std::vector<std::int64_t> strides() const;

 private:
  Py_buffer view_{};
  bool held_ = false;
};

/// @brief An array-like argument of real numbers, read in place as float64.
class InputDoubles {
 public:
  /// @brief Views @p obj: in place when it exports native float64 items, else
  /// through numpy.asarray(obj, numpy.float64). Complex, string, object and other
  /// non-real input raises TypeError "NAME must be real, got DTYPE".
  InputDoubles(PyObject* obj, std::string_view name);

  [[nodiscard]] const std::vector<std::int64_t>& shape() const noexcept { return shape_; }
  [[nodiscard]] std::uint64_t size() const noexcept;
  /// @brief True when the items lie in Fortran order without gaps (and not also in C order).
  [[nodiscard]] bool fortran_ordered() const noexcept;
  [[nodiscard]] StridedDoubles<const std::byte> strided() const noexcept;

 private:
  Ref converted_;  // NumPy's float64 copy, when the argument needed one
  HeldView held_;
  std::vector<std::int64_t> shape_;
  std::vector<std::int64_t> strides_;
};

/// @brief A float64 array to write results into: a new one, or the caller's `out`.
class OutputDoubles {
 public:
  /// @brief A new float64 ndarray of @p shape, in Fortran order if asked.
  OutputDoubles(const std::vector<std::int64_t>& shape, bool fortran_order);
  /// @brief The caller's array @p out, which must be a writable float64 ndarray of
  /// @p shape (any strides): TypeError or ValueError naming NAME otherwise.
  OutputDoubles(PyObject* out, std::string_view name, const std::vector<std::int64_t>& shape);

  [[nodiscard]] StridedDoubles<std::byte> strided() noexcept;
  /// @brief The array, as a new reference.
  [[nodiscard]] PyObject* release() noexcept { return array_.release(); }

 private:
  Ref array_;
  HeldView held_;
  std::vector<std::int64_t> shape_;
  std::vector<std::int64_t> strides_;
};

/// @brief A new C-ordered ndarray of the given shape and dtype, its memory held writable.
class NewArray {
 public:
  /// @brief numpy.empty(shape, dtype); dtype is a NumPy scalar type such as numpy.int64.
  NewArray(const std::vector<std::int64_t>& shape, PyObject* dtype);

  /// @brief The first item.
  [[nodiscard]] void* data() const noexcept { return held_.view().buf; }
  /// @brief The array, as a new reference.
  [[nodiscard]] PyObject* release() noexcept { return array_.release(); }

 private:
  Ref array_;
  HeldView held_;
};

/// @brief numpy.float64, numpy.int64, numpy.ndarray and numpy.asarray, importing NumPy
/// on first use (borrowed references, kept for the process).
PyObject* numpy_float64_type();
PyObject* numpy_int64_type();
PyObject* numpy_ndarray_type();
PyObject* numpy_asarray_function();

/// @brief A shape as a tuple of ints.
PyObject* shape_tuple(const std::vector<std::int64_t>& shape);

}  // namespace quorvel::python
