#pragma once
// The array boundary: every array of doubles that crosses into quorvel.
//
// BufferView is the one holder of a buffer view. InputArray is the one input
// type, made by one of three policies: the float64 buffers of the original
// batch methods (their acceptance rules and BufferErrors), the sequences of
// floats of the original methods (read in place where exact, else converted
// item by item), and the array-likes of the array API (float64 read in place,
// anything else converted once by numpy.asarray). OutputArray is a caller's
// `out=` array. Arrays that quorvel creates leave through native_arrays.hpp;
// NumPy is reached through the buffer protocol and ordinary calls only.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "conversion.hpp"
#include "handle.hpp"
#include "support/strided_arrays.hpp"

namespace quorvel::python {

/// @brief Whether a buffer format names float64 items in this host's byte order:
/// "d" alone, with "@" or "=", or with the prefix naming this host's byte order.
[[nodiscard]] bool is_native_float64_format(const char* format) noexcept;

/// @brief A held buffer view, released on every path, and movable: the Py_buffer lives on
/// the heap, so an exporter that points shape or strides into the view itself (as
/// array.array and PyBuffer_FillInfo do) stays valid when the holder moves.
class BufferView {
 public:
  BufferView() noexcept = default;

  /// @brief The view of @p exporter for @p flags; on refusal the exporter's error is
  /// raised (PythonError).
  static BufferView request(PyObject* exporter, int flags);
  /// @brief The same, but an empty holder (the error cleared) on refusal.
  static BufferView request_or_none(PyObject* exporter, int flags);

  explicit operator bool() const noexcept { return view_ != nullptr; }
  [[nodiscard]] const Py_buffer& get() const noexcept { return *view_; }
  /// @brief True when the items are float64 in this machine's byte order.
  [[nodiscard]] bool holds_native_float64() const noexcept;
  /// @brief The shape, with the buffer protocol's defaults (a 1-D run of bytes without one).
  [[nodiscard]] std::vector<std::int64_t> shape() const;
  /// @brief The byte strides, with the protocol's default (C order without gaps).
  [[nodiscard]] std::vector<std::int64_t> strides() const;

 private:
  struct Release {
    void operator()(Py_buffer* view) const noexcept;
  };
  std::unique_ptr<Py_buffer, Release> view_;
};

/// @brief An array of doubles to read: held in place, or converted once and owned.
class InputArray {
 public:
  /// @brief The t_values of evaluate_many: a buffer with shape, strides and a native
  /// float64 format, 8-byte aligned, else the BufferError of the first rule it breaks
  /// ("shape is null", "strides is null", "buffer contents are not compatible with f64",
  /// "buffer contents are insufficiently aligned for f64"); the exporter's own errors pass
  /// unchanged. Indirect (suboffset) buffers are copied once.
  static InputArray float64_buffer(PyObject* obj, std::string_view name = {});

  /// @brief A sequence of floats (legendre_vals): a one-dimensional, C-contiguous float64
  /// numpy.ndarray, array.array or memoryview in native byte order is read in place
  /// (exact types only: their iteration yields exactly the buffer's items); any other
  /// object is converted item by item, with the sequence conversion's errors (a str:
  /// "Can't extract `str` to `Vec`"; no sequence: "'TYPE' object cannot be cast as
  /// 'Sequence'"; an item's own error).
  static InputArray sequence(PyObject* obj, std::string_view name = {});

  /// @brief Any array-like of real numbers, in place when it exports native float64
  /// items, else through numpy.asarray(obj, numpy.float64). Complex, string, object and
  /// other non-real input raises TypeError "NAME must be real, got DTYPE".
  static InputArray real_array(PyObject* obj, std::string_view name);

  [[nodiscard]] const std::vector<std::int64_t>& shape() const noexcept { return shape_; }
  [[nodiscard]] std::uint64_t size() const noexcept { return size_; }
  /// @brief True when the items lie in Fortran order without gaps (and not also in C order).
  [[nodiscard]] bool fortran_ordered() const noexcept;
  [[nodiscard]] StridedDoubles<const std::byte> strided() const noexcept {
    return {data_, shape_, strides_};
  }
  /// @brief Copies the first count items of a contiguous array (count <= size()), bit for bit.
  void copy_to(double* out, std::size_t count) const noexcept;

 private:
  InputArray() = default;
  void describe(std::vector<std::int64_t> shape, std::vector<std::int64_t> strides,
                const void* data);
  void describe_items();

  BufferView view_;
  Ref converted_;              // NumPy's float64 copy, when the argument needed one
  std::vector<double> items_;  // the items converted one by one, when read that way
  std::vector<std::int64_t> shape_;
  std::vector<std::int64_t> strides_;
  std::uint64_t size_ = 0;
  const std::byte* data_ = nullptr;
};

/// @brief An argument read by one of InputArray's policies, with the errors of a family.
template <auto Policy, Messages family>
struct Input {
  InputArray array;
};
template <auto Policy, Messages family>
struct Converter<Input<Policy, family>> {
  static constexpr Messages messages = family;
  static Input<Policy, family> convert(PyObject* obj, std::string_view name) {
    return {Policy(obj, name)};
  }
};

/// @brief A float64 sequence argument of the original methods (legendre_vals).
using DoubleSequence = Input<&InputArray::sequence, Messages::original>;
/// @brief A float64 buffer argument of the original batch methods (t_values).
using Float64Buffer = Input<&InputArray::float64_buffer, Messages::original>;
/// @brief An array-like of reals of the array API.
using RealArray = Input<&InputArray::real_array, Messages::named>;

/// @brief A caller's `out=` array: a writable float64 numpy.ndarray of a given shape,
/// any strides that keep its elements apart.
class OutputArray {
 public:
  /// @brief TypeError or ValueError naming NAME unless @p out is such an array.
  OutputArray(PyObject* out, std::string_view name, const std::vector<std::int64_t>& shape);

  [[nodiscard]] std::byte* data() const noexcept {
    return static_cast<std::byte*>(view_.get().buf);
  }
  [[nodiscard]] const std::vector<std::int64_t>& strides() const noexcept { return strides_; }
  /// @brief The array, as a new reference.
  [[nodiscard]] PyObject* release() noexcept { return array_.release(); }

 private:
  Ref array_;
  BufferView view_;
  std::vector<std::int64_t> strides_;
};

/// @brief numpy.asarray, importing NumPy on first use (a borrowed reference).
PyObject* numpy_asarray_function();

/// @brief A shape as a new tuple of ints.
PyObject* shape_tuple(const std::vector<std::int64_t>& shape);

}  // namespace quorvel::python
