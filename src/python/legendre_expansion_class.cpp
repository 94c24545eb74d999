// The LegendreExpansion class: an immutable piecewise Legendre function on the
// uniform mesh of [0, T] with any number of components, its coefficients of
// shape (degree + 1, n_t, *trailing) owned in C order. Calling it evaluates
// every component at every time with the interpreter lock released; it also
// gives its derivatives and integrals, and is built from a flat DOF vector, a
// space-time solution, a projection of a callable or Lagrange node values.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "instances.hpp"
#include "module_contents.hpp"
#include "native_arrays.hpp"
#include "piecewise_polynomials/batch_evaluation.hpp"
#include "piecewise_polynomials/legendre_expansion.hpp"
#include "piecewise_polynomials/quadrature.hpp"
#include "placement.hpp"
#include "support/messages.hpp"

namespace quorvel::python {

namespace {

using Coefficients = BulkArray<double>;
using Order = Bounded<0, std::numeric_limits<std::int64_t>::max()>;
constexpr std::int64_t u32_max = 4294967295;

struct ExpansionPayload {
  static constexpr FixedString class_name = "LegendreExpansion";
  LegendreBasis basis;
  std::vector<std::int64_t> trailing;
  std::uint64_t components;
  std::shared_ptr<const Coefficients> coefficients;  // C order of (degree + 1, n_t, *trailing)

