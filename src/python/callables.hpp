#pragma once
// Module functions, and what every callable shares: its lambda's parameter
// types select the conversions, its result type the conversion of the result,
// and the whole call runs inside the error boundary.
//
// A function is declared as its name, its message family, a lambda and its
// parameters as the Python signature shows them:
//
//   Function<"sum_as_string", Messages::original, [](std::uint32_t a, std::uint32_t b) {...},
//            "a", "b">
//
// The lambda returns a value that results.hpp converts, a PyObject* it built
// itself (a new reference), or nothing (None).

#include <cstddef>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "boundary.hpp"
#include "conversion.hpp"
#include "results.hpp"
#include "signature.hpp"

namespace quorvel::python {

namespace detail {

template <class F>
struct Signature : Signature<decltype(&F::operator())> {};
template <class C, class R, class... A>
struct Signature<R (C::*)(A...) const> {
  using Result = R;
  using Args = std::tuple<std::remove_cvref_t<A>...>;
};

template <class Args, std::size_t Skip, Messages family, std::size_t... I>
auto convert_all(PyObject* const* bound, [[maybe_unused]] std::span<const std::string_view> names,
                 std::index_sequence<I...>) {
  // Braced initialisation converts strictly left to right: parameter order.
  return std::tuple<std::tuple_element_t<I + Skip, Args>...>{
      convert_argument<std::tuple_element_t<I + Skip, Args>, family>(bound[I], names[I])...};
}

/// @brief The parameters of a callable named Owner.Name whose lambda takes Args, the
/// first Skip being the receiver: their binding rules and their conversion.
template <FixedString Owner, FixedString Name, Messages family, class Args, std::size_t Skip,
          FixedString... Texts>
struct Bound {
  using List = ParameterList<Texts...>;
  static_assert(std::tuple_size_v<Args> == List::count + Skip,
                "one parameter text per lambda parameter");
  static constexpr auto full_name = make_full_name<Owner, Name>();

  static constexpr Parameters parameters() {
    return {std::string_view(full_name.data(), full_name.size() - 1),
            List::names.data(),
            List::required.data(),
            List::count,
            List::positional,
            List::required_count,
            family};
  }

  /// @brief The arguments converted in parameter order.
  static auto convert(PyObject* const* bound) {
    return convert_all<Args, Skip, family>(bound, List::names,
                                           std::make_index_sequence<List::count>{});
  }
};

template <class R, class Call>
PyObject* call_and_convert(Call&& call) {
  if constexpr (std::is_void_v<R>) {
    call();
    Py_RETURN_NONE;
  } else if constexpr (std::is_same_v<R, PyObject*>) {
    return call();
  } else {
    // The converted arguments die with `call`'s frame, before the result is built.
    R result = call();
    return to_python(result);
  }
}

}  // namespace detail

/// @brief A module-level function: fast calling convention with keywords.
template <FixedString Name, Messages family, auto Fn, FixedString... Params>
struct Function {
  using Sig = detail::Signature<decltype(Fn)>;
  using Args = detail::Bound<"", Name, family, typename Sig::Args, 0, Params...>;

  /// @brief The method table entry; Body is the doc text after the signature.
  template <FixedString Body = "">
  static PyMethodDef def() {
    static constexpr auto doc = make_doc<Name, false, Body, Params...>();
    return {Name.chars, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call)),
            METH_FASTCALL | METH_KEYWORDS, doc.data()};
  }

  static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      PyObject* bound[Args::List::count + 1];
      bind_fastcall(Args::parameters(), args, nargs, kwnames, bound);
      return detail::call_and_convert<typename Sig::Result>(
          [&] { return std::apply(Fn, Args::convert(bound)); });
    });
  }
};

}  // namespace quorvel::python
