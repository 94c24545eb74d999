// The Lagrange matrices in compressed rows: the prolongation between meshes
// and the change of basis to Legendre DOFs, written straight into the arrays
// that leave the library. Large matrices are written on the worker pool.

#include <Eigen/Core>
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <limits>
#include <memory>
#include <span>
#include <type_traits>
#include <variant>
#include <vector>

#include "lagrange_basis.hpp"
#include "lagrange_to_legendre.hpp"
#include "prolongation_rows.hpp"
#include "support/failure.hpp"
#include "support/messages.hpp"

namespace quorvel {

namespace {

// The first entry of every chunk, and the entry count as the last element.
template <class CountRows>
std::vector<std::uint64_t> chunk_starts(std::uint64_t nrows, LazyThreadPool* pool,
                                        const CountRows& count_rows) {
  std::vector<std::uint64_t> starts(chunk_count(nrows) + 1, 0);
  for_each_chunk(nrows, pool, [&](std::size_t k, std::uint64_t first, std::uint64_t end) {
    starts[k + 1] = count_rows(first, end);
  });
  for (std::size_t k = 1; k < starts.size(); ++k) {
    starts[k] += starts[k - 1];  // at most (2^32 - 1) rows of at most 2^32 - 1 entries
  }
  return starts;
}

// Room for the values of one row: on the stack when N is known at compile time.
template <std::size_t N>
auto row_buffer(const ProlongationRows& rows) {
  if constexpr (N == std::dynamic_extent) {
    return std::vector<double>(rows.nodes_per_interval());
  } else {
    return std::array<double, N>{};
  }
}

// The entries of a row depend on its reference coordinate alone, and fine nodes
// at the same place in their coarse intervals share it bit for bit (nested meshes
// have few such places): a small direct-mapped cache of the entries by the
// coordinate's bits, one per chunk.
template <std::size_t N>
class RowCache {
 public:
  struct Row {
    std::uint64_t key;
    std::uint32_t count;
    std::array<std::uint32_t, N> offsets;  // of the entries' columns from the interval's first
    std::array<double, N> values;
  };

  explicit RowCache(const ProlongationRows& rows) : rows_(rows) {
    for (Row& row : slots_) {
      row = Row{empty, 0, {}, {}};
    }
  }

  const Row& at(double xi) {
    const auto key = std::bit_cast<std::uint64_t>(xi);
    Row& row = slots_[(key * 0x9E3779B97F4A7C15ULL) >> (64 - slot_bits)];
    if (row.key != key) {
      row.key = key;
      row.count = 0;
      rows_.for_each_entry_at(xi, std::span<double, N>(scratch_), [&](std::size_t j, double value) {
        row.offsets[row.count] = static_cast<std::uint32_t>(j);
        row.values[row.count] = value;
        ++row.count;
      });
    }
    return row;
  }

 private:
  static constexpr int slot_bits = 8;
  // A NaN pattern: never the bits of a reference coordinate, which is finite.
  static constexpr std::uint64_t empty = 0x7FF8DEADBEEF0001ULL;

