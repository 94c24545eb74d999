#pragma once
// The machinery every Python-facing callable is built from: argument
// binding with the interpreter's TypeError texts, argument conversion with
// the "argument 'NAME': " remapping, the per-instance borrow counter, the
// call boundary that turns internal failures into PanicException, and the
// conversion of results.
//
// A callable is declared as its name, its parameter names and a lambda whose
// parameter types select the conversions:
//
//   Function<"sum_as_string", [](std::uint32_t a, std::uint32_t b) {...}, "a", "b">
//   Method<Payload, "evaluate_at", Access::shared, [](const Payload&, double t) {...}, "t">
//   Constructor<Payload, [](std::uint32_t degree, ...) { return Payload{...}; }, "degree", ...>
//
// Parameters are written as in a Python signature: "name" is required and may
// be given by position or keyword; after a "*" come keyword-only options with
// their default as the signature shows it ("derivative=0"), which the lambda
// receives as Option<T>.
//
// Two conversion families exist. The original callables convert with the
// interpreter's own errors, remapped to "argument 'NAME': ..." (std::uint32_t,
// double, std::vector<double>, Float64Buffer). The array-era callables use
// Object, Bounded<Min, Max>, Real and Text, whose errors name the argument and
// what was received ("degree must be at least 1, got 0"); a callable that uses
// them also gets Python's own grammar in its binding errors.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "handle.hpp"
#include "sparse_matrix_tools/sparse_matrix.hpp"
#include "support/failure.hpp"

