// The LegendreBasisEvaluator class: DOFs converted once by set_dofs, then
// evaluated at single times or at every time of a float64 buffer, the
// latter with the interpreter lock released.

#include <string>

#include "binding.hpp"
#include "float64_buffer.hpp"
#include "module_contents.hpp"
#include "piecewise_polynomials/batch_evaluation.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"
#include "piecewise_polynomials/legendre_kernel.hpp"

namespace quorvel::python {

namespace {

struct EvaluatorPayload {
  static constexpr const char* class_name = "LegendreBasisEvaluator";
  LegendreBasis basis;
  DofMatrix dofs;
  std::uint32_t n_t;
  std::uint32_t degree;
  double h;  // T / n_t, as every evaluation computes it

  // One time; the stored DOFs always fit the basis, except with no intervals at all.
  template <bool derivative>
  [[nodiscard]] double evaluate_one(double t) const {
    if (n_t == 0) {
      return derivative ? basis.evaluate_derivative(dofs, t) : basis.evaluate(dofs, t);
    }
    return kernel::evaluate_fitted<derivative>(h, n_t, degree, dofs.data(), n_t, t);
  }
};

using Ctor = Constructor<EvaluatorPayload,
                         [](std::uint32_t degree, std::uint32_t n_t, double T) {
                           const LegendreBasis basis{degree, n_t, T};
                           (void)checked_storage_count(basis.dof_count(), sizeof(double));
                           DofMatrix zeros = DofMatrix::Zero(static_cast<Eigen::Index>(n_t),
                                                             static_cast<Eigen::Index>(degree) + 1);
                           return EvaluatorPayload{basis, std::move(zeros), n_t, degree,
                                                   T / static_cast<double>(n_t)};
                         },
                         "degree", "n_t", "T">;

using SetDofs = Method<
    EvaluatorPayload, "set_dofs", Access::exclusive,
    [](EvaluatorPayload& self, std::vector<double> legendre_vals) {
      const std::uint64_t expected = self.basis.dof_count();
      if (legendre_vals.size() != expected) {
        fail(
            "assertion `left == right` failed: LegendreBasisEvaluator: set_dofs: input vector "
            "has wrong length\n  left: " +
            std::to_string(legendre_vals.size()) + "\n right: " + std::to_string(expected));
      }
      // Built whole before it replaces the stored DOFs, so a failure keeps the old ones.
      DofMatrix dofs =
          Eigen::Map<const DofMatrix>(legendre_vals.data(), static_cast<Eigen::Index>(self.n_t),
                                      static_cast<Eigen::Index>(self.degree) + 1);
      self.dofs = std::move(dofs);
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
std::vector<double> evaluate_buffer(const EvaluatorPayload& self, const Float64Buffer& t_values,
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

PyMethodDef methods[] = {
    SetDofs::def(),
    EvaluateAt::def(),
    EvaluateDerivativeAt::def(),
    EvaluateMany::def(),
    EvaluateDerivativeMany::def(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* create_legendre_basis_evaluator_class() {
  return create_class<EvaluatorPayload, Ctor>(
      "quorvel.LegendreBasisEvaluator",
      "LegendreBasisEvaluator(degree, n_t, T)\n--\n\nClass to evaluate legendre basis more often "
      "without copying the dofs from python each time",
      methods);
}

}  // namespace quorvel::python