  const ProlongationRows& rows_;
  std::array<Row, std::size_t{1} << slot_bits> slots_;
  std::array<double, N> scratch_{};
};

// Rows placed a block at a time, so that the positions are computed in pairs.
constexpr std::size_t rows_per_block = 256;

// Writes rows first ... end - 1 from entry at; returns whether they hold exactly
// the entries up to stop. No write passes stop: entries beyond it are counted only.
// (The arrays come as parameters, so that they stay in registers.)
template <std::size_t N, class Index>
bool write_prolongation_rows(const ProlongationRows& rows, std::uint64_t first, std::uint64_t end,
                             std::uint64_t at, std::uint64_t stop, Index* offsets, Index* columns,
                             double* values) {
  const auto put = [&](std::uint64_t column, double value) {
    if (at < stop) {
      columns[at] = static_cast<Index>(column);
      values[at] = value;
    }
    ++at;
  };
  if constexpr (N == std::dynamic_extent) {
    auto scratch = row_buffer<N>(rows);
    for (std::uint64_t t = first; t < end; ++t) {
      offsets[t] = static_cast<Index>(at);
      rows.for_each_entry(t, std::span<double, N>(scratch), put);
    }
  } else {
    const std::uint64_t degree = N - 1;
    auto cache = std::make_unique<RowCache<N>>(rows);
    std::array<double, rows_per_block> intervals;
    std::array<double, rows_per_block> xis;
    for (std::uint64_t block = first; block < end; block += rows_per_block) {
      const auto count =
          static_cast<std::size_t>(std::min<std::uint64_t>(rows_per_block, end - block));
      rows.places(block, count, intervals.data(), xis.data());
      for (std::size_t i = 0; i < count; ++i) {
        offsets[block + i] = static_cast<Index>(at);
        const auto& row = cache->at(xis[i]);
        const auto first_column = static_cast<std::uint64_t>(intervals[i]) * degree;
        if (at + N <= stop) {
          // All N slots at once, without branches: those past the row's entries
          // are written again by the next row.
          for (std::size_t e = 0; e < N; ++e) {
            columns[at + e] = static_cast<Index>(first_column + row.offsets[e]);
            values[at + e] = row.values[e];
          }
          at += row.count;
        } else {
          for (std::uint32_t e = 0; e < row.count; ++e) {
            put(first_column + row.offsets[e], row.values[e]);
          }
        }
      }
    }
  }
  return at == stop;
}

// Writes the rows of every chunk from its start. Returns false when a chunk's
// rows do not hold exactly the entries its count gave.
template <std::size_t N, class Index>
bool write_prolongation(const ProlongationRows& rows, std::span<const std::uint64_t> starts,
                        CompressedRows<Index>& matrix, LazyThreadPool* pool) {
  std::atomic<bool> exact{true};
  Index* const offsets = matrix.row_offsets.data();
  Index* const columns = matrix.columns.data();
  double* const values = matrix.values.data();
  for_each_chunk(matrix.nrows, pool, [&](std::size_t k, std::uint64_t first, std::uint64_t end) {
    if (!write_prolongation_rows<N>(rows, first, end, starts[k], starts[k + 1], offsets, columns,
                                    values)) {
      exact.store(false, std::memory_order_relaxed);
    }
  });
  offsets[matrix.nrows] = static_cast<Index>(starts.back());
  return exact.load();
}

template <std::size_t N>
bool write_prolongation(const ProlongationRows& rows, std::span<const std::uint64_t> starts,
                        AnyCompressedRows& matrix, LazyThreadPool* pool) {
  return std::visit([&](auto& typed) { return write_prolongation<N>(rows, starts, typed, pool); },
                    matrix);
}

template <std::size_t N>
AnyCompressedRows prolongation_compressed_rows(const ProlongationRows& rows, LazyThreadPool* pool) {
  const std::uint64_t nrows = rows.row_count();
  // The entry bounds size the arrays exactly, except where a value off the nodes
  // is exactly 0.0 (very high degrees): that matrix is counted again, value by
  // value, and written anew.
  auto starts = chunk_starts(nrows, pool, [&](std::uint64_t first, std::uint64_t end) {
    return rows.entry_bounds<N>(first, end);
  });
  AnyCompressedRows matrix = allocate_compressed_rows({nrows, rows.column_count(), starts.back()});
  if (write_prolongation<N>(rows, starts, matrix, pool)) {
    return matrix;
  }
  matrix = AnyCompressedRows{};  // released before the exact arrays are allocated
  starts = chunk_starts(nrows, pool, [&](std::uint64_t first, std::uint64_t end) {
    auto buffer = row_buffer<N>(rows);
    const std::span<double, N> row(buffer);
    std::uint64_t count = 0;
    for (std::uint64_t t = first; t < end; ++t) {
      rows.for_each_entry(t, row, [&](std::uint64_t, double) { ++count; });
    }
    return count;
  });
  matrix = allocate_compressed_rows({nrows, rows.column_count(), starts.back()});
  if (!write_prolongation<N>(rows, starts, matrix, pool)) {
    fail("prolongation rows differ between two evaluations");
  }
  return matrix;
}

// Row p * n_t + e holds M(i, p) at column e * degree + i for i = 0 ... degree.
template <std::size_t N, class Index>
void write_lagrange_to_legendre(const Eigen::MatrixXd& weights, std::uint32_t degree,
                                std::uint32_t n_t, CompressedRows<Index>& matrix,
                                LazyThreadPool* pool) {
  const std::size_t width = N == std::dynamic_extent ? std::size_t{degree} + 1 : N;
  Index* const offsets = matrix.row_offsets.data();
  Index* const columns = matrix.columns.data();
  double* const values = matrix.values.data();
  const auto write_chunk = [&weights, degree, n_t, width, offsets, columns, values](
                               std::size_t, std::uint64_t first, std::uint64_t end) {
    std::uint64_t p = first / n_t;
    std::uint64_t e = first % n_t;
    std::uint64_t at = first * width;
    for (std::uint64_t r = first; r < end; ++r) {
      offsets[r] = static_cast<Index>(at);
      // Column p of the column-major M: the weights of the degree + 1 nodes.
      const double* const m = weights.data() + p * width;
      const auto first_column = static_cast<Index>(e * degree);
      for (std::size_t i = 0; i < width; ++i) {
        columns[at + i] = first_column + static_cast<Index>(i);
        values[at + i] = m[i];
      }
      at += width;
      if (++e == n_t) {
        e = 0;
        ++p;
      }
    }
  };
  for_each_chunk(matrix.nrows, pool, write_chunk);
  offsets[matrix.nrows] = static_cast<Index>(matrix.values.size());
}

// Calls build with the node count (degree + 1) as a compile-time constant for the
// common degrees, so that the loops over the nodes unroll, else std::dynamic_extent.
template <class Build>
AnyCompressedRows with_node_count(std::size_t nodes, const Build& build) {
  switch (nodes) {
    case 2: return build(std::integral_constant<std::size_t, 2>{});
    case 3: return build(std::integral_constant<std::size_t, 3>{});
    case 4: return build(std::integral_constant<std::size_t, 4>{});
    case 5: return build(std::integral_constant<std::size_t, 5>{});
    case 6: return build(std::integral_constant<std::size_t, 6>{});
    case 7: return build(std::integral_constant<std::size_t, 7>{});
    case 8: return build(std::integral_constant<std::size_t, 8>{});
    case 9: return build(std::integral_constant<std::size_t, 9>{});
    default: return build(std::integral_constant<std::size_t, std::dynamic_extent>{});
  }
}

}  // namespace

AnyCompressedRows LagrangeBasis::get_prolongation_matrix_to(std::uint32_t nt_fine,
                                                            LazyThreadPool* pool) const {
  const ProlongationRows rows(degree_, n_t_, nt_fine);
  return with_node_count(rows.nodes_per_interval(), [&](auto nodes) {
    return prolongation_compressed_rows<decltype(nodes)::value>(rows, pool);
  });
}

CompressedRowsSize lagrange_to_legendre_size(std::uint32_t degree, std::uint32_t n_t) noexcept {
  const std::uint64_t width = static_cast<std::uint64_t>(degree) + 1;
  std::uint64_t per_interval = 0;
  std::uint64_t entries = 0;
  if (__builtin_mul_overflow(width, width, &per_interval) ||
      __builtin_mul_overflow(per_interval, n_t, &entries)) {
    entries = std::numeric_limits<std::uint64_t>::max();
  }
  return {width * n_t, static_cast<std::uint64_t>(n_t) * degree + 1, entries};
}

AnyCompressedRows LagrangeBasis::get_transormation_matrix_to_legendre(LazyThreadPool* pool) const {
  if (degree_ == 0) {
    fail(messages::to_legendre_degree);
  }
  const CompressedRowsSize size = lagrange_to_legendre_size(degree_, n_t_);
  // The local matrix first: its failures come before any large allocation.
  const Eigen::MatrixXd weights = n_t_ > 0 ? node_to_legendre_weights(degree_) : Eigen::MatrixXd();
  return with_node_count(std::size_t{degree_} + 1, [&](auto nodes) {
    AnyCompressedRows matrix = allocate_compressed_rows(size);
    std::visit(
        [&](auto& typed) {
          write_lagrange_to_legendre<decltype(nodes)::value>(weights, degree_, n_t_, typed, pool);
        },
        matrix);
    return matrix;
  });
}

}  // namespace quorvel
