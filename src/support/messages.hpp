#pragma once
// Every fixed text that quorvel's callers can see: exception messages and the
// patterns they are formatted from.
//
// Callers match on these texts character for character (in `except` clauses,
// in tests, in logs), so they must not change: not a word, not a space, not
// the full stop. A new text goes here too. The patterns are printf formats for
// PyErr_Format (%U a str, %S str() of an object, %R its repr) or C++ string
// pieces joined by the code that raises them.

namespace quorvel::messages {

// ---------------------------------------------------------------- the module and its classes

inline constexpr const char* subinterpreters =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://quorvel.invalid/issues/subinterpreters";
inline constexpr const char* no_exception_set = "attempted to fetch exception but none was set";
inline constexpr const char* panic_class_name = "pyo3_runtime.PanicException";
inline constexpr const char* already_borrowed = "Already borrowed";
inline constexpr const char* already_mutably_borrowed = "Already mutably borrowed";
/// The receiver of a method is not an instance of its class: the type's and the class's name.
inline constexpr const char* cannot_cast = "'%s' object cannot be cast as '%s'";

// ---------------------------------------------------------------- argument binding

/// FULLNAME, the parameter count, "" or "s", the argument count, "was" or "were".
inline constexpr const char* too_many_positional =
    "%s takes %zu positional argument%s but %zd %s given";
inline constexpr const char* unexpected_keyword = "%s got an unexpected keyword argument '%U'";
inline constexpr const char* multiple_values = "%s got multiple values for argument '%U'";
/// FULLNAME, the count, "" or "s", the quoted names.
inline constexpr const char* missing_arguments =
    "%s missing %zu required positional argument%s: %s";
/// FULLNAME, the count, "" or "s", the quoted names.
inline constexpr const char* missing_keyword_only =
    "%s missing %zu required keyword-only argument%s: %s";
/// A TypeError of converting argument NAME, as the original callables report it.
inline constexpr const char* argument_prefix = "argument '%.*s': %U";

// ---------------------------------------------------------------- conversions of the original
// callables

inline constexpr const char* out_of_range_integral =
    "out of range integral type conversion attempted";
inline constexpr const char* str_is_not_a_sequence = "Can't extract `str` to `Vec`";
inline constexpr const char* not_a_sequence = "'%s' object cannot be cast as 'Sequence'";
inline constexpr const char* shape_is_null = "shape is null";
inline constexpr const char* strides_is_null = "strides is null";
inline constexpr const char* not_f64 = "buffer contents are not compatible with f64";
inline constexpr const char* misaligned_f64 = "buffer contents are insufficiently aligned for f64";

// ---------------------------------------------------------------- conversions that name the
// argument

/// NAME must be WHAT, got TYPE (TypeError) / got REPR (ValueError).
inline constexpr const char* wrong_type = "%.*s must be %s, got %s";
inline constexpr const char* wrong_value = "%.*s must be %.*s, got %U";
inline constexpr const char* not_an_array = "%.*s could not be read as an array: %S";
inline constexpr const char* not_real = "%.*s must be real, got %U";
inline constexpr const char* wrong_dtype = "%.*s must have dtype float64, got %U";
inline constexpr const char* wrong_shape = "%.*s must have shape %S, got %U";
inline constexpr const char* read_only = "%.*s must be writable, got a read-only array";
inline constexpr const char* overlapping_elements =
    "%.*s must not have elements that share memory, got strides %S";
inline constexpr const char* expansion_shape =
    "coefficients must have shape (degree + 1, n_t, ...) with degree + 1 >= 1 and n_t >= 1, "
    "got %S";
inline constexpr const char* expansion_too_large =
    "coefficients must have at most 4294967295 degrees and 4294967295 intervals, got shape %S";
/// The bound's name, the value given.
inline constexpr const char* integral_bound = "%s must lie in [0, T], got %R";
/// The argument's name, the length its first axis must have, its shape.
inline constexpr const char* leading_axis = "%s must have shape (%lld, ...), got %S";
inline constexpr const char* not_integers = "%.*s must hold integers, got %U";
/// NAME, n_t, the value.
inline constexpr const char* interval_out_of_range =
    "%.*s must lie in [0, n_t) = [0, %u), got %lld";
inline constexpr const char* wrong_state =
    "state must hold %zu float64 DOFs (%zu bytes), got %zu bytes";
inline constexpr const char* no_intervals_to_evaluate =
    "cannot evaluate: the evaluator has no intervals (n_t is 0)";
inline constexpr const char* no_intervals_to_tabulate =
    "cannot tabulate: the basis has no intervals (n_t is 0)";
/// The mesh of [0, T] that a T and n_t give cannot be computed: T as given, n_t.
inline constexpr const char* mesh_end_overflows =
    "T must leave the mesh's last end h + h * (n_t - 1) finite, got %R with n_t = %u";
inline constexpr const char* mesh_ends_sum_overflows =
    "T must leave the sum a + b of the last interval's ends a = h * (n_t - 1) and b = h + a "
    "finite, got %R with n_t = %u";
inline constexpr const char* mesh_step_not_normal =
    "T must give a normal interval length h = T / n_t (at least 2.2250738585072014e-308), got "
    "%R with n_t = %u";
/// What a real number beyond the largest double must be: "NAME must be " + this + ", got REPR".
inline constexpr const char* within_float64 = "within the range of float64";
/// How an int too long for its decimal text is shown: its bit length.
inline constexpr const char* long_int = "an int of %zu bits";
inline constexpr const char* lobatto_points =
    "n_points must be at least 2 for rule 'lobatto', got %u";
/// Pieces of the refusals of sizes: "at most L" + " at degree D" + a reason.
inline constexpr const char* addressable = " for the matrix to be addressable";
inline constexpr const char* dofs_per_mesh = " (at most 4294967295 DOFs per mesh)";

// ---------------------------------------------------------------- internal failures
// (PanicException)

inline constexpr const char* capacity_overflow = "capacity overflow";
inline constexpr const char* view_too_small = "Matrix view: input data buffer too small.";
inline constexpr const char* slicing_out_of_bounds = "Matrix slicing out of bounds.";
inline constexpr const char* index_out_of_bounds = "Matrix index out of bounds.";
/// Followed by L, "\n right: " and E.
inline constexpr const char* set_dofs_length =
    "assertion `left == right` failed: LegendreBasisEvaluator: set_dofs: input vector has wrong "
    "length\n  left: ";
inline constexpr const char* prolongation_degree =
    "Lagrange prolongation requires polynomial degree at least 1";
inline constexpr const char* prolongation_coarse =
    "Lagrange prolongation requires at least one coarse interval";
inline constexpr const char* prolongation_fine =
    "Lagrange prolongation requires at least one fine interval";
inline constexpr const char* prolongation_dofs =
    "Lagrange prolongation supports at most 4294967295 DOFs per mesh";
inline constexpr const char* to_legendre_degree =
    "Lagrange to Legendre conversion not meaningful for degree 0";
inline constexpr const char* vandermonde =
    "Failed to invert Vandermonde matrix for Lagrange to Legendre conversion.";
/// Followed by ": " and what stopped the pool from being built.
inline constexpr const char* pool_not_initialized =
    "The global thread pool has not been initialized.";

}  // namespace quorvel::messages
