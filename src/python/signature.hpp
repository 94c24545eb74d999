#pragma once
// A callable's parameters: parsed at compile time from the texts of its Python
// signature, written into its stored doc string, and bound to the arguments of
// a call with the interpreter's own TypeError texts.
//
// Parameters are written as in a Python signature: "name" is required and may
// be given by position or keyword, "m=1" may be too and has a default; after a
// "*" come keyword-only parameters, required ("degree") or with their default
// as the signature shows it ("derivative=0"). A parameter with a default that
// the call does not give reaches the lambda as an empty Option.

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "handle.hpp"

namespace quorvel::python {

/// @brief How a callable words its errors, declared by every callable.
///
/// `original`: the callables whose texts are fixed since the first release. Binding
/// errors say "1 positional arguments"; a TypeError of a conversion becomes
/// "argument 'NAME': " + the interpreter's own text, and other errors pass unchanged.
/// `named`: everything added since. Binding errors follow Python's own grammar, and
/// conversions raise errors that name the argument and what was received
/// ("degree must be at least 1, got 0").
enum class Messages { original, named };

/// @brief A string literal usable as a template argument.
template <std::size_t N>
struct FixedString {
  char chars[N]{};
  constexpr FixedString(const char (&text)[N]) { std::copy_n(text, N, chars); }
  [[nodiscard]] constexpr std::string_view view() const { return {chars, N - 1}; }
};

/// @brief Whether a parameter text carries a default ("name=default").
/// (A plain loop: string_view::find is not a constant expression under the sanitizers.)
constexpr bool has_default(std::string_view text) {
  for (char ch : text) {
    if (ch == '=') {
      return true;
    }
  }
  return false;
}

/// @brief The name part of a parameter text.
constexpr std::string_view name_of(std::string_view text) {
  std::size_t n = 0;
  while (n < text.size() && text[n] != '=') {
    ++n;
  }
  return text.substr(0, n);
}

/// @brief What the binder needs to know of a callable's parameters.
struct Parameters {
  std::string_view full_name;  // "NAME()" or "CLASS.NAME()", as binding errors show it
  const std::string_view* names;
  const bool* required;  // per parameter
  std::size_t count;
  std::size_t positional;  // the first `positional` parameters may be given by position
  std::size_t required_count;
  Messages messages;
};

/// @brief The parameters of a callable, parsed from their signature texts.
template <FixedString... Texts>
struct ParameterList {
  static constexpr std::array<std::string_view, sizeof...(Texts)> texts{Texts.view()...};
  static constexpr std::size_t count = [] {
    std::size_t n = 0;
    for (auto text : texts) {
      n += text != "*" ? 1 : 0;
    }
    return n;
  }();
  /// @brief The names, without the "*" marker and without defaults.
  static constexpr std::array<std::string_view, count> names = [] {
    std::array<std::string_view, count> result{};
    std::size_t at = 0;
    for (auto text : texts) {
      if (text != "*") {
        result[at++] = name_of(text);
      }
    }
    return result;
  }();
  /// @brief Whether each parameter must be given (it has no default).
  static constexpr std::array<bool, count> required = [] {
    std::array<bool, count> result{};
    std::size_t at = 0;
    for (auto text : texts) {
      if (text != "*") {
        result[at++] = !has_default(text);
      }
    }
    return result;
  }();
  /// @brief How many parameters may be given by position (those before "*").
  static constexpr std::size_t positional = [] {
    std::size_t n = 0;
    for (auto text : texts) {
      if (text == "*") {
        break;
      }
      ++n;
    }
    return n;
  }();
  /// @brief How many parameters must be given.
  static constexpr std::size_t required_count = [] {
    std::size_t n = 0;
    for (bool r : required) {
      n += r ? 1 : 0;
    }
    return n;
  }();
  static_assert(
      [] {
        for (std::size_t i = 1; i < positional; ++i) {
          if (required[i] && !required[i - 1]) {
            return false;
          }
        }
        return true;
      }(),
      "a positional parameter with a default is followed by required ones");
};

/// @brief The stored doc string "NAME(TEXTS)\n--\n\nBODY"; methods get "$self" first.
template <FixedString Name, bool IsMethod, FixedString Body, FixedString... Texts>
constexpr auto make_doc() {
  constexpr std::array<std::string_view, sizeof...(Texts)> texts{Texts.view()...};
  constexpr auto length = [&] {
    std::size_t n = Name.view().size() + 1 + (IsMethod ? 5 : 0) + 6 + Body.view().size();
    for (std::size_t i = 0; i < texts.size(); ++i) {
      n += texts[i].size() + ((i > 0 || IsMethod) ? 2 : 0);
    }
    return n;
  }();
  std::array<char, length + 1> doc{};
  std::size_t at = 0;
  auto put = [&](std::string_view s) {
    for (char ch : s) {
      doc[at++] = ch;
    }
  };
  put(Name.view());
  put("(");
  if (IsMethod) {
    put("$self");
  }
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i > 0 || IsMethod) {
      put(", ");
    }
    put(texts[i]);
  }
  put(")\n--\n\n");
  put(Body.view());
  doc[at] = '\0';
  return doc;
}

/// @brief "NAME()" or "CLASS.NAME()" as a constant.
template <FixedString Owner, FixedString Name>
constexpr auto make_full_name() {
  constexpr std::size_t owner = Owner.view().size();
  std::array<char, owner + (owner > 0 ? 1 : 0) + Name.view().size() + 3> text{};
  std::size_t at = 0;
  for (char ch : Owner.view()) {
    text[at++] = ch;
  }
  if (owner > 0) {
    text[at++] = '.';
  }
  for (char ch : Name.view()) {
    text[at++] = ch;
  }
  text[at++] = '(';
  text[at++] = ')';
  text[at] = '\0';
  return text;
}

/// @brief Binds keywords too, or raises the TypeError; the general path of bind_fastcall.
void bind_fastcall_general(const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** out);

/// @brief Binds a fast-call argument vector to the parameters, or raises the TypeError;
/// a parameter that was not given (one with a default) is left as nullptr.
inline void bind_fastcall(const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, PyObject** out) {
  if (kwnames == nullptr && static_cast<std::size_t>(nargs) == params.positional &&
      params.required_count == params.positional) {
    // Every required parameter given by position, no option: nothing to check.
    std::copy_n(args, nargs, out);
    std::fill(out + nargs, out + params.count, nullptr);
    return;
  }
  bind_fastcall_general(params, args, nargs, kwnames, out);
}

/// @brief Binds an argument tuple and keyword dict (constructors) the same way.
void bind_tuple(const Parameters& params, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace quorvel::python
