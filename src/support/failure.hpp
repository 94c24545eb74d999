#pragma once
// The one exception type that crosses the numeric core's API.
//
// A violated precondition ends the operation with a fixed message. The
// Python layer catches it at its call boundary and raises PanicException
// with that message; the diagnostic naming thread and source location is
// written to standard error where the failure is raised, so a worker thread
// reports from where it stood.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <source_location>
#include <string>

namespace quorvel {

/// @brief An internal failure: a fixed message plus where it was raised.
class InternalFailure : public std::exception {
 public:
  InternalFailure(std::string message, std::source_location where);
  [[nodiscard]] const char* what() const noexcept override { return message_.c_str(); }
  [[nodiscard]] const std::string& message() const noexcept { return message_; }
  [[nodiscard]] const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

/// @brief Writes the diagnostic to standard error and throws InternalFailure.
[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());

/// @brief Name used for the current thread in diagnostics ("main" or "<unnamed>").
[[nodiscard]] const char* current_thread_name() noexcept;

/// @brief Element count of a storage request, checked against the largest
/// signed machine word in bytes; fails with "capacity overflow" above it.
[[nodiscard]] std::size_t checked_storage_count(
    std::uint64_t count, std::size_t element_size,
    std::source_location where = std::source_location::current());

}  // namespace quorvel
