// The LegendreBasisEvaluator class: DOFs converted once by set_dofs, then
// evaluated at single times, at every time of a float64 buffer (as a list),
// or at every time of an array (as an array), the batches with the
// interpreter lock released.

#include <cstdint>
#include <limits>
#include <string>

#include "binding.hpp"
#include "double_arrays.hpp"
#include "float64_buffer.hpp"
#include "float64_data.hpp"
#include "module_contents.hpp"
#include "piecewise_polynomials/batch_evaluation.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"
#include "piecewise_polynomials/legendre_kernel.hpp"
#include "space_members.hpp"

namespace quorvel::python {

namespace {

struct EvaluatorPayload {
  static constexpr const char* class_name = "LegendreBasisEvaluator";
  LegendreBasis basis;
  DofMatrix dofs;
  std::uint32_t n_t;
  std::uint32_t degree;
  double h;  // basis.h(), kept so that a one-time call spares the division

  // One time; the stored DOFs always fit the basis, except with no intervals at all.
  template <bool derivative>
  [[nodiscard]] double evaluate_one(double t) const {
    if (n_t == 0) {
      return derivative ? basis.evaluate_derivative(dofs, t) : basis.evaluate(dofs, t);
    }
    const kernel::Expansion expansion{h, static_cast<double>(n_t) - 1.0, degree, dofs.data(), n_t};
    return kernel::evaluate<1, kernel::runtime_degree, derivative ? 1 : 0>(expansion, t, derivative,
                                                                           nullptr);
  }
};

using Ctor = Constructor<EvaluatorPayload,
                         [](std::uint32_t degree, std::uint32_t n_t, double T) {
                           const LegendreBasis basis{degree, n_t, T};
                           (void)checked_storage_count(basis.dof_count(), sizeof(double));
                           DofMatrix zeros = DofMatrix::Zero(static_cast<Eigen::Index>(n_t),
                                                             static_cast<Eigen::Index>(degree) + 1);
                           return EvaluatorPayload{basis, std::move(zeros), n_t, degree, basis.h()};
                         },
                         "degree", "n_t", "T">;

using SetDofs = Method<
    EvaluatorPayload, "set_dofs", Access::exclusive,
    [](EvaluatorPayload& self, DoubleSequence legendre_vals) {
      const std::uint64_t expected = self.basis.dof_count();
      if (legendre_vals.size() != expected) {
        fail(
            "assertion `left == right` failed: LegendreBasisEvaluator: set_dofs: input vector "
            "has wrong length\n  left: " +
            std::to_string(legendre_vals.size()) + "\n right: " + std::to_string(expected));
      }
      // Converted whole and checked before the stored DOFs change, so a failure keeps the
      // old ones; the copy itself cannot fail.
      legendre_vals.copy_to(self.dofs.data(), legendre_vals.size());
    },
    "legendre_vals">;

using EvaluateAt =
    Method<EvaluatorPayload, "evaluate_at", Access::shared,
           [](const EvaluatorPayload& self, double t) { return self.evaluate_one<false>(t); }, "t">;

using EvaluateDerivativeAt =
    Method<EvaluatorPayload, "evaluate_derivative_at", Access::shared,
           [](const EvaluatorPayload& self, double t) { return self.evaluate_one<true>(t); }, "t">;

// Copies the times under the lock, computes without it; the shared borrow keeps
// set_dofs away from the DOFs meanwhile, and the view stays held until the end.
template <class Batch>
BulkArray<double> evaluate_buffer(const EvaluatorPayload& self, const Float64Buffer& t_values,
                                  Batch batch) {
  const std::vector<double> times = t_values.copy();
  ReleasedLock unlocked;
  return batch(self.basis, self.dofs, std::span<const double>(times));
}

using EvaluateMany = Method<EvaluatorPayload, "evaluate_many", Access::shared,
                            [](const EvaluatorPayload& self, Float64Buffer t_values) {
                              return evaluate_buffer(self, t_values, [](const auto&... a) {
                                return evaluate_many(a...);
                              });
                            },
                            "t_values">;

using EvaluateDerivativeMany =
    Method<EvaluatorPayload, "evaluate_derivative_many", Access::shared,
           [](const EvaluatorPayload& self, Float64Buffer t_values) {
             return evaluate_buffer(
                 self, t_values, [](const auto&... a) { return evaluate_derivative_many(a...); });
           },
           "t_values">;

// The array evaluation: times of any real dtype, shape and strides, read in
// place when they are float64; results into a new array or the caller's `out`.
// Everything that can be refused is refused before the first write.
PyObject* evaluate_array(const EvaluatorPayload& self, Object t_values,
                         Bounded<0, std::numeric_limits<std::int64_t>::max()> derivative,
                         Option<Object> out) {
  const InputDoubles times(t_values.ptr, "t_values");
  const bool given_out = out.given && out.given->ptr != Py_None;
  OutputDoubles results = given_out ? OutputDoubles(out.given->ptr, "out", times.shape())
                                    : OutputDoubles(times.shape(), times.fortran_ordered());
  if (self.n_t == 0 && times.size() > 0) {
    raise(PyExc_ValueError, "cannot evaluate: the evaluator has no intervals (n_t is 0)");
  }
  {
    ReleasedLock unlocked;
    evaluate_strided(self.basis, self.dofs, static_cast<std::uint64_t>(derivative.value),
                     times.strided(), results.strided(), global_thread_pool());
  }
  return results.release();
}

using Evaluate = Method<EvaluatorPayload, "evaluate", Access::shared,
                        [](const EvaluatorPayload& self, Object t_values,
                           Option<Bounded<0, std::numeric_limits<std::int64_t>::max()>> derivative,
                           Option<Object> out) {
                          return evaluate_array(self, t_values, derivative.value_or({0}), out);
                        },
                        "t_values", "*", "derivative=0", "out=None">;

// ---------------------------------------------------------------- as a Python object
//
// A pickle holds the constructor call and, as its state, the stored DOFs as
// little-endian float64 bytes: exact and portable. The state is untrusted input,
// checked before anything changes.

using Space = SpaceMembers<EvaluatorPayload>;

std::span<const double> stored_dofs(const EvaluatorPayload& self) {
  return {self.dofs.data(), static_cast<std::size_t>(self.dofs.size())};
}

using Reduce =
    Method<EvaluatorPayload, "__reduce__", Access::shared, [](const EvaluatorPayload& self) {
      Ref call = Ref::checked(Space::constructor_call(self));
      Ref state = Ref::checked(to_little_endian_bytes(stored_dofs(self)));
      return check(Py_BuildValue("(OOO)", PyTuple_GET_ITEM(call.get(), 0),
                                 PyTuple_GET_ITEM(call.get(), 1), state.get()));
    }>;

using SetState =
    Method<EvaluatorPayload, "__setstate__", Access::exclusive,
           [](EvaluatorPayload& self, Object state) {
             if (!PyBytes_Check(state.ptr)) {
               raise_wrong_type("state", "bytes", state.ptr);
             }
             const auto count = static_cast<std::size_t>(self.dofs.size());
             const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(state.ptr));
             if (size / 8 != count || size % 8 != 0) {
               PyErr_Format(PyExc_ValueError,
                            "state must hold %zu float64 DOFs (%zu bytes), got %zu bytes", count,
                            count * 8, size);
               throw PythonError{};
             }
             from_little_endian_bytes({PyBytes_AS_STRING(state.ptr), size},
                                      {self.dofs.data(), count});
           },
           "state">;

using Dofs = Property<EvaluatorPayload, "dofs", Access::shared, [](const EvaluatorPayload& self) {
  return new_float64_array(stored_dofs(self));
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

PyGetSetDef properties[] = {
    Space::degree(),
    Space::n_t(),
    Space::T(),
    Space::n_dofs(),
    Dofs::def<"A new float64 NumPy array holding a copy of the stored DOFs, in the layout of\n"
              "set_dofs (index c + n_t * i); changing it leaves the evaluator as it is.">(),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* create_legendre_basis_evaluator_class() {
  return create_class<EvaluatorPayload, Ctor>(
      "quorvel.LegendreBasisEvaluator",
      "LegendreBasisEvaluator(degree, n_t, T)\n--\n\nClass to evaluate legendre basis more often "
      "without copying the dofs from python each time",
      methods, {properties, &Repr<EvaluatorPayload, &Space::repr>::call});
}

}  // namespace quorvel::python
