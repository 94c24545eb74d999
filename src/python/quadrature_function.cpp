// quadrature(n_points, n_t, T, *, rule='gauss'): a rule repeated on every
// interval of the uniform mesh of [0, T], as two new float64 arrays. Every
// argument is checked before anything is allocated; the rule is built and the
// arrays are filled with the interpreter lock released.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "callables.hpp"
#include "module_contents.hpp"
#include "native_arrays.hpp"
#include "piecewise_polynomials/quadrature.hpp"
#include "support/bulk_array.hpp"
#include "support/messages.hpp"

namespace quorvel::python {

namespace {

using PointCount = Bounded<1, max_quadrature_points>;
using IntervalCount = Bounded<1, 4294967295>;

QuadratureRule rule_named(const Option<Object>& rule) {
  if (!rule.given) {
    return QuadratureRule::gauss;
  }
  const std::string name = Converter<Text>::convert(rule.given->ptr, "rule").value;
  if (name == "gauss") {
    return QuadratureRule::gauss;
  }
  if (name == "radau") {
    return QuadratureRule::radau;
  }
  if (name == "lobatto") {
    return QuadratureRule::lobatto;
  }
  raise_wrong_value("rule", "'gauss', 'radau' or 'lobatto'", rule.given->ptr);
}

PyObject* quadrature(PointCount n_points, IntervalCount n_t, Length T_given, Option<Object> rule,
                     bool with_intervals) {
  const double T = T_given.value;
  const auto n = static_cast<std::uint32_t>(n_points.value);
  const auto intervals = static_cast<std::uint32_t>(n_t.value);
  refuse_unrepresentable_mesh(T_given, intervals);
  const QuadratureRule chosen = rule_named(rule);
  if (n < min_quadrature_points(chosen)) {
    PyErr_Format(PyExc_ValueError, messages::lobatto_points, n);
    throw PythonError{};
  }
  // The count always fits, in elements and in bytes; memory may still refuse it.
  static_assert(std::uint64_t{max_quadrature_points} * 4294967295U <=
                static_cast<std::uint64_t>(PTRDIFF_MAX) / sizeof(double));
  const auto size = static_cast<std::size_t>(static_cast<std::uint64_t>(intervals) * n);
  BulkArray<double> points(size);
  BulkArray<double> weights(size);
  {
    ReleasedLock unlocked;
    const ReferenceRule reference = reference_rule(chosen, n);
    map_to_mesh(reference, intervals, T, points, weights, global_thread_pool());
  }
  Ref first = take_array(std::move(points));
  Ref second = take_array(std::move(weights));
  if (!with_intervals) {
    return check(PyTuple_Pack(2, first.get(), second.get()));
  }
  // Point p lies on interval p / n_points, by construction.
  BulkArray<std::int64_t> intervals_of_points(size);
  for (std::size_t p = 0; p < size; ++p) {
    intervals_of_points[p] = static_cast<std::int64_t>(p / n);
  }
  Ref third = take_array(std::move(intervals_of_points));
  return check(PyTuple_Pack(3, first.get(), second.get(), third.get()));
}

using Quadrature =
    Function<"quadrature", Messages::named,
             [](PointCount n_points, IntervalCount n_t, Length T, Option<Object> rule,
                Option<Flag> return_intervals) {
               return quadrature(n_points, n_t, T, rule, return_intervals.value_or({false}).value);
             },
             "n_points", "n_t", "T", "*", "rule='gauss'", "return_intervals=False">;

PyMethodDef definition = Quadrature::def<
    "The points and weights of an n_points-point rule on each of the n_t intervals of the\n"
    "uniform mesh of [0, T], as two float64 numpy.ndarrays of length n_t * n_points,\n"
    "listed interval by interval.\n\n"
    "rule: 'gauss' (Gauss-Legendre, exact for degree 2 n_points - 1), 'radau' (right\n"
    "Radau: each interval's right end is a point; exact for degree 2 n_points - 2) or\n"
    "'lobatto' (both ends; n_points >= 2; exact for degree 2 n_points - 3). A point\n"
    "shared by two intervals appears once in each, with that interval's weight.\n\n"
    "Interval c is [a, b] with h = T / n_t, a = h * c and b = h + a, as the Legendre\n"
    "bases place it: the interval ends of radau and lobatto are a and b exactly. Every\n"
    "weight is a reference weight on [-1, 1] times h / 2, so each interval carries the\n"
    "same weights. n_points: 1 ... 1024; n_t: 1 ... 4294967295; T: positive and finite.\n"
    "The interpreter lock is released while computing.\n\n"
    "return_intervals=True adds a third array, the int64 interval of every point, by\n"
    "construction: pass it as `intervals` to LegendreBasis.tabulate and to a\n"
    "LegendreExpansion, so that a point on an interval's end (radau, lobatto) counts\n"
    "for its own interval.">();

}  // namespace

PyMethodDef& quadrature_function() { return definition; }

}  // namespace quorvel::python
