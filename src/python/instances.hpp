#pragma once
// Class instances: the object that holds a native payload and its borrow
// counter, the borrows calls take, and the constructor, methods, attributes
// and repr of a class, each declared like a function (callables.hpp):
//
//   Method<Payload, "evaluate_at", Messages::original, Access::shared,
//          [](const Payload&, double t) {...}, "t">
//   Constructor<Payload, Messages::original, [](std::uint32_t degree, ...) {
//     return Payload{...}; }, "degree", ...>
//
// A Payload names its class: static constexpr FixedString class_name = "CLASS".

#include <array>
#include <atomic>
#include <cstdint>
#include <new>
#include <string_view>
#include <utility>

#include "callables.hpp"
#include "support/messages.hpp"

namespace quorvel::python {

// ---------------------------------------------------------------- borrows

/// @brief Per-instance borrow state: the process generation that took the borrows (high
/// 32 bits) and their count (low 32 bits: 0 free, -1 exclusive, n > 0 shared by n calls).
/// A count from another generation was taken before a fork, by threads the child lacks:
/// it reads as free.
using BorrowCounter = std::atomic<std::uint64_t>;

/// @brief What a call holds for its length: a shared or an exclusive borrow, or none at all
/// (members that read only what the constructor fixed, such as a repr or the degree).
enum class Access { shared, exclusive, none };

namespace detail {

/// @brief 0 in the process that imported the module, one more in each forked child.
inline std::atomic<std::uint32_t> process_generation{0};

/// @brief The state of a counter holding @p count borrows of @p generation.
constexpr std::uint64_t borrow_state(std::uint32_t generation, std::int32_t count) noexcept {
  return (std::uint64_t{generation} << 32) | static_cast<std::uint32_t>(count);
}

/// @brief The count of @p state, 0 when another generation took it.
constexpr std::int32_t borrow_count(std::uint64_t state, std::uint32_t generation) noexcept {
  return static_cast<std::uint32_t>(state >> 32) == generation
             ? static_cast<std::int32_t>(static_cast<std::uint32_t>(state))
             : 0;
}

}  // namespace detail

/// @brief Makes every borrow taken before a fork read as released in the child (registered
/// once, when the module is created).
///
/// The threads that took them do not exist there. The thread that forked does, and goes
/// on with its calls, but without their borrows: it forks only from Python code that one
/// of its calls runs (a conversion's __float__, say), and knowing which borrows are its
/// own would cost every borrow a thread-local lookup. Counts stay right either way: a
/// borrow from before the fork is returned in the child without touching the counter.
void register_borrow_fork_handler();

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
    if constexpr (access != Access::none) {
      generation_ = detail::process_generation.load(std::memory_order_relaxed);
      std::uint64_t state = counter_.load(std::memory_order_relaxed);
      std::int32_t count = 0;
      do {
        count = detail::borrow_count(state, generation_);
        if (access == Access::exclusive ? count != 0 : count < 0) {
          raise(PyExc_RuntimeError, access == Access::exclusive
                                        ? messages::already_borrowed
                                        : messages::already_mutably_borrowed);
        }
      } while (!try_change(
          state, detail::borrow_state(generation_, access == Access::exclusive ? -1 : count + 1)));
    }
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if constexpr (access != Access::none) {
      std::uint64_t state = counter_.load(std::memory_order_relaxed);
      do {
        if (static_cast<std::uint32_t>(state >> 32) != generation_) {
          return;  // taken before a fork, in the process this child came from: forgotten
        }
      } while (!try_change(
          state, access == Access::exclusive ? detail::borrow_state(generation_, 0) : state - 1));
    }
  }

 private:
  bool try_change(std::uint64_t& current, std::uint64_t next) noexcept {
#ifdef Py_GIL_DISABLED
    return counter_.compare_exchange_weak(current, next, std::memory_order_acq_rel,
                                          std::memory_order_relaxed);
#else
    counter_.store(next, std::memory_order_relaxed);
    (void)current;
    return true;
#endif
  }

  BorrowCounter& counter_;
  std::uint32_t generation_ = 0;
};

// ---------------------------------------------------------------- instances

/// @brief A class instance: the object header, its borrow counter and the native payload.
template <class Payload>
struct Instance {
  PyObject_HEAD BorrowCounter borrow;
  Payload payload;

  static inline PyTypeObject* type = nullptr;  // set when the class is created

  static Payload& of(PyObject* self) { return reinterpret_cast<Instance*>(self)->payload; }

  /// @brief A new instance holding @p payload (a new reference).
  static PyObject* make(Payload&& payload) {
    auto* instance = reinterpret_cast<Instance*>(check(PyType_GenericAlloc(type, 0)));
    new (&instance->borrow) BorrowCounter(0);
    new (&instance->payload) Payload(std::move(payload));
    return reinterpret_cast<PyObject*>(instance);
  }
};

/// @brief Raises "'TYPE' object cannot be cast as 'CLASS'" for a receiver of another class.
[[noreturn]] void refuse_receiver(PyObject* self, const char* class_name);