namespace quorvel::python {

// ---------------------------------------------------------------- names

/// @brief A string literal usable as a template argument.
template <std::size_t N>
struct FixedString {
  char chars[N]{};
  constexpr FixedString(const char (&text)[N]) { std::copy_n(text, N, chars); }
  [[nodiscard]] constexpr std::string_view view() const { return {chars, N - 1}; }
};

/// @brief Whether a parameter text carries a default ("name=default").
/// (A plain loop: string_view::find is not a constant expression under the sanitizers.)
constexpr bool has_default(std::string_view spec) {
  for (char ch : spec) {
    if (ch == '=') {
      return true;
    }
  }
  return false;
}

/// @brief The name part of a parameter text.
constexpr std::string_view name_of(std::string_view spec) {
  std::size_t n = 0;
  while (n < spec.size() && spec[n] != '=') {
    ++n;
  }
  return spec.substr(0, n);
}

/// @brief The parameters of a callable, parsed from their signature texts.
template <FixedString... Specs>
struct ParameterSpec {
  static constexpr std::array<std::string_view, sizeof...(Specs)> specs{Specs.view()...};
  static constexpr std::size_t count = [] {
    std::size_t n = 0;
    for (auto spec : specs) {
      n += spec != "*" ? 1 : 0;
    }
    return n;
  }();
  /// @brief The names, without the "*" marker and without defaults.
  static constexpr std::array<std::string_view, count> names = [] {
    std::array<std::string_view, count> result{};
    std::size_t at = 0;
    for (auto spec : specs) {
      if (spec != "*") {
        result[at++] = name_of(spec);
      }
    }
    return result;
  }();
  /// @brief How many parameters may be given by position (those before "*").
  static constexpr std::size_t positional = [] {
    std::size_t n = 0;
    for (auto spec : specs) {
      if (spec == "*") {
        break;
      }
      ++n;
    }
    return n;
  }();
  /// @brief How many leading parameters are required (those without a default).
  static constexpr std::size_t required = [] {
    std::size_t n = 0;
    for (auto spec : specs) {
      if (spec == "*" || has_default(spec)) {
        break;
      }
      ++n;
    }
    return n;
  }();
  static_assert(required == positional,
                "every positional parameter is required, every option has a default");
};

/// @brief The stored doc string "NAME(SPECS)\n--\n\nBODY"; methods get "$self" first.
template <FixedString Name, bool IsMethod, FixedString Body, FixedString... Specs>
constexpr auto make_doc() {
  constexpr std::array<std::string_view, sizeof...(Specs)> specs{Specs.view()...};
  constexpr auto length = [&] {
    std::size_t n = Name.view().size() + 1 + (IsMethod ? 5 : 0) + 6 + Body.view().size();
    for (std::size_t i = 0; i < specs.size(); ++i) {
      n += specs[i].size() + ((i > 0 || IsMethod) ? 2 : 0);
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
  for (std::size_t i = 0; i < specs.size(); ++i) {
    if (i > 0 || IsMethod) {
      put(", ");
    }
    put(specs[i]);
  }
  put(")\n--\n\n");
  put(Body.view());
  doc[at] = '\0';
  return doc;
}

// ---------------------------------------------------------------- binding

/// @brief A callable's name as binding errors show it: "NAME()" or "CLASS.NAME()".
struct FullName {
  const char* owner;  // class name, or nullptr for a module function
  const char* name;

  [[nodiscard]] std::string text() const;
};

/// @brief What the binder needs to know of a callable's parameters.
struct Parameters {
  std::span<const std::string_view> names;
  std::size_t positional;  // the first `positional` names are required, the rest keyword-only
  bool python_grammar;     // "1 positional argument" rather than "1 positional arguments"
};

/// @brief Binds keywords too, or raises the TypeError; the general path of bind_fastcall.
void bind_fastcall_general(FullName full_name, const Parameters& params, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

/// @brief Binds a fast-call argument vector to the parameters, or raises the TypeError;
/// an option that was not given is left as nullptr.
inline void bind_fastcall(FullName full_name, const Parameters& params, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  if (kwnames == nullptr && static_cast<std::size_t>(nargs) == params.positional) {
    // Every required parameter given by position, no option: nothing to check.
    std::copy_n(args, nargs, out);
    std::fill(out + nargs, out + params.names.size(), nullptr);
    return;
  }
  bind_fastcall_general(full_name, params, args, nargs, kwnames, out);
}

/// @brief Binds an argument tuple and keyword dict (constructors) the same way.
void bind_tuple(FullName full_name, const Parameters& params, PyObject* args, PyObject* kwargs,
                PyObject** out);

// ---------------------------------------------------------------- conversions

/// @brief Replaces a pending TypeError by "argument 'NAME': " + its text, chained as __cause__.
void remap_type_error(std::string_view name);

std::uint32_t to_u32(PyObject* obj);
double to_double_general(PyObject* obj);
std::vector<double> to_double_vector(PyObject* obj);

/// @brief A float is read directly; anything else through the interpreter's float conversion.
inline double to_double(PyObject* obj) {
  return PyFloat_CheckExact(obj) ? PyFloat_AS_DOUBLE(obj) : to_double_general(obj);
}

/// @brief Converts one argument to T; specialised per parameter type.
template <class T>
struct FromPython;

template <>
struct FromPython<std::uint32_t> {
  static std::uint32_t convert(PyObject* obj) { return to_u32(obj); }
};
template <>
struct FromPython<double> {
  static double convert(PyObject* obj) { return to_double(obj); }
};
template <>
struct FromPython<std::vector<double>> {
  static std::vector<double> convert(PyObject* obj) { return to_double_vector(obj); }
};

// ------------------------------------------------ conversions that name the argument

/// @brief Sets TypeError "NAME must be WHAT, got TYPE" and throws.
[[noreturn]] void raise_wrong_type(std::string_view name, const char* what, PyObject* received);

/// @brief Sets ValueError "NAME must be WHAT, got REPR" and throws.
[[noreturn]] void raise_wrong_value(std::string_view name, std::string_view what,
                                    PyObject* received);

/// @brief raise_wrong_value for an integer that was already converted.
[[noreturn]] void raise_wrong_value(std::string_view name, std::string_view what,
                                    std::int64_t received);

/// @brief Any object, borrowed for the length of the call.
struct Object {
  PyObject* ptr;
};

/// @brief An int (or an object with __index__, bool refused) within [Min, Max].
template <std::int64_t Min, std::int64_t Max>
struct Bounded {
  std::int64_t value;
};

/// @brief The int64 value of an index-like object, or the TypeError and ValueError
/// that name the argument and the range.
std::int64_t to_bounded_integer(PyObject* obj, std::string_view name, std::int64_t min,
                                std::int64_t max);

/// @brief A real number: float, int, or anything with __float__ or __index__.
struct Real {
  double value;
};

/// @brief A positive, finite real number: a length, such as the end T of [0, T].
struct Length {
  double value;
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

/// @brief Converts one argument of the naming family to T.
template <class T>
struct FromPythonNamed;

template <>
struct FromPythonNamed<Object> {
  static Object convert(PyObject* obj, std::string_view) { return {obj}; }
};
template <std::int64_t Min, std::int64_t Max>
struct FromPythonNamed<Bounded<Min, Max>> {
  static Bounded<Min, Max> convert(PyObject* obj, std::string_view name) {
    return {to_bounded_integer(obj, name, Min, Max)};
  }
};
template <>
struct FromPythonNamed<Real> {
  static Real convert(PyObject* obj, std::string_view name);
};
template <>
struct FromPythonNamed<Length> {
  static Length convert(PyObject* obj, std::string_view name);
};
template <>
struct FromPythonNamed<Text> {
  static Text convert(PyObject* obj, std::string_view name);
};

template <class T>
concept NamedConversion =
    requires(PyObject* obj, std::string_view name) { FromPythonNamed<T>::convert(obj, name); };

template <class T>
struct IsOption : std::false_type {};
template <class T>
struct IsOption<Option<T>> : std::true_type {};

/// @brief True for the parameter types whose callables use Python's grammar.
template <class T>
inline constexpr bool uses_naming_family = NamedConversion<T> || IsOption<T>::value;

template <class T>
T convert_argument(PyObject* obj, std::string_view name) {
  if constexpr (IsOption<T>::value) {
    using Inner = decltype(*std::declval<T>().given);
    return obj == nullptr ? T{}
                          : T{FromPythonNamed<std::remove_cvref_t<Inner>>::convert(obj, name)};
  } else if constexpr (NamedConversion<T>) {
    return FromPythonNamed<T>::convert(obj, name);
  } else {
    try {
      return FromPython<T>::convert(obj);
    } catch (const PythonError&) {
      remap_type_error(name);
      throw;
    }
  }
}

// ---------------------------------------------------------------- modules

/// @brief An attribute of another module (numpy.empty, scipy.sparse.csr_array),
/// imported on first use rather than with quorvel, then kept for the process.
class LazyAttribute {
 public:
  constexpr LazyAttribute(const char* module, const char* attribute) noexcept
      : module_(module), attribute_(attribute) {}
  /// @brief The attribute (a borrowed reference), importing its module now if needed.
  PyObject* get();

 private:
  const char* module_;
  const char* attribute_;
  PyObject* cached_ = nullptr;
};

// ---------------------------------------------------------------- results

PyObject* to_python(double value);
inline PyObject* to_python(std::uint32_t value) { return check(PyLong_FromUnsignedLong(value)); }
inline PyObject* to_python(std::uint64_t value) {
  return check(PyLong_FromUnsignedLongLong(value));
}
PyObject* to_python(const std::string& text);
PyObject* to_python(std::span<const double> values);
/// @brief A vector of doubles, whatever its allocator, as a new list of floats.
template <class Allocator>
PyObject* to_python(const std::vector<double, Allocator>& values) {
  return to_python(std::span<const double>(values));
}
/// @brief A sparse matrix as its triplets (row indices, column indices, values): a tuple
/// of three new lists.
PyObject* to_python(const CsrMatrix& matrix);

// ---------------------------------------------------------------- boundary

/// @brief Raises PanicException (created on first need) carrying message.
void raise_panic(const std::string& message);

/// @brief The PanicException class, created on first need; nullptr with the error set if
/// it cannot be created.
PyObject* panic_type();

/// @brief Gives the PanicException class a reduction that survives pickling, through
/// panic_reconstructor; false with the error set on failure.
bool make_panic_picklable(PyObject* type);

/// @brief The module's private _panic_from_pickle, which rebuilds a pickled PanicException.
PyMethodDef& panic_reconstructor();

/// @brief Runs an operation at the call boundary: every failure becomes a set exception.
template <class F>
PyObject* boundary(F&& operation) noexcept {
  try {
    return operation();
  } catch (const PythonError&) {
  } catch (const InternalFailure& failure) {
    raise_panic(failure.message());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    try {
      fail(error.what());
    } catch (const InternalFailure& failure) {
      raise_panic(failure.message());
    }
  } catch (...) {
    raise_panic("internal failure without a message");
  }
  return nullptr;
}

// ---------------------------------------------------------------- borrows

/// @brief Per-instance borrow state: 0 free, -1 exclusive, n > 0 shared by n calls.
using BorrowCounter = std::atomic<std::int32_t>;

/// @brief What a call holds for its length: a shared or an exclusive borrow, or none at all
/// (members that read only what the constructor fixed, such as a repr or the degree).
enum class Access { shared, exclusive, none };

/// @brief Holds a borrow for the length of a call; a conflict raises RuntimeError at once.
///
/// Every borrow is taken and returned with the interpreter lock held (a batch
/// method returns its borrow after taking the lock back), so the lock orders
/// all changes of the counter and plain loads and stores suffice. Without that
/// lock (free-threaded builds) the counter changes by compare-and-swap.
template <Access access>
class Borrow {
 public:
  explicit Borrow(BorrowCounter& counter) : counter_(counter) {
    std::int32_t current = counter_.load(std::memory_order_relaxed);
    if constexpr (access == Access::none) {
      (void)current;
    } else if constexpr (access == Access::exclusive) {
      do {
        if (current != 0) {
          raise(PyExc_RuntimeError, "Already borrowed");
        }
      } while (!try_change(current, -1));
    } else {
      do {
        if (current < 0) {
          raise(PyExc_RuntimeError, "Already mutably borrowed");
        }
      } while (!try_change(current, current + 1));
    }
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if constexpr (access == Access::none) {
    } else if constexpr (access == Access::exclusive) {
      counter_.store(0, std::memory_order_release);
    } else {
#ifdef Py_GIL_DISABLED
      counter_.fetch_sub(1, std::memory_order_release);
#else
      counter_.store(counter_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
#endif
    }
  }

 private:
  bool try_change(std::int32_t& current, std::int32_t next) noexcept {
#ifdef Py_GIL_DISABLED
    return counter_.compare_exchange_weak(current, next, std::memory_order_acquire,
                                          std::memory_order_relaxed);
#else
    counter_.store(next, std::memory_order_relaxed);
    (void)current;
    return true;
#endif
  }

  BorrowCounter& counter_;
};

/// @brief Releases the interpreter lock for the lifetime of the guard.
class ReleasedLock {
 public:
  ReleasedLock() noexcept : state_(PyEval_SaveThread()) {}
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;
  ~ReleasedLock() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// ---------------------------------------------------------------- callables

namespace detail {

template <class F>
struct Signature : Signature<decltype(&F::operator())> {};
template <class C, class R, class... A>
struct Signature<R (C::*)(A...) const> {
  using Result = R;
  using Args = std::tuple<std::remove_cvref_t<A>...>;
};

template <class Args, std::size_t Skip, std::size_t... I>
auto convert_all(PyObject* const* bound, [[maybe_unused]] std::span<const std::string_view> names,
                 std::index_sequence<I...>) {
  // Braced initialisation converts strictly left to right: parameter order.
  return std::tuple<std::tuple_element_t<I + Skip, Args>...>{
      convert_argument<std::tuple_element_t<I + Skip, Args>>(bound[I], names[I])...};
}

/// @brief The parameters of a callable whose lambda takes Args, the first Skip being
/// the receiver: their binding rules and their conversion.
template <class Args, std::size_t Skip, FixedString... Specs>
struct Bound {
  using Spec = ParameterSpec<Specs...>;
  static_assert(std::tuple_size_v<Args> == Spec::count + Skip);

  static constexpr bool python_grammar = []<std::size_t... I>(std::index_sequence<I...>) {
    return (uses_naming_family<std::tuple_element_t<I + Skip, Args>> || ...);
  }(std::make_index_sequence<Spec::count>{});

  static constexpr Parameters parameters() {
    return {Spec::names, Spec::positional, python_grammar};
  }

  /// @brief The arguments converted in parameter order.
  static auto convert(PyObject* const* bound) {
    return convert_all<Args, Skip>(bound, Spec::names, std::make_index_sequence<Spec::count>{});
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
template <FixedString Name, auto Fn, FixedString... Params>
struct Function {
  using Sig = detail::Signature<decltype(Fn)>;
  using Args = detail::Bound<typename Sig::Args, 0, Params...>;

  /// @brief The method table entry; Body is the doc text after the signature.
  template <FixedString Body = "">
  static PyMethodDef def() {
    static constexpr auto doc = make_doc<Name, false, Body, Params...>();
    return {Name.chars, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call)),
            METH_FASTCALL | METH_KEYWORDS, doc.data()};
  }

  static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      PyObject* bound[Args::Spec::count + 1];
      bind_fastcall({nullptr, Name.chars}, Args::parameters(), args, nargs, kwnames, bound);
      return detail::call_and_convert<typename Sig::Result>(
          [&] { return std::apply(Fn, Args::convert(bound)); });
    });
  }
};

/// @brief A class instance: the object header, its borrow counter and the native payload.
template <class Payload>
struct Instance {
  PyObject_HEAD BorrowCounter borrow;
  Payload payload;

  static inline PyTypeObject* type = nullptr;  // set when the class is created
};

/// @brief Checks the receiver's class: "'TYPE' object cannot be cast as 'CLASS'".
void check_receiver(PyObject* self, PyTypeObject* expected, const char* class_name);

/// @brief A method holding a shared or exclusive borrow of its instance for the whole call.
///
template <class Payload, FixedString Name, Access access, auto Fn, FixedString... Params>
struct Method {
  using Sig = detail::Signature<decltype(Fn)>;
  using Args = detail::Bound<typename Sig::Args, 1, Params...>;

  /// @brief The method table entry; Body is the doc text after the signature.
  template <FixedString Body = "">
  static PyMethodDef def() {
    static constexpr auto doc = make_doc<Name, true, Body, Params...>();
    return {Name.chars, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call)),
            METH_FASTCALL | METH_KEYWORDS, doc.data()};
  }

  static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      PyObject* bound[Args::Spec::count + 1];
      bind_fastcall({Payload::class_name, Name.chars}, Args::parameters(), args, nargs, kwnames,
                    bound);
      check_receiver(self, Instance<Payload>::type, Payload::class_name);
      auto* instance = reinterpret_cast<Instance<Payload>*>(self);
      Borrow<access> borrow(instance->borrow);
      return detail::call_and_convert<typename Sig::Result>([&] {
        return std::apply(
            [&](auto&&... arguments) {
              return Fn(instance->payload, std::forward<decltype(arguments)>(arguments)...);
            },
            Args::convert(bound));
      });
    });
  }
};

