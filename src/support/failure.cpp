#include "failure.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <limits>
#include <string_view>

#include "support/messages.hpp"

namespace quorvel {

namespace {

// Paths from the build are absolute; the diagnostic shows them from "src/". A header
// reached through a room's include root (build/rooms/ROOM/ROOM/...) is shown the same way.
struct ShownPath {
  const char* prefix;
  std::string_view rest;
};

ShownPath project_relative(std::string_view path) {
  if (const auto pos = path.rfind("/src/"); pos != std::string_view::npos) {
    return {"", path.substr(pos + 1)};
  }
  if (const auto pos = path.rfind("/rooms/"); pos != std::string_view::npos) {
    const std::string_view inside = path.substr(pos + 7);  // ROOM/ROOM/...
    if (const auto slash = inside.find('/'); slash != std::string_view::npos) {
      return {"src/", inside.substr(slash + 1)};
    }
  }
  return {"", path};
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
  std::fprintf(stderr, "quorvel: internal failure in thread '%s' at %s%.*s:%u:%u:\n%s\n",
               current_thread_name(), file.prefix, static_cast<int>(file.rest.size()),
               file.rest.data(), static_cast<unsigned>(where.line()),
               static_cast<unsigned>(where.column()), message.c_str());
  throw InternalFailure(std::move(message), where);
}

std::size_t checked_storage_count(std::uint64_t count, std::size_t element_size,
                                  std::source_location where) {
  constexpr auto max_bytes = static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());
  if (element_size != 0 && count > max_bytes / element_size) {
    fail(messages::capacity_overflow, where);
  }
  return static_cast<std::size_t>(count);
}

}  // namespace quorvel
