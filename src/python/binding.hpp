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

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
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

/// @brief The stored doc string "NAME(PARAMS)\n--\n\nBODY"; methods get "$self" first.
template <FixedString Name, bool IsMethod, FixedString Body, FixedString... Params>
constexpr auto make_doc() {
  constexpr std::array<std::string_view, sizeof...(Params)> params{Params.view()...};
  constexpr auto length = [&] {
    std::size_t n = Name.view().size() + 1 + (IsMethod ? 5 : 0) + 6 + Body.view().size();
    for (std::size_t i = 0; i < params.size(); ++i) {
      n += params[i].size() + ((i > 0 || IsMethod) ? 2 : 0);
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
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (i > 0 || IsMethod) {
      put(", ");
    }
    put(params[i]);
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

/// @brief Binds keywords too, or raises the TypeError; the general path of bind_fastcall.
void bind_fastcall_general(FullName full_name, std::span<const std::string_view> params,
                           PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           PyObject** out);

/// @brief Binds a fast-call argument vector to the parameters, or raises the TypeError.
inline void bind_fastcall(FullName full_name, std::span<const std::string_view> params,
                          PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          PyObject** out) {
  if (kwnames == nullptr && static_cast<std::size_t>(nargs) == params.size()) {
    std::copy_n(args, nargs, out);  // every parameter given by position: nothing to check
    return;
  }
  bind_fastcall_general(full_name, params, args, nargs, kwnames, out);
}

/// @brief Binds an argument tuple and keyword dict (constructors) the same way.
void bind_tuple(FullName full_name, std::span<const std::string_view> params, PyObject* args,
                PyObject* kwargs, PyObject** out);

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

template <class T>
T convert_argument(PyObject* obj, std::string_view name) {
  try {
    return FromPython<T>::convert(obj);
  } catch (const PythonError&) {
    remap_type_error(name);
    throw;
  }
}

// ---------------------------------------------------------------- results

PyObject* to_python(double value);
PyObject* to_python(const std::string& text);
PyObject* to_python(const std::vector<double>& values);
/// @brief A sparse matrix as its triplets (row indices, column indices, values): a tuple
/// of three new lists.
PyObject* to_python(const CsrMatrix& matrix);

// ---------------------------------------------------------------- boundary

/// @brief Raises PanicException (created on first need) carrying message.
void raise_panic(const std::string& message);

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

enum class Access { shared, exclusive };

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
    if constexpr (access == Access::exclusive) {
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
    if constexpr (access == Access::exclusive) {
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
auto convert_all(PyObject* const* bound, std::span<const std::string_view> names,
                 std::index_sequence<I...>) {
  // Braced initialisation converts strictly left to right: parameter order.
  return std::tuple<std::tuple_element_t<I + Skip, Args>...>{
      convert_argument<std::tuple_element_t<I + Skip, Args>>(bound[I], names[I])...};
}

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
  static constexpr std::array<std::string_view, sizeof...(Params)> params{Params.view()...};
  static_assert(std::tuple_size_v<typename Sig::Args> == sizeof...(Params));

  template <FixedString Body = "">
  static PyMethodDef def() {
    static constexpr auto doc = make_doc<Name, false, Body, Params...>();
    return {Name.chars, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call)),
            METH_FASTCALL | METH_KEYWORDS, doc.data()};
  }

  static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      PyObject* bound[sizeof...(Params) + 1];
      bind_fastcall({nullptr, Name.chars}, params, args, nargs, kwnames, bound);
      return detail::call_and_convert<typename Sig::Result>([&] {
        auto converted = detail::convert_all<typename Sig::Args, 0>(
            bound, params, std::make_index_sequence<sizeof...(Params)>{});
        return std::apply(Fn, std::move(converted));
      });
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
template <class Payload, FixedString Name, Access access, auto Fn, FixedString... Params>
struct Method {
  using Sig = detail::Signature<decltype(Fn)>;
  static constexpr std::array<std::string_view, sizeof...(Params)> params{Params.view()...};
  static_assert(std::tuple_size_v<typename Sig::Args> == sizeof...(Params) + 1);

  static PyMethodDef def() {
    static constexpr auto doc = make_doc<Name, true, "", Params...>();
    return {Name.chars, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call)),
            METH_FASTCALL | METH_KEYWORDS, doc.data()};
  }

  static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      PyObject* bound[sizeof...(Params) + 1];
      bind_fastcall({Payload::class_name, Name.chars}, params, args, nargs, kwnames, bound);
      check_receiver(self, Instance<Payload>::type, Payload::class_name);
      auto* instance = reinterpret_cast<Instance<Payload>*>(self);
      Borrow<access> borrow(instance->borrow);
      return detail::call_and_convert<typename Sig::Result>([&] {
        auto converted = detail::convert_all<typename Sig::Args, 1>(
            bound, params, std::make_index_sequence<sizeof...(Params)>{});
        return std::apply(
            [&](auto&&... arguments) {
              return Fn(instance->payload, std::forward<decltype(arguments)>(arguments)...);
            },
            std::move(converted));
      });
    });
  }
};

/// @brief The class constructor: binds, converts, builds the payload, then the instance.
template <class Payload, auto Fn, FixedString... Params>
struct Constructor {
  using Sig = detail::Signature<decltype(Fn)>;
  static constexpr std::array<std::string_view, sizeof...(Params)> params{Params.view()...};

  static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> PyObject* {
      PyObject* bound[sizeof...(Params) + 1];
      bind_tuple({Payload::class_name, "__new__"}, params, args, kwargs, bound);
      Payload payload =
          std::apply(Fn, detail::convert_all<typename Sig::Args, 0>(
                             bound, params, std::make_index_sequence<sizeof...(Params)>{}));
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

/// @brief Creates a class type: base object, not subclassable, no __dict__, no weak references.
template <class Payload, class Ctor>
PyObject* create_class(const char* qualified_name, const char* doc, PyMethodDef* methods) {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(&Ctor::tp_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&Ctor::tp_dealloc)},
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_methods, methods},
      {0, nullptr},
  };
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
