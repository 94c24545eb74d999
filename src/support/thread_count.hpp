#pragma once
// How many worker threads the process-wide pool gets.
//
// Two environment variables may ask for a count; otherwise the count is what
// the process may actually run on: its CPU affinity set, lowered to the CPU
// quota of its control group. The pool reads all of this once, when it is
// built.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

/// @brief Parses an unsigned decimal count: an optional leading '+', then one
/// or more ASCII digits and nothing else, within std::size_t. Anything else
/// (blanks, signs other than a leading '+', overflow, empty text) gives nullopt.
[[nodiscard]] std::optional<std::size_t> parse_thread_count(std::string_view text) noexcept;

/// @brief The count the two settings ask for, or nullopt for the default count.
///
/// @p num_threads (RAYON_NUM_THREADS) decides when it parses: n >= 1 gives n,
/// 0 gives the default without looking further. When it is absent (nullptr) or
/// does not parse, @p num_cpus (RAYON_RS_NUM_CPUS) decides: n >= 1 gives n,
/// anything else the default.
[[nodiscard]] std::optional<std::size_t> requested_thread_count(const char* num_threads,
                                                                const char* num_cpus) noexcept;

/// @brief CPU limit of a control group: quota / period rounded down, at least 1,
/// the smallest over the process's group and its ancestors; nullopt when no
/// quota is set or none can be read.
///
/// @p proc_self_cgroup is the text of /proc/self/cgroup; @p cgroup_root is the
/// directory the hierarchies are mounted under (/sys/fs/cgroup). Both cgroup v2
/// (cpu.max) and v1 (cpu.cfs_quota_us, cpu.cfs_period_us) are read.
[[nodiscard]] std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_self_cgroup,
                                                          const std::string& cgroup_root);

/// @brief CPUs of the affinity set (else online CPUs), lowered to the control
/// group's CPU quota; 1 when nothing can be determined.
[[nodiscard]] std::size_t default_thread_count() noexcept;

/// @brief The pool's thread count from RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS
/// and the default count, read now.
[[nodiscard]] std::size_t thread_count_from_environment() noexcept;

}  // namespace quorvel