/// @brief The class constructor: binds, converts, builds the payload, then the instance.
template <class Payload, auto Fn, FixedString... Params>
struct Constructor {
  using Sig = detail::Signature<decltype(Fn)>;
  using Args = detail::Bound<typename Sig::Args, 0, Params...>;

  static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> PyObject* {
      PyObject* bound[Args::Spec::count + 1];
      bind_tuple({Payload::class_name, "__new__"}, Args::parameters(), args, kwargs, bound);
      Payload payload = std::apply(Fn, Args::convert(bound));
      auto* instance = reinterpret_cast<Instance<Payload>*>(check(type->tp_alloc(type, 0)));
      new (&instance->borrow) BorrowCounter(0);
      new (&instance->payload) Payload(std::move(payload));
      return reinterpret_cast<PyObject*>(instance);
    });
  }

  static void tp_dealloc(PyObject* self) {
    auto* instance = reinterpret_cast<Instance<Payload>*>(self);
    instance->payload.~Payload();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
  }
};

// ---------------------------------------------------------------- attributes and repr

/// @brief repr(float(value)): the shortest text that reads back as the same double.
std::string float_repr(double value);

/// @brief A read-only attribute: Fn(const Payload&) converted like a method's result, with the
/// borrow that `access` names held while it runs. Assigning or deleting it raises the
/// interpreter's AttributeError ("attribute 'NAME' of 'CLASS' objects is not writable").
template <class Payload, FixedString Name, Access access, auto Fn>
struct Property {
  /// @brief The table entry; Doc is the attribute's doc string.
  template <FixedString Doc>
  static PyGetSetDef def() {
    return {Name.chars, &get, nullptr, Doc.chars, nullptr};
  }

