#include "sparse_results.hpp"

#include <utility>
#include <variant>

#include "native_arrays.hpp"

namespace quorvel::python {

namespace {

LazyAttribute csr_array_type{"scipy.sparse", "csr_array"};

template <class Index>
PyObject* typed_csr_array(PyObject* csr_array, CompressedRows<Index>&& matrix) {
  Ref shape = Ref::checked(Py_BuildValue("(KK)", static_cast<unsigned long long>(matrix.nrows),
                                         static_cast<unsigned long long>(matrix.ncols)));
  Ref data = take_array(std::move(matrix.values));
  Ref indices = take_array(std::move(matrix.columns));
  Ref indptr = take_array(std::move(matrix.row_offsets));
  Ref arrays = Ref::checked(PyTuple_Pack(3, data.get(), indices.get(), indptr.get()));
  Ref keywords = Ref::checked(Py_BuildValue("(s)", "shape"));
  PyObject* const arguments[] = {arrays.get(), shape.get()};
  // SciPy keeps index arrays of the width that fits_32_bit_indices chose as they
  // are (no copy; only int64 arrays of a matrix whose dimensions fit int32 get a
  // read-only scan of their largest values).
  Ref matrix_object = Ref::checked(PyObject_Vectorcall(csr_array, arguments, 1, keywords.get()));
  // Sorted and free of duplicates by construction; saying so spares SciPy the
  // scan over every entry that it would otherwise make on first use.
  if (PyObject_SetAttrString(matrix_object.get(), "has_canonical_format", Py_True) < 0) {
    throw PythonError{};
  }
  return matrix_object.release();
}

}  // namespace

PyObject* csr_array_class() { return csr_array_type.get(); }

PyObject* to_csr_array(PyObject* csr_array, AnyCompressedRows&& matrix) {
  return std::visit([&](auto& typed) { return typed_csr_array(csr_array, std::move(typed)); },
                    matrix);
}

PyObject* to_triplets(const AnyCompressedRows& matrix) {
  // Written straight into the three lists, one list at a time.
  const auto count = static_cast<Py_ssize_t>(stored_entries(matrix));
  Ref rows = Ref::checked(PyList_New(count));
  Ref cols = Ref::checked(PyList_New(count));
  Ref values = Ref::checked(PyList_New(count));
  std::visit(
      [&](const auto& typed) {
        Py_ssize_t k = 0;
        for (std::uint64_t row = 0; row < typed.nrows; ++row) {
          const auto end = static_cast<Py_ssize_t>(typed.row_offsets[row + 1]);
          if (k == end) {
            continue;
          }
          // The entries of a row share one int object for its index.
          PyObject* index = PyLong_FromUnsignedLongLong(row);
          set_list_item(rows.get(), k, index);
          while (++k < end) {
            set_list_item(rows.get(), k, Py_NewRef(index));
          }
        }
        for (k = 0; k < count; ++k) {
          set_list_item(cols.get(), k,
                        PyLong_FromUnsignedLongLong(static_cast<std::uint64_t>(typed.columns[k])));
        }
        for (k = 0; k < count; ++k) {
          set_list_item(values.get(), k, PyFloat_FromDouble(typed.values[k]));
        }
      },
      matrix);
  return check(PyTuple_Pack(3, rows.get(), cols.get(), values.get()));
}

}  // namespace quorvel::python
