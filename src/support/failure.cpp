#include "failure.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <limits>
#include <string_view>

namespace quorvel {

namespace {

// Paths from the build are absolute; the diagnostic shows them from "src/".
std::string_view project_relative(std::string_view path) {
  const auto pos = path.rfind("/src/");
  return pos == std::string_view::npos ? path : path.substr(pos + 1);
}

}  // namespace

InternalFailure::InternalFailure(std::string message, std::source_location where)
    : message_(std::move(message)), where_(where) {}

const char* current_thread_name() noexcept {
  return ::syscall(SYS_gettid) == ::getpid() ? "main" : "<unnamed>";
}

void fail(std::string message, std::source_location where) {
  const auto file = project_relative(where.file_name());
  // One fprintf call, so that diagnostics of concurrent threads do not interleave.
  std::fprintf(stderr, "quorvel: internal failure in thread '%s' at %.*s:%u:%u:\n%s\n",
               current_thread_name(), static_cast<int>(file.size()), file.data(),
               static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
               message.c_str());
  throw InternalFailure(std::move(message), where);
}

std::size_t checked_storage_count(std::uint64_t count, std::size_t element_size,
                                  std::source_location where) {
  constexpr auto max_bytes = static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());
  if (element_size != 0 && count > max_bytes / element_size) {
    fail("capacity overflow", where);
  }
  return static_cast<std::size_t>(count);
}

}  // namespace quorvel