  static PyObject* get(PyObject* self, void*) {
    return boundary([&]() -> PyObject* {
      // The descriptor has checked the receiver's class.
      auto& instance = *reinterpret_cast<Instance<Payload>*>(self);
      Borrow<access> borrow(instance.borrow);
      return detail::call_and_convert<decltype(Fn(instance.payload))>(
          [&] { return Fn(instance.payload); });
    });
  }
};

/// @brief The repr slot: the text Fn(const Payload&). It takes no borrow, so Fn reads only
/// what the constructor fixed, and a repr works even in the middle of a mutating call.
template <class Payload, auto Fn>
struct Repr {
  static PyObject* call(PyObject* self) {
    return boundary([&]() -> PyObject* {
      return to_python(Fn(reinterpret_cast<Instance<Payload>*>(self)->payload));
    });
  }
};

/// @brief What a class has beyond its constructor and methods.
struct ClassMembers {
  PyGetSetDef* properties = nullptr;  // read-only attributes, ended by an entry without a name
  reprfunc repr = nullptr;            // nullptr keeps object's repr
};

/// @brief Creates a class type: base object, not subclassable, no __dict__, no weak references.
template <class Payload, class Ctor>
PyObject* create_class(const char* qualified_name, const char* doc, PyMethodDef* methods,
                       ClassMembers members = {}) {
  PyType_Slot slots[7] = {
      {Py_tp_new, reinterpret_cast<void*>(&Ctor::tp_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&Ctor::tp_dealloc)},
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_methods, methods},
  };
  std::size_t slot_count = 4;
  if (members.properties != nullptr) {
    slots[slot_count++] = {Py_tp_getset, members.properties};
  }
  if (members.repr != nullptr) {
    slots[slot_count++] = {Py_tp_repr, reinterpret_cast<void*>(members.repr)};
  }
  slots[slot_count] = {0, nullptr};
  // The qualified name sets __module__ (an unqualified one draws a DeprecationWarning,
  // which fails the import under -W error); the type name itself stays unqualified.
  PyType_Spec spec = {qualified_name, static_cast<int>(sizeof(Instance<Payload>)), 0,
                      Py_TPFLAGS_DEFAULT, slots};
  Ref type(PyType_FromSpec(&spec));
  if (!type) {
    return nullptr;
  }
  reinterpret_cast<PyTypeObject*>(type.get())->tp_name = Payload::class_name;
  // As for functions, a doc string that is only a text signature reads as None.
  if (std::string_view(doc).ends_with("\n--\n\n") &&
      PyObject_SetAttrString(type.get(), "__doc__", Py_None) < 0) {
    return nullptr;
  }
  Instance<Payload>::type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type.get()));
  return type.release();
}

}  // namespace quorvel::python