  [[nodiscard]] ExpansionShape shape() const { return {basis.degree, basis.n_t, components}; }
  [[nodiscard]] std::span<const double> values() const { return *coefficients; }
};

// A new expansion from coefficients in C order.
PyObject* make_expansion(std::uint32_t degree, std::uint32_t n_t, double T,
                         std::vector<std::int64_t> trailing, Coefficients&& coefficients) {
  const std::uint64_t components = element_count(trailing);
  return Instance<ExpansionPayload>::make(
      {LegendreBasis(degree, n_t, T), std::move(trailing), components,
       std::make_shared<const Coefficients>(std::move(coefficients))});
}

// ---------------------------------------------------------------- construction

ExpansionPayload construct(const RealArray& coefficients, Length T) {
  const InputArray& array = coefficients.array;
  const std::vector<std::int64_t>& shape = array.shape();
  if (shape.size() < 2 || shape[0] < 1 || shape[1] < 1) {
    Ref received(shape_tuple(shape));
    PyErr_Format(PyExc_ValueError, messages::expansion_shape, received.get());
    throw PythonError{};
  }
  if (shape[0] - 1 > u32_max - 1 || shape[1] > u32_max) {
    Ref received(shape_tuple(shape));
    PyErr_Format(PyExc_ValueError, messages::expansion_too_large, received.get());
    throw PythonError{};
  }
  refuse_unrepresentable_mesh(T, static_cast<std::uint32_t>(shape[1]));
  const std::vector<double> owned = contiguous_copy(array.strided());
  std::vector<std::int64_t> trailing(shape.begin() + 2, shape.end());
  const std::uint64_t components = element_count(trailing);
  return {LegendreBasis(static_cast<std::uint32_t>(shape[0] - 1),
                        static_cast<std::uint32_t>(shape[1]), T.value),
          std::move(trailing), components,
          std::make_shared<const Coefficients>(owned.begin(), owned.end())};
}

using Ctor =
    Constructor<ExpansionPayload, Messages::named,
                [](RealArray coefficients, Length T) { return construct(coefficients, T); },
                "coefficients", "T">;

// ---------------------------------------------------------------- evaluation

PyObject* evaluate(const ExpansionPayload& self, const RealArray& t, Order derivative,
                   Option<Side> side, Option<Object> given, Option<Object> out) {
  const InputArray& times = t.array;
  std::vector<std::int64_t> intervals;
  const Placement where = placement_of(side, given, times.shape(), self.basis.n_t, intervals);
  std::vector<std::int64_t> shape = times.shape();
  shape.insert(shape.end(), self.trailing.begin(), self.trailing.end());
  const auto order = static_cast<std::uint64_t>(derivative.value);
  const std::size_t time_axes = times.shape().size();

  const auto compute = [&](std::byte* results, const std::vector<std::int64_t>& strides) {
    const std::span<const std::int64_t> all(strides);
    ReleasedLock unlocked;
    if (self.components == 1) {
      // One component: the scalar kernel, whose DOF layout the coefficients already have.
      const kernel::Expansion scalar{self.basis.h(), static_cast<double>(self.basis.n_t) - 1.0,
                                     self.basis.degree, self.coefficients->data(), self.basis.n_t};
      evaluate_expansion_strided(scalar, self.basis.n_t, order, times.strided(), results,
                                 all.first(time_axes), global_thread_pool(), where);
    } else {
      const ComponentExpansion expansion{
          self.basis.h(),    static_cast<double>(self.basis.n_t) - 1.0,
          self.basis.degree, self.basis.n_t,
          self.components,   self.coefficients->data()};
      evaluate_components_strided(expansion, order, times.strided(), results, all.first(time_axes),
                                  std::span<const std::int64_t>(self.trailing),
                                  all.subspan(time_axes), global_thread_pool(), where);
    }
  };

  if (out.given && out.given->ptr != Py_None) {
    OutputArray results(out.given->ptr, "out", shape);
    compute(results.data(), results.strides());
    return results.release();
  }
  // A new array: in the times' order (Fortran for Fortran-ordered times) when it has no
  // trailing axes, else in C order.
  const bool fortran = self.trailing.empty() && times.fortran_ordered();
  BulkArray<double> values(checked_storage_count(element_count(shape), sizeof(double)));
  compute(reinterpret_cast<std::byte*>(values.data()),
          fortran ? fortran_order_strides(shape, sizeof(double))
                  : c_order_strides(shape, sizeof(double)));
  const std::vector<Py_ssize_t> extents(shape.begin(), shape.end());
  return take_array(std::move(values), extents, fortran ? MemoryOrder::fortran : MemoryOrder::c)
      .release();
}

using CallSlot = Call<ExpansionPayload, Messages::named, Access::none,
                      [](const ExpansionPayload& self, RealArray t, Option<Order> derivative,
                         Option<Side> side, Option<Object> intervals, Option<Object> out) {
                        return evaluate(self, t, derivative.value_or({0}), side, intervals, out);
                      },
                      "t", "*", "derivative=0", "side='right'", "intervals=None", "out=None">;

// ---------------------------------------------------------------- calculus

using Derivative =
    Method<ExpansionPayload, "derivative", Messages::named, Access::none,
           [](const ExpansionPayload& self, Option<Order> m) -> PyObject* {
             const auto order = static_cast<std::uint64_t>(m.value_or({1}).value);
             Coefficients derived = [&] {
               ReleasedLock unlocked;
               return derivative_coefficients(self.shape(), self.values(), self.basis.h(), order);
             }();
             const std::uint32_t degree =
                 order >= self.basis.degree ? 0
                                            : self.basis.degree - static_cast<std::uint32_t>(order);
             return make_expansion(degree, self.basis.n_t, self.basis.T, self.trailing,
                                   std::move(derived));
           },
           "m=1">;

// A bound of the integral: within [0, T].
double integral_bound(const ExpansionPayload& self, const char* name, double value,
                      PyObject* given) {
  if (!(value >= 0.0 && value <= self.basis.T)) {
    Ref shown(given != nullptr ? Py_NewRef(given) : PyFloat_FromDouble(value));
    PyErr_Format(PyExc_ValueError, messages::integral_bound, name, shown.get());
    throw PythonError{};
  }
  return value;
}

using Integrate =
    Method<ExpansionPayload, "integrate", Messages::named, Access::none,
           [](const ExpansionPayload& self, Option<Object> a, Option<Object> b) -> PyObject* {
             const auto bound = [&](const char* name, const Option<Object>& given,
                                    double fallback) {
               if (!given.given || given.given->ptr == Py_None) {
                 return fallback;
               }
               return integral_bound(self, name,
                                     Converter<Real>::convert(given.given->ptr, name).value,
                                     given.given->ptr);
             };
             const double from = bound("a", a, 0.0);
             const double to = bound("b", b, self.basis.T);
             std::vector<double> values = [&] {
               ReleasedLock unlocked;
               return integral(self.shape(), self.values(), self.basis.T, from, to);
             }();
             const std::vector<Py_ssize_t> extents(self.trailing.begin(), self.trailing.end());
             return take_array(BulkArray<double>(values.begin(), values.end()), extents).release();
           },
           "a=0.0", "b=None">;

// ---------------------------------------------------------------- other constructions

using Degree = Bounded<0, u32_max - 1>;
using IntervalCount = Bounded<1, u32_max>;
using LagrangeDegree = Bounded<1, 100>;

// The trailing shape of values whose first axis must have @p rows entries.
std::vector<std::int64_t> trailing_of(const InputArray& values, const char* name,
                                      std::int64_t rows) {
  const std::vector<std::int64_t>& shape = values.shape();
  if (shape.empty() || shape[0] != rows) {
    Ref received(shape_tuple(shape));
    PyErr_Format(PyExc_ValueError, messages::leading_axis, name, static_cast<long long>(rows),
                 received.get());
    throw PythonError{};
  }
  return {shape.begin() + 1, shape.end()};
}

PyObject* project(Object f, Degree degree, IntervalCount n_t, Length T, Option<Object> n_points) {
  if (PyCallable_Check(f.ptr) == 0) {
    raise_wrong_type("f", "callable", f.ptr);
  }
  const auto d = static_cast<std::uint32_t>(degree.value);
  const auto intervals = static_cast<std::uint32_t>(n_t.value);
  refuse_unrepresentable_mesh(T, intervals);
  std::int64_t count = degree.value + 1;
  if (n_points.given && n_points.given->ptr != Py_None) {
    count = to_bounded_integer(n_points.given->ptr, "n_points", 1, max_quadrature_points);
  } else if (count > max_quadrature_points) {
    raise_wrong_value("degree",
                      "at most " + std::to_string(max_quadrature_points - 1) + " without n_points",
                      degree.value);
  }
  const auto n = static_cast<std::uint32_t>(count);
  const std::uint64_t size = std::uint64_t{intervals} * n;
  BulkArray<double> points(checked_storage_count(size, sizeof(double)));
  BulkArray<double> weights(points.size());
  ReferenceRule rule;
  {
    ReleasedLock unlocked;
    rule = reference_rule(QuadratureRule::gauss, n);
    map_to_mesh(rule, intervals, T.value, points, weights, global_thread_pool());
  }
  Ref times = take_array(std::move(points));
  Ref samples = Ref::checked(call_one(f.ptr, times.get()));
  const InputArray values = InputArray::real_array(samples.get(), "f(t)");
  std::vector<std::int64_t> trailing = trailing_of(values, "f(t)", static_cast<std::int64_t>(size));
  const std::uint64_t components = element_count(trailing);
  const std::vector<double> flat = contiguous_copy(values.strided());
  Coefficients coefficients = [&] {
    ReleasedLock unlocked;
    return projection_coefficients({d, intervals, components}, rule.nodes, rule.weights, flat);
  }();
  return make_expansion(d, intervals, T.value, std::move(trailing), std::move(coefficients));
}

using Project =
    ClassMethod<ExpansionPayload, "project", Messages::named,
                [](Object f, Degree degree, IntervalCount n_t, Length T, Option<Object> n_points) {
                  return project(f, degree, n_t, T, n_points);
                },
                "f", "degree", "n_t", "T", "*", "n_points=None">;

PyObject* from_lagrange(const RealArray& values, LagrangeDegree degree, IntervalCount n_t,
                        Length T) {
  const auto d = static_cast<std::uint32_t>(degree.value);
  const auto intervals = static_cast<std::uint32_t>(n_t.value);
  if (n_t.value > u32_max / degree.value) {
    raise_wrong_value("n_t",
                      "at most " + std::to_string(u32_max / degree.value) + " at degree " +
                          std::to_string(degree.value),
                      n_t.value);
  }
  refuse_unrepresentable_mesh(T, intervals);
  std::vector<std::int64_t> trailing =
      trailing_of(values.array, "values", n_t.value * degree.value + 1);
  const std::uint64_t components = element_count(trailing);
  const std::vector<double> flat = contiguous_copy(values.array.strided());
  Coefficients coefficients = [&] {
    ReleasedLock unlocked;
    return lagrange_to_legendre_coefficients({d, intervals, components}, flat);
  }();
  return make_expansion(d, intervals, T.value, std::move(trailing), std::move(coefficients));
}

using FromLagrange = ClassMethod<ExpansionPayload, "from_lagrange", Messages::named,
                                 [](RealArray values, LagrangeDegree degree, IntervalCount n_t,
                                    Length T) { return from_lagrange(values, degree, n_t, T); },
                                 "values", "degree", "n_t", "T">;

// ---------------------------------------------------------------- as a Python object

PyObject* shape_of(const std::vector<std::int64_t>& extents) { return shape_tuple(extents); }

// The coefficients as a read-only array that shares the object's memory.
PyObject* coefficient_view(const ExpansionPayload& self) {
  std::vector<Py_ssize_t> extents{static_cast<Py_ssize_t>(self.basis.degree) + 1,
                                  static_cast<Py_ssize_t>(self.basis.n_t)};
  extents.insert(extents.end(), self.trailing.begin(), self.trailing.end());
  auto* holder = new std::shared_ptr<const Coefficients>(self.coefficients);
  Ref owner = own_memory(
      {const_cast<double*>(self.coefficients->data()),
       static_cast<Py_ssize_t>(self.coefficients->size()), sizeof(double), "d", holder,
       [](void* held) noexcept { delete static_cast<std::shared_ptr<const Coefficients>*>(held); },
       true},
      extents);
  return array_of_owner(owner).release();
}

std::string repr(const ExpansionPayload& self) {
  std::string trailing = "(";
  for (std::size_t axis = 0; axis < self.trailing.size(); ++axis) {
    trailing += (axis > 0 ? ", " : "") + std::to_string(self.trailing[axis]);
  }
  trailing += self.trailing.size() == 1 ? ",)" : ")";
  return "LegendreExpansion(degree=" + std::to_string(self.basis.degree) +
         ", n_t=" + std::to_string(self.basis.n_t) + ", T=" + float_repr(self.basis.T) +
         ", trailing_shape=" + trailing + ")";
}

using Reduce =
    Method<ExpansionPayload, "__reduce__", Messages::named, Access::none,
           [](const ExpansionPayload& self) {
             Ref coefficients(coefficient_view(self));
             return check(Py_BuildValue(
                 "(O(Od))", reinterpret_cast<PyObject*>(Instance<ExpansionPayload>::type),
                 coefficients.get(), self.basis.T));
           }>;

using Degree_ = Property<ExpansionPayload, "degree", Access::none,
                         [](const ExpansionPayload& self) { return self.basis.degree; }>;
using Intervals_ = Property<ExpansionPayload, "n_t", Access::none,
                            [](const ExpansionPayload& self) { return self.basis.n_t; }>;
using End_ = Property<ExpansionPayload, "T", Access::none,
                      [](const ExpansionPayload& self) { return self.basis.T; }>;
using Trailing_ = Property<ExpansionPayload, "trailing_shape", Access::none,
                           [](const ExpansionPayload& self) { return shape_of(self.trailing); }>;
using Coefficients_ = Property<ExpansionPayload, "coefficients", Access::none,
                               [](const ExpansionPayload& self) { return coefficient_view(self); }>;

PyMethodDef methods[] = {
    Derivative::def<
        "The expansion of the m-th time derivative (m >= 0), of degree max(degree - m, 0):\n"
        "on every interval d/dt = (2 / h) d/dx, and an m above the degree gives zeros.">(),
    Integrate::def<
        "The integral over [a, b] of every component, as a float64 array of shape\n"
        "trailing_shape (0-d for no trailing axes). a defaults to 0.0 and b to T; both must\n"
        "lie in [0, T], and b < a gives the negative. Exact up to a few roundings.">(),
    Project::def<
        "The L2 projection of f onto the expansions of degree `degree` on the uniform mesh of\n"
        "[0, T] with n_t intervals, interval by interval, with the Gauss rule of n_points\n"
        "points (default degree + 1) of quadrature().\n\n"
        "f takes a one-dimensional float64 array of times (all the rule's points, interval\n"
        "by interval) and returns an array of shape (len(t), *trailing). It converges like\n"
        "h^(degree + 1) for smooth f.">(),
    FromLagrange::def<
        "The expansion of the continuous piecewise Lagrange function of degree `degree`\n"
        "(1 ... 100) with node values `values`, of shape (n_t * degree + 1, *trailing) in the\n"
        "order of get_lagrange_points(degree, n_t, T): the change of basis of\n"
        "lagrange_to_legendre_csr(degree, n_t), bit for bit as its product with the values.">(),
    Reduce::def<"Pickling support: the constructor call with the coefficients and T.">(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    Degree_::def<"The polynomial degree on each interval.">(),
    Intervals_::def<"The number of intervals of the uniform mesh of [0, T].">(),
    End_::def<"The end of the time interval [0, T].">(),
    Trailing_::def<"The shape of the values at one time: coefficients.shape[2:].">(),
    Coefficients_::def<
        "The coefficients, a read-only float64 array of shape (degree + 1, n_t,\n"
        "*trailing_shape) sharing the object's memory: entry [i, c, ...] is the coefficient\n"
        "of P_i on interval c.">(),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* class_doc =
    "LegendreExpansion(coefficients, T)\n--\n\n"
    "A piecewise Legendre function on the uniform mesh of [0, T], with any number of\n"
    "components: immutable, evaluated by calling it.\n\n"
    "coefficients: an array-like of real numbers of shape (degree + 1, n_t, *trailing);\n"
    "entry [i, c, ...] is the coefficient of P_i on interval c. That is the flat Legendre\n"
    "DOF layout c + n_t * i reshaped, so LegendreExpansion(dofs.reshape(degree + 1, n_t), T)\n"
    "wraps a DOF vector and LegendreExpansion(U.reshape(degree + 1, n_t, -1), T) a\n"
    "space-time solution U of shape (n_dofs, n_space). The object keeps its own copy.\n\n"
    "expansion(t, *, derivative=0, side='right', intervals=None, out=None) returns the\n"
    "float64 array of shape numpy.shape(t) + trailing_shape of the values (or of the time\n"
    "derivative of order `derivative`) at the times t. A time in [a_c, a_(c+1)) lies in\n"
    "interval c, with the mesh points a_c = h * c (h = T / n_t) of get_lagrange_points and\n"
    "quadrature; side='left' takes (a_c, a_(c+1)] instead, the limit from the left at a mesh\n"
    "point. intervals: an integer array of t's shape naming each time's interval. out: a\n"
    "writable float64 array of the result's shape, filled and returned. Component j equals\n"
    "the expansion of coefficients[:, :, j] alone bit for bit; with no trailing axes the\n"
    "values equal LegendreBasisEvaluator.evaluate bit for bit wherever both place a time in\n"
    "the same interval. The interpreter lock is released while computing.";

}  // namespace

PyObject* create_legendre_expansion_class() {
  return create_class<ExpansionPayload, Ctor>(
      "quorvel.LegendreExpansion", class_doc, methods,
      {properties, &Repr<ExpansionPayload, &repr>::call, &CallSlot::tp_call});
}

}  // namespace quorvel::python
