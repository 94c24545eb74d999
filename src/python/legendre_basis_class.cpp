// The LegendreBasis class: evaluates a flat Legendre DOF list passed anew
// with every call, and all basis functions or their derivatives at a time.

#include <cstdint>
#include <limits>

#include "arrays.hpp"
#include "instances.hpp"
#include "module_contents.hpp"
#include "native_arrays.hpp"
#include "piecewise_polynomials/batch_evaluation.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"
#include "placement.hpp"
#include "space_members.hpp"

namespace quorvel::python {

namespace {

struct LegendreBasisPayload {
  static constexpr FixedString class_name = "LegendreBasis";
  LegendreBasis basis;
};

using Order = Bounded<0, std::numeric_limits<std::int64_t>::max()>;

// The first n_t * (degree + 1) values of a flat sequence, copied into a DofMatrix.
DofMatrix dof_matrix_from_flat(const LegendreBasis& basis, const InputArray& flat) {
  if (flat.size() < basis.dof_count()) {
    fail(messages::view_too_small);
  }
  DofMatrix dofs(static_cast<Eigen::Index>(basis.n_t), static_cast<Eigen::Index>(basis.degree) + 1);
  flat.copy_to(dofs.data(), static_cast<std::size_t>(dofs.size()));
  return dofs;
}

using Ctor = Constructor<LegendreBasisPayload, Messages::original,
                         [](std::uint32_t degree, std::uint32_t n_t, double T) {
                           return LegendreBasisPayload{LegendreBasis(degree, n_t, T)};
                         },
                         "degree", "n_t", "T">;

using EvaluateAt =
    Method<LegendreBasisPayload, "evaluate_at", Messages::original, Access::shared,
           [](const LegendreBasisPayload& self, double t, DoubleSequence legendre_vals) {
             return self.basis.evaluate(dof_matrix_from_flat(self.basis, legendre_vals.array), t);
           },
           "t", "legendre_vals">;

using AllBasisFunctions =
    Method<LegendreBasisPayload, "evaluate_all_basis_functions", Messages::original, Access::shared,
           [](const LegendreBasisPayload& self, double t) {
             return self.basis.evaluate_all_basis_functions(t);
           },
           "t">;

using AllBasisFunctionDerivatives =
    Method<LegendreBasisPayload, "evaluate_all_basis_function_derivatives", Messages::original,
           Access::shared,
           [](const LegendreBasisPayload& self, double t) {
             return self.basis.evaluate_all_basis_function_derivatives(t);
           },
           "t">;

// The basis functions of every time's interval at that time: an int64 array of
// intervals and a float64 array with one more axis for the degrees.
PyObject* tabulate(const LegendreBasis& basis, Object t_values, Order derivative,
                   const Option<Side>& side, const Option<Object>& given) {
  const InputArray times = InputArray::real_array(t_values.ptr, "t_values");
  if (basis.n_t == 0 && times.size() > 0) {
    raise(PyExc_ValueError, messages::no_intervals_to_tabulate);
  }
  std::vector<std::int64_t> given_intervals;
  const Placement where = placement_of(side, given, times.shape(), basis.n_t, given_intervals);
  const std::uint64_t width = static_cast<std::uint64_t>(basis.degree) + 1;
  std::uint64_t value_count = 0;
  constexpr std::uint64_t most = PTRDIFF_MAX / sizeof(double);
  if (__builtin_mul_overflow(times.size(), width, &value_count) || value_count > most) {
    throw std::bad_alloc();  // as NumPy answers an array beyond memory
  }
  BulkArray<std::int64_t> intervals(times.size());
  BulkArray<double> values(value_count);
  {
    ReleasedLock unlocked;
    tabulate_strided(basis, static_cast<std::uint64_t>(derivative.value), times.strided(),
                     intervals.data(), values.data(), global_thread_pool(), where);
  }
  std::vector<Py_ssize_t> shape(times.shape().begin(), times.shape().end());
  Ref first = take_array(std::move(intervals), shape);
  shape.push_back(static_cast<Py_ssize_t>(width));
  Ref second = take_array(std::move(values), shape);
  return check(PyTuple_Pack(2, first.get(), second.get()));
}

using Tabulate =
    Method<LegendreBasisPayload, "tabulate", Messages::named, Access::shared,
           [](const LegendreBasisPayload& self, Object t_values, Option<Order> derivative,
              Option<Side> side, Option<Object> intervals) {
             return tabulate(self.basis, t_values, derivative.value_or({0}), side, intervals);
           },
           "t_values", "*", "derivative=0", "side='right'", "intervals=None">;

// ---------------------------------------------------------------- as a Python object

using Space = SpaceMembers<LegendreBasisPayload>;

using Reduce =
    Method<LegendreBasisPayload, "__reduce__", Messages::original, Access::shared,
           [](const LegendreBasisPayload& self) { return Space::constructor_call(self); }>;

PyMethodDef methods[] = {
    EvaluateAt::def(),
    AllBasisFunctions::def(),
    AllBasisFunctionDerivatives::def(),
    Reduce::def<"Pickling support: the constructor call that builds this basis again.">(),
    Tabulate::def<
        "The interval of every time of `t_values` and the time derivative of order\n"
        "`derivative` of that interval's basis functions P_0 ... P_degree there.\n\n"
        "Returns (intervals, values): an int64 array of t_values' shape, and a float64 array\n"
        "of shape t_values.shape + (degree + 1,). A time in [a_c, a_(c+1)) lies in interval\n"
        "c, with the mesh points a_c = h * c of get_lagrange_points and quadrature; side='left'\n"
        "takes (a_c, a_(c+1)] instead. intervals: an integer array of t_values' shape naming\n"
        "each time's interval (for points on interval ends, such as those of\n"
        "quadrature(..., rule='radau', return_intervals=True)). Where evaluate_at's quotient\n"
        "rule places a time in the same interval, order 0 equals\n"
        "evaluate_all_basis_functions(t)[c + n_t * i] bit for bit, order 1\n"
        "evaluate_all_basis_function_derivatives(t)[c + n_t * i]; orders of 2 or more above\n"
        "the degree give 0.0. t_values: anything numpy.asarray takes that holds real\n"
        "numbers. The interpreter lock is released while computing.">(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* create_legendre_basis_class() {
  return create_class<LegendreBasisPayload, Ctor>(
      "quorvel.LegendreBasis", "LegendreBasis(degree, n_t, T)\n--\n\n", methods,
      {Space::properties(), &Repr<LegendreBasisPayload, &Space::repr>::call});
}

}  // namespace quorvel::python
