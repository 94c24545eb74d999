// The LegendreBasisEvaluator class: DOFs converted once by set_dofs, then
// evaluated at single times, at every time of a float64 buffer (as a list),
// or at every time of an array (as an array), the batches with the
// interpreter lock released.

#include <cstdint>
#include <limits>
#include <string>

#include "arrays.hpp"
#include "instances.hpp"
#include "module_contents.hpp"
#include "native_arrays.hpp"
#include "pickle_state.hpp"
#include "piecewise_polynomials/batch_evaluation.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"
#include "space_members.hpp"

namespace quorvel::python {

namespace {

struct EvaluatorPayload {
  static constexpr FixedString class_name = "LegendreBasisEvaluator";
  LegendreBasis basis;
  DofMatrix dofs;  // n_t rows, degree + 1 columns: always fits the basis
};

using Order = Bounded<0, std::numeric_limits<std::int64_t>::max()>;

using Ctor = Constructor<EvaluatorPayload, Messages::original,
                         [](std::uint32_t degree, std::uint32_t n_t, double T) {
                           const LegendreBasis basis(degree, n_t, T);
                           (void)checked_storage_count(basis.dof_count(), sizeof(double));
                           DofMatrix zeros = DofMatrix::Zero(static_cast<Eigen::Index>(n_t),
                                                             static_cast<Eigen::Index>(degree) + 1);
                           return EvaluatorPayload{basis, std::move(zeros)};
                         },
                         "degree", "n_t", "T">;

using SetDofs =
    Method<EvaluatorPayload, "set_dofs", Messages::original, Access::exclusive,
           [](EvaluatorPayload& self, DoubleSequence legendre_vals) {
             const std::uint64_t expected = self.basis.dof_count();
             const std::uint64_t given = legendre_vals.array.size();
             if (given != expected) {
               fail(messages::set_dofs_length + std::to_string(given) +
                    "\n right: " + std::to_string(expected));
             }
             // Converted whole and checked before the stored DOFs change, so a failure keeps the
             // old ones; the copy itself cannot fail.
             legendre_vals.array.copy_to(self.dofs.data(), static_cast<std::size_t>(given));
           },
           "legendre_vals">;

using EvaluateAt =
    Method<EvaluatorPayload, "evaluate_at", Messages::original, Access::shared,
           [](const EvaluatorPayload& self, double t) { return self.basis.evaluate(self.dofs, t); },
           "t">;

using EvaluateDerivativeAt =
    Method<EvaluatorPayload, "evaluate_derivative_at", Messages::original, Access::shared,
           [](const EvaluatorPayload& self, double t) {
             return self.basis.evaluate_derivative(self.dofs, t);
           },
           "t">;

// The times read in place with the lock released; the shared borrow keeps set_dofs
// away from the DOFs meanwhile, and the view stays held until the end.
BulkArray<double> evaluate_buffer(const EvaluatorPayload& self, const InputArray& times,
                                  std::uint64_t order) {
  BulkArray<double> values(checked_storage_count(times.size(), sizeof(double)));
  const std::vector<std::int64_t> strides = c_order_strides(times.shape(), sizeof(double));
  ReleasedLock unlocked;
  evaluate_strided(self.basis, self.dofs, order, times.strided(),
                   reinterpret_cast<std::byte*>(values.data()), strides, global_thread_pool());
  return values;
}

using EvaluateMany = Method<EvaluatorPayload, "evaluate_many", Messages::original, Access::shared,
                            [](const EvaluatorPayload& self, Float64Buffer t_values) {
                              return evaluate_buffer(self, t_values.array, 0);
                            },
                            "t_values">;

using EvaluateDerivativeMany =
    Method<EvaluatorPayload, "evaluate_derivative_many", Messages::original, Access::shared,
           [](const EvaluatorPayload& self, Float64Buffer t_values) {
             return evaluate_buffer(self, t_values.array, 1);
           },
           "t_values">;

// The array evaluation: times of any real dtype, shape and strides, read in
// place when they are float64; results into a new array or the caller's `out`.
// Everything that can be refused is refused before the first write.
PyObject* evaluate_array(const EvaluatorPayload& self, Object t_values, Order derivative,
                         Option<Object> out) {
  const InputArray times = InputArray::real_array(t_values.ptr, "t_values");
  const auto order = static_cast<std::uint64_t>(derivative.value);
  if (out.given && out.given->ptr != Py_None) {
    OutputArray results(out.given->ptr, "out", times.shape());
    if (self.basis.n_t == 0 && times.size() > 0) {
      raise(PyExc_ValueError, messages::no_intervals_to_evaluate);
    }
    {
      ReleasedLock unlocked;
      evaluate_strided(self.basis, self.dofs, order, times.strided(), results.data(),
                       results.strides(), global_thread_pool());
    }
    return results.release();
  }
  if (self.basis.n_t == 0 && times.size() > 0) {
    raise(PyExc_ValueError, messages::no_intervals_to_evaluate);
  }
  // A new array in the times' order: Fortran for Fortran-ordered times, else C.
  const bool fortran = times.fortran_ordered();
  BulkArray<double> values(checked_storage_count(times.size(), sizeof(double)));
  const std::vector<std::int64_t> strides =
      fortran ? fortran_order_strides(times.shape(), sizeof(double))
              : c_order_strides(times.shape(), sizeof(double));
  {
    ReleasedLock unlocked;
    evaluate_strided(self.basis, self.dofs, order, times.strided(),
                     reinterpret_cast<std::byte*>(values.data()), strides, global_thread_pool());
  }
  const std::vector<Py_ssize_t> shape(times.shape().begin(), times.shape().end());
  return take_array(std::move(values), shape, fortran ? MemoryOrder::fortran : MemoryOrder::c)
      .release();
}

using Evaluate = Method<EvaluatorPayload, "evaluate", Messages::named, Access::shared,
                        [](const EvaluatorPayload& self, Object t_values, Option<Order> derivative,
                           Option<Object> out) {
                          return evaluate_array(self, t_values, derivative.value_or({0}), out);
                        },
                        "t_values", "*", "derivative=0", "out=None">;

// ---------------------------------------------------------------- as a Python object
//
// A pickle holds the constructor call and, as its state, the stored DOFs as
// little-endian float64 bytes: exact and portable.

using Space = SpaceMembers<EvaluatorPayload>;

std::span<const double> stored_dofs(const EvaluatorPayload& self) {
  return {self.dofs.data(), static_cast<std::size_t>(self.dofs.size())};
}

using Reduce = Method<EvaluatorPayload, "__reduce__", Messages::original, Access::shared,
                      [](const EvaluatorPayload& self) {
                        Ref call = Ref::checked(Space::constructor_call(self));
                        Ref state = Ref::checked(to_little_endian_bytes(stored_dofs(self)));
                        Ref with_state = Ref::checked(PyTuple_Pack(1, state.get()));
                        return check(PySequence_Concat(call.get(), with_state.get()));
                      }>;

using SetState =
    Method<EvaluatorPayload, "__setstate__", Messages::named, Access::exclusive,
           [](EvaluatorPayload& self, Object state) {
             read_little_endian_state(
                 state.ptr, {self.dofs.data(), static_cast<std::size_t>(self.dofs.size())});
           },
           "state">;

using Dofs = Property<EvaluatorPayload, "dofs", Access::shared, [](const EvaluatorPayload& self) {
  const std::span<const double> dofs = stored_dofs(self);
  return take_array(BulkArray<double>(dofs.begin(), dofs.end())).release();
}>;

PyMethodDef methods[] = {
    SetDofs::def(),
    EvaluateAt::def(),
    EvaluateDerivativeAt::def(),
    EvaluateMany::def(),
    EvaluateDerivativeMany::def(),
    Evaluate::def<
        "The stored expansion, or its time derivative of order `derivative`, at every time\n"
        "of `t_values`, as a float64 numpy.ndarray of the same shape (0-d for a scalar).\n\n"
        "t_values: anything numpy.asarray takes that holds real numbers; float64 arrays are\n"
        "read in place, whatever their strides. derivative: an int >= 0; orders of 2 or\n"
        "more above the degree give 0.0. out: a writable float64 ndarray of t_values' shape, "
        "filled and\n"
        "returned; nothing is written to it when the call fails.\n\n"
        "Orders 0 and 1 equal evaluate_at and evaluate_derivative_at bit for bit. The\n"
        "interpreter lock is released while computing; 2048 or more times run on the\n"
        "worker pool.">(),
    Reduce::def<"Pickling support: the constructor call, and the stored DOFs as state.">(),
    SetState::def<"Pickling support: stores the DOFs of a state made by __reduce__, n_dofs\n"
                  "little-endian float64 values as bytes.">(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* create_legendre_basis_evaluator_class() {
  return create_class<EvaluatorPayload, Ctor>(
      "quorvel.LegendreBasisEvaluator",
      "LegendreBasisEvaluator(degree, n_t, T)\n--\n\nClass to evaluate legendre basis more often "
      "without copying the dofs from python each time",
      methods,
      {Space::properties(
           Dofs::def<"A new float64 NumPy array holding a copy of the stored DOFs, in the "
                     "layout of\nset_dofs (index c + n_t * i); changing it leaves the evaluator "
                     "as it is.">()),
       &Repr<EvaluatorPayload, &Space::repr>::call});
}

}  // namespace quorvel::python
