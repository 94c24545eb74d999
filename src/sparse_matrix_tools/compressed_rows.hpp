#pragma once
// Compressed-row matrices, the one form in which quorvel builds a sparse
// matrix: row offsets, column indices and values, each allocated once at its
// final length and written once, and handed over as they are (to SciPy, or
// read out as triplets). The index width (32 or 64 bits) follows the matrix's
// size, so that consumers which narrow index arrays whenever the sizes allow
// (SciPy does) take them as they are.
//
// Every stored entry is kept, whatever its value: an explicit 0.0 is a stored
// entry, and no builder stores a (row, column) pair twice. Callers rely on the
// number and the positions of the stored entries.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "support/bulk_array.hpp"
#include "support/thread_pool.hpp"

namespace quorvel {

/// @brief A compressed-row matrix of doubles in three flat arrays.
///
/// Row r holds the entries row_offsets[r] ... row_offsets[r + 1] - 1, by
/// ascending column; row_offsets has nrows + 1 elements, from 0 to the entry
/// count. Every stored entry is kept, explicit zeros included.
template <class Index>
struct CompressedRows {
  std::uint64_t nrows = 0;
  std::uint64_t ncols = 0;
  BulkArray<Index> row_offsets;
  BulkArray<Index> columns;
  BulkArray<double> values;
};

/// @brief A compressed-row matrix with the index width that fits its size.
using AnyCompressedRows = std::variant<CompressedRows<std::int32_t>, CompressedRows<std::int64_t>>;

/// @brief The extent of a compressed-row matrix.
struct CompressedRowsSize {
  std::uint64_t nrows;
  std::uint64_t ncols;
  std::uint64_t entries;
};

/// @brief Whether 32-bit indices hold a matrix of this size: its entry count,
/// and both dimensions unless one of them is 0, at most 2^31 - 1. SciPy keeps
/// int32 index arrays exactly then, and int64 ones exactly otherwise.
[[nodiscard]] bool fits_32_bit_indices(const CompressedRowsSize& size) noexcept;

/// @brief Whether the three arrays of a matrix of this size, with 64-bit
/// indices, lie within the largest object size; beyond it no allocation can
/// succeed, whatever the memory.
[[nodiscard]] bool is_addressable(const CompressedRowsSize& size) noexcept;

/// @brief The three arrays at their final lengths, uninitialised, with the
/// index width fits_32_bit_indices chooses; throws std::bad_alloc for a size
/// that is not addressable.
[[nodiscard]] AnyCompressedRows allocate_compressed_rows(const CompressedRowsSize& size);

/// @brief Rows per chunk: the unit of work handed to the worker pool when a matrix
/// is written, and the unit in which a matrix may count its entries before it
/// allocates.
inline constexpr std::uint64_t rows_per_chunk = std::uint64_t{1} << 14;

/// @brief The number of chunks of nrows rows.
constexpr std::uint64_t chunk_count(std::uint64_t nrows) noexcept {
  return nrows / rows_per_chunk + (nrows % rows_per_chunk != 0 ? 1 : 0);
}

/// @brief Runs body(chunk, first_row, end_row) for every chunk of nrows rows: on
/// the calling thread for a single chunk or without a pool (nullptr), on @p pool
/// otherwise. Chunks are independent; each runs its rows in increasing order.
template <class Body>
void for_each_chunk(std::uint64_t nrows, LazyThreadPool* pool, const Body& body) {
  const auto chunks = static_cast<std::size_t>(chunk_count(nrows));
  const auto run = [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) {
      const std::uint64_t first = k * rows_per_chunk;
      body(k, first, std::min(first + rows_per_chunk, nrows));
    }
  };
  if (chunks <= 1 || pool == nullptr) {
    run(0, chunks);
    return;
  }
  pool->get().for_each_piece(chunks, run);
}

/// @brief Calls visit(row, column, value) for every stored entry, by row and then by
/// ascending column: the order of the triplets in which matrices leave the library.
template <class Index, class Visit>
void for_each_stored_entry(const CompressedRows<Index>& matrix, Visit&& visit) {
  for (std::uint64_t row = 0; row < matrix.nrows; ++row) {
    const auto end = static_cast<std::uint64_t>(matrix.row_offsets[row + 1]);
    for (auto k = static_cast<std::uint64_t>(matrix.row_offsets[row]); k < end; ++k) {
      visit(row, static_cast<std::uint64_t>(matrix.columns[k]), matrix.values[k]);
    }
  }
}

/// @brief The number of stored entries.
[[nodiscard]] inline std::uint64_t stored_entries(const AnyCompressedRows& matrix) noexcept {
  return std::visit([](const auto& m) { return static_cast<std::uint64_t>(m.values.size()); },
                    matrix);
}

}  // namespace quorvel
