#include "thread_count.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

namespace quorvel {

namespace {

std::optional<std::string> read_first_line(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  if (!file || !std::getline(file, line)) {
    return std::nullopt;
  }
  return line;
}

std::optional<std::uint64_t> parse_u64(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::size_t> cpus_of_quota(std::uint64_t quota, std::uint64_t period) {
  if (period == 0) {
    return std::nullopt;
  }
  const std::uint64_t cpus = std::max<std::uint64_t>(quota / period, 1);
  return static_cast<std::size_t>(
      std::min<std::uint64_t>(cpus, std::numeric_limits<std::size_t>::max()));
}

// cgroup v2: "max 100000" (no quota) or "<quota> <period>".
std::optional<std::size_t> v2_limit_in(const std::string& dir) {
  const auto line = read_first_line(dir + "/cpu.max");
  if (!line) {
    return std::nullopt;
  }
  std::istringstream fields(*line);
  std::string quota, period;
  if (!(fields >> quota >> period)) {
    return std::nullopt;
  }
  const auto q = parse_u64(quota);  // "max" does not parse: no quota
  const auto p = parse_u64(period);
  return q && p ? cpus_of_quota(*q, *p) : std::nullopt;
}

// cgroup v1: cpu.cfs_quota_us is -1 when no quota is set.
std::optional<std::size_t> v1_limit_in(const std::string& dir) {
  const auto quota = read_first_line(dir + "/cpu.cfs_quota_us");
  const auto period = read_first_line(dir + "/cpu.cfs_period_us");
  if (!quota || !period) {
    return std::nullopt;
  }
  const auto q = parse_u64(*quota);
  const auto p = parse_u64(*period);
  return q && p ? cpus_of_quota(*q, *p) : std::nullopt;
}

bool has_parent_step(std::string_view path) {
  return path == ".." || path.starts_with("../") || path.ends_with("/..") ||
         path.find("/../") != std::string_view::npos;
}

// A limit set on an ancestor bounds every group below it, so the group and
// each ancestor up to the hierarchy's mount are read, and the least limit
// wins. Walking up also finds the limit when the group path is that of an
// enclosing namespace and only the mount's own root is visible.
template <class LimitIn>
std::optional<std::size_t> least_limit_upwards(const std::string& mount, std::string_view path,
                                               LimitIn limit_in) {
  std::optional<std::size_t> least;
  auto consider = [&](const std::string& dir) {
    const auto limit = limit_in(dir);
    if (limit && (!least || *limit < *least)) {
      least = limit;
    }
  };
  if (has_parent_step(path)) {
    path = {};
  }
  while (!path.empty() && path.back() == '/') {
    path.remove_suffix(1);
  }
  while (!path.empty()) {
    consider(mount + std::string(path));
    const auto slash = path.rfind('/');
    path = path.substr(0, slash == std::string_view::npos ? 0 : slash);
  }
  consider(mount);
  return least;
}

bool lists_cpu_controller(std::string_view controllers) {
  while (!controllers.empty()) {
    const auto comma = controllers.find(',');
    if (controllers.substr(0, comma) == "cpu") {
      return true;
    }
    controllers =
        comma == std::string_view::npos ? std::string_view{} : controllers.substr(comma + 1);
  }
  return false;
}

std::optional<std::size_t> affinity_cpu_count() noexcept {
  cpu_set_t fixed_set;
  CPU_ZERO(&fixed_set);
  if (::sched_getaffinity(0, sizeof(fixed_set), &fixed_set) == 0) {
    return static_cast<std::size_t>(CPU_COUNT(&fixed_set));
  }
  // EINVAL: the kernel's CPU mask is larger than a cpu_set_t; retry with larger sets.
  for (int cpus = 2 * CPU_SETSIZE; errno == EINVAL && cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) {
      return std::nullopt;
    }
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(size, set);
    const bool read = ::sched_getaffinity(0, size, set) == 0;
    const int error = errno;
    const auto count = static_cast<std::size_t>(read ? CPU_COUNT_S(size, set) : 0);
    CPU_FREE(set);
    if (read) {
      return count;
    }
    errno = error;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::size_t> parse_thread_count(std::string_view text) noexcept {
  if (text.starts_with('+')) {
    text.remove_prefix(1);
  }
  if (text.empty()) {
    return std::nullopt;
  }
  std::size_t value = 0;
  for (const char digit : text) {
    if (digit < '0' || digit > '9') {
      return std::nullopt;
    }
    const auto d = static_cast<std::size_t>(digit - '0');
    if (value > (std::numeric_limits<std::size_t>::max() - d) / 10) {
      return std::nullopt;
    }
    value = value * 10 + d;
  }
  return value;
}

std::optional<std::size_t> requested_thread_count(const char* num_threads,
                                                  const char* num_cpus) noexcept {
  if (num_threads != nullptr) {
    if (const auto n = parse_thread_count(num_threads)) {
      return *n >= 1 ? n : std::nullopt;
    }
  }
  if (num_cpus != nullptr) {
    if (const auto n = parse_thread_count(num_cpus); n && *n >= 1) {
      return n;
    }
  }
  return std::nullopt;
}

std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_self_cgroup,
                                            const std::string& cgroup_root) {
  std::optional<std::size_t> least;
  auto keep_least = [&](std::optional<std::size_t> limit) {
    if (limit && (!least || *limit < *least)) {
      least = limit;
    }
  };
  while (!proc_self_cgroup.empty()) {
    const auto newline = proc_self_cgroup.find('\n');
    const auto line = proc_self_cgroup.substr(0, newline);
    proc_self_cgroup = newline == std::string_view::npos ? std::string_view{}
                                                         : proc_self_cgroup.substr(newline + 1);
    // "<hierarchy id>:<controller list>:<group path>"
    const auto first = line.find(':');
    const auto second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) {
      continue;
    }
    const auto hierarchy = line.substr(0, first);
    const auto controllers = line.substr(first + 1, second - first - 1);
    const auto path = line.substr(second + 1);
    if (hierarchy == "0" && controllers.empty()) {
      keep_least(least_limit_upwards(cgroup_root, path, v2_limit_in));
    } else if (lists_cpu_controller(controllers)) {
      // The cpu hierarchy is mounted under its controller list ("cpu,cpuacct"),
      // usually with a "cpu" link beside it.
      for (const std::string& mount :
           {cgroup_root + "/" + std::string(controllers), cgroup_root + "/cpu"}) {
        if (const auto limit = least_limit_upwards(mount, path, v1_limit_in)) {
          keep_least(limit);
          break;
        }
      }
    }
  }
  return least;
}

std::size_t default_thread_count() noexcept {
  std::optional<std::size_t> count = affinity_cpu_count();
  if (!count || *count == 0) {
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    count =
        online > 0 ? std::optional<std::size_t>(static_cast<std::size_t>(online)) : std::nullopt;
  }
  if (!count) {
    return 1;
  }
  try {
    std::ifstream file("/proc/self/cgroup");
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (const auto limit = cgroup_cpu_limit(text, "/sys/fs/cgroup")) {
      count = std::min(*count, *limit);
    }
  } catch (...) {
    // Out of memory while reading the control group: keep the CPU count.
  }
  return *count;
}

std::size_t thread_count_from_environment() noexcept {
  if (const auto requested = requested_thread_count(std::getenv("RAYON_NUM_THREADS"),
                                                    std::getenv("RAYON_RS_NUM_CPUS"))) {
    return *requested;
  }
  return default_thread_count();
}

}  // namespace quorvel
