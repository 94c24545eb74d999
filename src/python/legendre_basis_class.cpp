// The LegendreBasis class: evaluates a flat Legendre DOF list passed anew
// with every call, and all basis functions or their derivatives at a time.

#include <cstdint>
#include <limits>

#include "binding.hpp"
#include "double_arrays.hpp"
#include "float64_data.hpp"
#include "module_contents.hpp"
#include "piecewise_polynomials/batch_evaluation.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"
#include "space_members.hpp"

namespace quorvel::python {

namespace {

struct LegendreBasisPayload {
  static constexpr const char* class_name = "LegendreBasis";
  LegendreBasis basis;
  std::uint32_t degree;
  std::uint32_t n_t;
};

// The first n_t * (degree + 1) values of a flat sequence, copied into a DofMatrix.
DofMatrix dof_matrix_from_flat(const LegendreBasisPayload& self, const DoubleSequence& flat) {
  if (flat.size() < self.basis.dof_count()) {
    fail("Matrix view: input data buffer too small.");
  }
  DofMatrix dofs(static_cast<Eigen::Index>(self.n_t), static_cast<Eigen::Index>(self.degree) + 1);
  flat.copy_to(dofs.data(), static_cast<std::size_t>(dofs.size()));
  return dofs;
}

using Ctor = Constructor<LegendreBasisPayload,
                         [](std::uint32_t degree, std::uint32_t n_t, double T) {
                           return LegendreBasisPayload{LegendreBasis{degree, n_t, T}, degree, n_t};
                         },
                         "degree", "n_t", "T">;

using EvaluateAt =
    Method<LegendreBasisPayload, "evaluate_at", Access::shared,
           [](const LegendreBasisPayload& self, double t, DoubleSequence legendre_vals) {
             return self.basis.evaluate(dof_matrix_from_flat(self, legendre_vals), t);
           },
           "t", "legendre_vals">;

using AllBasisFunctions =
    Method<LegendreBasisPayload, "evaluate_all_basis_functions", Access::shared,
           [](const LegendreBasisPayload& self, double t) {
             return self.basis.evaluate_all_basis_functions(t);
           },
           "t">;

using AllBasisFunctionDerivatives =
    Method<LegendreBasisPayload, "evaluate_all_basis_function_derivatives", Access::shared,
           [](const LegendreBasisPayload& self, double t) {
             return self.basis.evaluate_all_basis_function_derivatives(t);
           },
           "t">;

// The basis functions of every time's interval at that time: an int64 array of
// intervals and a float64 array with one more axis for the degrees.
PyObject* tabulate(const LegendreBasisPayload& self, Object t_values,
                   Bounded<0, std::numeric_limits<std::int64_t>::max()> derivative) {
  const InputDoubles times(t_values.ptr, "t_values");
  if (self.n_t == 0 && times.size() > 0) {
    raise(PyExc_ValueError, "cannot tabulate: the basis has no intervals (n_t is 0)");
  }
  std::vector<std::int64_t> rows = times.shape();
  rows.push_back(static_cast<std::int64_t>(self.degree) + 1);
  NewArray intervals(times.shape(), numpy_int64_type());
  NewArray values(rows, numpy_float64_type());
  {
    ReleasedLock unlocked;
    tabulate_strided(self.basis, static_cast<std::uint64_t>(derivative.value), times.strided(),
                     static_cast<std::int64_t*>(intervals.data()),
                     static_cast<double*>(values.data()), global_thread_pool());
  }
  Ref first(intervals.release());
  Ref second(values.release());
  return check(PyTuple_Pack(2, first.get(), second.get()));
}

using Tabulate =
    Method<LegendreBasisPayload, "tabulate", Access::shared,
           [](const LegendreBasisPayload& self, Object t_values,
              Option<Bounded<0, std::numeric_limits<std::int64_t>::max()>> derivative) {
             return tabulate(self, t_values, derivative.value_or({0}));
           },
           "t_values", "*", "derivative=0">;

// ---------------------------------------------------------------- as a Python object

using Space = SpaceMembers<LegendreBasisPayload>;

using Reduce =
    Method<LegendreBasisPayload, "__reduce__", Access::shared,
           [](const LegendreBasisPayload& self) { return Space::constructor_call(self); }>;

PyMethodDef methods[] = {
    EvaluateAt::def(),
    AllBasisFunctions::def(),
    AllBasisFunctionDerivatives::def(),
    Reduce::def<"Pickling support: the constructor call that builds this basis again.">(),
    Tabulate::def<
        "The interval of every time of `t_values` and the time derivative of order\n"
        "`derivative` of that interval's basis functions P_0 ... P_degree there.\n\n"
        "Returns (intervals, values): an int64 array of t_values' shape (the location rule of\n"
        "evaluate_at), and a float64 array of shape t_values.shape + (degree + 1,). Order 0\n"
        "equals evaluate_all_basis_functions(t)[c + n_t * i] bit for bit, order 1\n"
        "evaluate_all_basis_function_derivatives(t)[c + n_t * i]; orders of 2 or more above\n"
        "the degree give 0.0. t_values: anything numpy.asarray takes that holds real\n"
        "numbers. The interpreter lock is released while computing.">(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    Space::degree(),
    Space::n_t(),
    Space::T(),
    Space::n_dofs(),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* create_legendre_basis_class() {
  return create_class<LegendreBasisPayload, Ctor>(
      "quorvel.LegendreBasis", "LegendreBasis(degree, n_t, T)\n--\n\n", methods,
      {properties, &Repr<LegendreBasisPayload, &Space::repr>::call});
}

}  // namespace quorvel::python