/// @brief Checks the receiver's class.
inline void check_receiver(PyObject* self, PyTypeObject* expected, const char* class_name) {
  if (self == nullptr || Py_TYPE(self) != expected) [[unlikely]] {
    refuse_receiver(self, class_name);
  }
}

/// @brief A method holding a shared or exclusive borrow of its instance for the whole call.
template <class Payload, FixedString Name, Messages family, Access access, auto Fn,
          FixedString... Params>
struct Method {
  using Sig = detail::Signature<decltype(Fn)>;
  using Args = detail::Bound<Payload::class_name, Name, family, typename Sig::Args, 1, Params...>;

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
      PyObject* bound[Args::List::count + 1];
      bind_fastcall(Args::parameters(), args, nargs, kwnames, bound);
      check_receiver(self, Instance<Payload>::type, Payload::class_name.chars);
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

/// @brief A class method: Fn receives the converted arguments alone (the class is known).
template <class Payload, FixedString Name, Messages family, auto Fn, FixedString... Params>
struct ClassMethod {
  using Sig = detail::Signature<decltype(Fn)>;
  using Args = detail::Bound<Payload::class_name, Name, family, typename Sig::Args, 0, Params...>;

  /// @brief The method table entry; Body is the doc text after the signature.
  template <FixedString Body = "">
  static PyMethodDef def() {
    static constexpr auto doc = make_doc<Name, false, Body, Params...>();
    static constexpr auto with_type = [] {
      // "NAME($type, ...": the signature as inspect shows a class method's.
      std::array<char, doc.size() + 7> text{};
      std::size_t at = 0;
      std::size_t from = 0;
      for (; doc[from] != '('; ++from) {
        text[at++] = doc[from];
      }
      for (char ch : std::string_view("($type")) {
        text[at++] = ch;
      }
      ++from;
      if (doc[from] != ')') {
        text[at++] = ',';
        text[at++] = ' ';
      }
      for (; doc[from] != '\0'; ++from) {
        text[at++] = doc[from];
      }
      return text;
    }();
    return {Name.chars, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call)),
            METH_FASTCALL | METH_KEYWORDS | METH_CLASS, with_type.data()};
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

/// @brief The call slot, instance(...): binds the argument tuple and keywords like a
/// constructor, and holds a borrow of the instance like a method.
template <class Payload, Messages family, Access access, auto Fn, FixedString... Params>
struct Call {
  using Sig = detail::Signature<decltype(Fn)>;
  using Args =
      detail::Bound<Payload::class_name, "__call__", family, typename Sig::Args, 1, Params...>;

  static PyObject* tp_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> PyObject* {
      PyObject* bound[Args::List::count + 1];
      bind_tuple(Args::parameters(), args, kwargs, bound);
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
template <class Payload, Messages family, auto Fn, FixedString... Params>
struct Constructor {
  using Sig = detail::Signature<decltype(Fn)>;
  using Args =
      detail::Bound<Payload::class_name, "__new__", family, typename Sig::Args, 0, Params...>;

  static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> PyObject* {
      PyObject* bound[Args::List::count + 1];
      bind_tuple(Args::parameters(), args, kwargs, bound);
      (void)type;  // the class is not subclassable: type is Instance<Payload>::type
      return Instance<Payload>::make(std::apply(Fn, Args::convert(bound)));
    });
  }

  static void tp_dealloc(PyObject* self) {
    auto* instance = reinterpret_cast<Instance<Payload>*>(self);
    instance->payload.~Payload();
    free_object(self);
  }
};

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
    return boundary([&]() -> PyObject* { return to_python(Fn(Instance<Payload>::of(self))); });
  }
};

/// @brief What a class has beyond its constructor and methods.
struct ClassMembers {
  PyGetSetDef* properties = nullptr;  // read-only attributes, ended by an entry without a name
  reprfunc repr = nullptr;            // nullptr keeps object's repr
  ternaryfunc call = nullptr;         // nullptr: instances are not callable
};

/// @brief Creates a class type object: base object, not subclassable, no __dict__, no weak
/// references, the given slots; the type name carries no module.
PyObject* create_type(const char* qualified_name, const char* unqualified_name, int basic_size,
                      const char* doc, PyType_Slot* slots);

/// @brief Creates the class of Payload, built by Ctor.
template <class Payload, class Ctor>
PyObject* create_class(const char* qualified_name, const char* doc, PyMethodDef* methods,
                       ClassMembers members = {}) {
  PyType_Slot slots[8] = {
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
  if (members.call != nullptr) {
    slots[slot_count++] = {Py_tp_call, reinterpret_cast<void*>(members.call)};
  }
  slots[slot_count] = {0, nullptr};
  PyObject* type = create_type(qualified_name, Payload::class_name.chars,
                               static_cast<int>(sizeof(Instance<Payload>)), doc, slots);
  if (type != nullptr) {
    Instance<Payload>::type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
  }
  return type;
}

}  // namespace quorvel::python
