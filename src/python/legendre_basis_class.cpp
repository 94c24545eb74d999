// The LegendreBasis class: evaluates a flat Legendre DOF list passed anew
// with every call, and all basis functions or their derivatives at a time.

#include "binding.hpp"
#include "float64_data.hpp"
#include "module_contents.hpp"
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
