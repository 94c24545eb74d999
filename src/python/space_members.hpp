#pragma once
// What LegendreBasis and LegendreBasisEvaluator share beyond their methods:
// the read-only attributes of the space they were built for, a repr that
// reads as the constructor call, and that call as pickling needs it.

#include <string>

#include "instances.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"

namespace quorvel::python {

/// @brief Members of a class whose Payload holds, as `basis`, the LegendreBasis it was built
/// with; they read only what the constructor fixed, so they take no borrow.
template <class Payload>
struct SpaceMembers {
  static PyGetSetDef degree() {
    return Property<Payload, "degree", Access::none, [](const Payload& self) {
      return self.basis.degree;
    }>::template def<"The polynomial degree on each interval.">();
  }
  static PyGetSetDef n_t() {
    return Property<Payload, "n_t", Access::none, [](const Payload& self) {
      return self.basis.n_t;
    }>::template def<"The number of intervals of the uniform mesh of [0, T].">();
  }
  static PyGetSetDef T() {
    return Property<Payload, "T", Access::none, [](const Payload& self) {
      return self.basis.T;
    }>::template def<"The end of the time interval [0, T], as given to the constructor.">();
  }
  static PyGetSetDef n_dofs() {
    return Property<Payload, "n_dofs", Access::none, [](const Payload& self) {
      return self.basis.dof_count();
    }>::template def<"The number of Legendre DOFs, n_t * (degree + 1).">();
  }

  /// @brief The class's attribute table: degree, n_t, T and n_dofs, then @p extra.
  template <class... Extra>
  static PyGetSetDef* properties(Extra... extra) {
    static PyGetSetDef table[] = {
        degree(), n_t(), T(), n_dofs(), extra..., {nullptr, nullptr, nullptr, nullptr, nullptr}};
    return table;
  }

  /// @brief "CLASS(degree=D, n_t=N, T=R)" with R = repr(T): for a finite T, evaluating it
  /// builds the same space again.
  static std::string repr(const Payload& self) {
    return std::string(Payload::class_name.chars) + "(degree=" + std::to_string(self.basis.degree) +
           ", n_t=" + std::to_string(self.basis.n_t) + ", T=" + float_repr(self.basis.T) + ")";
  }

  /// @brief The new tuple (CLASS, (degree, n_t, T)): the call that pickling records. T
  /// travels as a float, which pickle protocols from 1 on store bit for bit.
  static PyObject* constructor_call(const Payload& self) {
    return check(Py_BuildValue("(O(IId))", reinterpret_cast<PyObject*>(Instance<Payload>::type),
                               self.basis.degree, self.basis.n_t, self.basis.T));
  }
};

}  // namespace quorvel::python
