#pragma once
// Argument conversion: one converter per C++ parameter type.
//
// A callable's lambda names its parameter types; Converter<T>::convert(obj, name)
// turns the bound argument into a T or raises. Each converter belongs to one of
// the two message families (signature.hpp), and a callable may use only the
// converters of the family it declares, or those that raise nothing (Object):
//
//   original: std::uint32_t, double, DoubleSequence, Float64Buffer
//   named:    Bounded<Min, Max>, Real, Length, Text, RealArray, Option<T>
//
// For the original family the call remaps a TypeError of the conversion to
// "argument 'NAME': " + its text (the error chained as __cause__).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "handle.hpp"
#include "signature.hpp"

namespace quorvel::python {

/// @brief Converts one argument to T; specialised per parameter type, each with the
/// family (`messages`) its errors belong to, or no family if it raises nothing.
template <class T>
struct Converter;

/// @brief Replaces a pending TypeError by "argument 'NAME': " + its text, chained as __cause__.
void remap_type_error(std::string_view name);

/// @brief Sets TypeError "NAME must be WHAT, got TYPE" and throws.
[[noreturn]] void raise_wrong_type(std::string_view name, const char* what, PyObject* received);

/// @brief Sets ValueError "NAME must be WHAT, got REPR" and throws; an int too long for
/// its decimal text is shown by its bit length.
[[noreturn]] void raise_wrong_value(std::string_view name, std::string_view what,
                                    PyObject* received);

/// @brief raise_wrong_value for an integer that was already converted.
[[noreturn]] void raise_wrong_value(std::string_view name, std::string_view what,
                                    std::int64_t received);

/// @brief The qualified name of an object's type, as the original messages show it.
[[nodiscard]] std::string qualified_type_name(PyObject* obj);

/// @brief The type's module and qualified name ("numpy.ndarray"; "float" for builtins).
[[nodiscard]] std::string full_type_name(PyObject* obj);

// ---------------------------------------------------------------- the original family

/// @brief int (bool too) or __index__; the interpreter's unsigned 64-bit conversion, then
/// OverflowError "out of range integral type conversion attempted" above 4294967295.
template <>
struct Converter<std::uint32_t> {
  static constexpr Messages messages = Messages::original;
  static std::uint32_t convert(PyObject* obj, std::string_view name);
};

/// @brief The interpreter's float conversion (a float is read directly).
template <>
struct Converter<double> {
  static constexpr Messages messages = Messages::original;
  static double convert(PyObject* obj, std::string_view /*name*/) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
      throw PythonError{};
    }
    return value;
  }
};

// ---------------------------------------------------------------- the named family

/// @brief Any object, borrowed for the length of the call.
struct Object {
  PyObject* ptr;
};

/// @brief An int (or an object with __index__, bool refused) within [Min, Max].
template <std::int64_t Min, std::int64_t Max>
struct Bounded {
  std::int64_t value;
};

/// @brief A real number: float, int, or anything with __float__ or __index__.
struct Real {
  double value;
};

/// @brief A positive, finite real number: a length, such as the end T of [0, T]; `given`
/// is the argument as passed (borrowed for the call), which messages show.
struct Length {
  double value;
  PyObject* given = nullptr;
};

/// @brief A yes or no: the truth of any object, as `if` judges it.
struct Flag {
  bool value;
};

/// @brief A str, as UTF-8.
struct Text {
  std::string value;
};

/// @brief A keyword-only option: empty unless the caller gave it.
template <class T>
struct Option {
  std::optional<T> given;
  [[nodiscard]] T value_or(T fallback) const { return given ? *given : fallback; }
};

template <>
struct Converter<Object> {
  static Object convert(PyObject* obj, std::string_view /*name*/) { return {obj}; }
};

/// @brief The int64 value of an index-like object, or the TypeError and ValueError
/// that name the argument and the range.
std::int64_t to_bounded_integer(PyObject* obj, std::string_view name, std::int64_t min,
                                std::int64_t max);

template <std::int64_t Min, std::int64_t Max>
struct Converter<Bounded<Min, Max>> {
  static constexpr Messages messages = Messages::named;
  static Bounded<Min, Max> convert(PyObject* obj, std::string_view name) {
    return {to_bounded_integer(obj, name, Min, Max)};
  }
};

template <>
struct Converter<Real> {
  static constexpr Messages messages = Messages::named;
  static Real convert(PyObject* obj, std::string_view name);
};

template <>
struct Converter<Length> {
  static constexpr Messages messages = Messages::named;
  static Length convert(PyObject* obj, std::string_view name);
};

/// @brief Refuses a T whose uniform mesh of n_t intervals cannot be computed in doubles:
/// ValueError naming T (shown as given) when h = T / n_t is zero or subnormal, when the
/// last end h + h * (n_t - 1) overflows, or when the sum a + b of the last interval's
/// ends does. Every callable that places times on the mesh of a Length T calls it.
void refuse_unrepresentable_mesh(const Length& T, std::uint32_t n_t);

template <>
struct Converter<Flag> {
  static constexpr Messages messages = Messages::named;
  static Flag convert(PyObject* obj, std::string_view /*name*/) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) {
      throw PythonError{};
    }
    return {truth == 1};
  }
};

template <>
struct Converter<Text> {
  static constexpr Messages messages = Messages::named;
  static Text convert(PyObject* obj, std::string_view name);
};

/// @brief An option converts what the caller gave with its inner type's converter.
template <class T>
struct Converter<Option<T>> {
  static constexpr Messages messages = Messages::named;
  static Option<T> convert(PyObject* obj, std::string_view name) {
    return obj == nullptr ? Option<T>{} : Option<T>{Converter<T>::convert(obj, name)};
  }
};

// ---------------------------------------------------------------- the call's conversion

template <class T>
concept HasFamily = requires { Converter<T>::messages; };

/// @brief Whether a callable declaring @p family may take a T.
template <class T, Messages family>
inline constexpr bool converts_in = [] {
  if constexpr (HasFamily<T>) {
    return Converter<T>::messages == family;
  } else {
    return true;
  }
}();

/// @brief Argument NAME converted to T, with the errors of the callable's family.
template <class T, Messages family>
T convert_argument(PyObject* obj, std::string_view name) {
  static_assert(converts_in<T, family>,
                "a parameter type of the other message family: declare the callable's family");
  if constexpr (std::is_same_v<T, double>) {
    // The one-time calls' path: inline, without a handler to set up.
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) [[unlikely]] {
      remap_type_error(name);
      throw PythonError{};
    }
    return value;
  } else if constexpr (family == Messages::original) {
    try {
      return Converter<T>::convert(obj, name);
    } catch (const PythonError&) {
      remap_type_error(name);
      throw;
    }
  } else {
    return Converter<T>::convert(obj, name);
  }
}

}  // namespace quorvel::python
