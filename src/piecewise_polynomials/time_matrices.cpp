#include "time_matrices.hpp"

#include <variant>

#include "lagrange_local_matrices.hpp"
#include "support/failure.hpp"

namespace quorvel {

namespace {

using u64 = std::uint64_t;

// Allocates the arrays for size and has write_rows(matrix, first, end) fill the
// rows [first, end) of each chunk, with the row offsets of those rows: every row
// knows where its entries start, so chunks run independently.
template <class WriteRows>
AnyCompressedRows written(const CompressedRowsSize& size, LazyThreadPool* pool,
                          const WriteRows& write_rows) {
  AnyCompressedRows any = allocate_compressed_rows(size);
  std::visit(
      [&](auto& matrix) {
        matrix.row_offsets[0] = 0;
        for_each_chunk(size.nrows, pool,
                       [&](std::size_t, u64 first, u64 end) { write_rows(matrix, first, end); });
      },
      any);
  return any;
}

// (-1)^k
double sign_power(u64 k) { return k % 2 == 0 ? 1.0 : -1.0; }

}  // namespace

// ---------------------------------------------------------------- Legendre

CompressedRowsSize legendre_mass_size(std::uint32_t degree, std::uint32_t n_t) noexcept {
  const u64 n = static_cast<u64>(n_t) * (static_cast<u64>(degree) + 1);
  return {n, n, n};
}

AnyCompressedRows legendre_mass_rows(std::uint32_t degree, std::uint32_t n_t, double T,
                                     LazyThreadPool* pool) {
  const double h = T / static_cast<double>(n_t);
  return written(legendre_mass_size(degree, n_t), pool, [&](auto& m, u64 first, u64 end) {
    using Index = std::remove_cvref_t<decltype(m.columns[0])>;
    for (u64 r = first; r < end; ++r) {
      const u64 i = r / n_t;
      m.columns[r] = static_cast<Index>(r);
      m.values[r] = h / static_cast<double>(2 * i + 1);
      m.row_offsets[r + 1] = static_cast<Index>(r + 1);
    }
  });
}

CompressedRowsSize legendre_dg_size(std::uint32_t degree, std::uint32_t n_t) noexcept {
  const u64 n = static_cast<u64>(n_t) * (static_cast<u64>(degree) + 1);
  const u64 width = static_cast<u64>(degree) + 1;
  const u64 blocks = n_t == 0 ? 0 : 2 * static_cast<u64>(n_t) - 1;
  return {n, n, blocks * width * width};
}

AnyCompressedRows legendre_dg_rows(std::uint32_t degree, std::uint32_t n_t, LazyThreadPool* pool) {
  const u64 width = static_cast<u64>(degree) + 1;
  const u64 per_degree = (2 * static_cast<u64>(n_t) - 1) * width;  // the entries of rows i
  return written(legendre_dg_size(degree, n_t), pool, [&](auto& m, u64 first, u64 end) {
    using Index = std::remove_cvref_t<decltype(m.columns[0])>;
    for (u64 r = first; r < end; ++r) {
      const u64 c = r % n_t;
      const u64 i = r / n_t;
      u64 at = i * per_degree + (c == 0 ? 0 : width + (c - 1) * 2 * width);
      // Columns (c - 1) + n_t j and c + n_t j interleave in ascending order.
      for (u64 j = 0; j < width; ++j) {
        if (c >= 1) {
          m.columns[at] = static_cast<Index>(c - 1 + n_t * j);
          m.values[at] = -sign_power(i);
          ++at;
        }
        m.columns[at] = static_cast<Index>(c + n_t * j);
        m.values[at] = j >= i ? 1.0 : sign_power(i + j);
        ++at;
      }
      m.row_offsets[r + 1] = static_cast<Index>(at);
    }
  });
}

// ---------------------------------------------------------------- Lagrange

namespace {

// Row g of the assembled matrix: node i of interval e, where a shared node is
// node 0 of the later interval (the last node, n_t d, is node d of the last).
struct AssembledRows {
  u64 degree;
  u64 n_t;

  [[nodiscard]] u64 count(u64 g) const {
    const u64 last = n_t * degree;
    if (g == 0 || g == last) {
      return degree + 1;
    }
    return g % degree == 0 ? 2 * degree + 1 : degree + 1;
  }

  // The entries of the rows before g.
  [[nodiscard]] u64 start(u64 g) const {
    const u64 e = g / degree;
    const u64 i = g % degree;
    const u64 first_interval = degree * (degree + 1);
    const u64 later_interval = degree * degree + 2 * degree;
    u64 at = e == 0 ? 0 : first_interval + (e - 1) * later_interval;
    if (i > 0) {
      at += (e == 0 ? degree + 1 : 2 * degree + 1) + (i - 1) * (degree + 1);
    }
    return at;
  }
};

// Writes the assembled rows: element[i][j] times scale on every interval, the
// shared diagonal the sum of its two intervals' entries.
template <class Matrix>
void write_assembled_rows(Matrix& m, const AssembledRows& rows, const std::vector<double>& element,
                          double scale, u64 first, u64 end) {
  using Index = std::remove_cvref_t<decltype(m.columns[0])>;
  const u64 d = rows.degree;
  const u64 width = d + 1;
  auto local = [&](u64 i, u64 j) { return scale * element[i * width + j]; };
  for (u64 g = first; g < end; ++g) {
    u64 at = rows.start(g);
    const u64 e = g / d;
    const u64 i = g % d;
    auto put = [&](u64 column, double value) {
      m.columns[at] = static_cast<Index>(column);
      m.values[at] = value;
      ++at;
    };
    if (g == rows.n_t * d) {  // the last node: node d of the last interval
      for (u64 j = 0; j <= d; ++j) {
        put((e - 1) * d + j, local(d, j));
      }
    } else if (i == 0 && e > 0) {  // a shared node: node d of e - 1 and node 0 of e
      for (u64 j = 0; j < d; ++j) {
        put((e - 1) * d + j, local(d, j));
      }
      put(e * d, local(d, d) + local(0, 0));
      for (u64 j = 1; j <= d; ++j) {
        put(e * d + j, local(0, j));
      }
    } else {
      for (u64 j = 0; j <= d; ++j) {
        put(e * d + j, local(i, j));
      }
    }
    m.row_offsets[g + 1] = static_cast<Index>(at);
  }
}

}  // namespace

CompressedRowsSize lagrange_assembled_size(std::uint32_t degree, std::uint32_t n_t) noexcept {
  const u64 n = static_cast<u64>(n_t) * degree + 1;
  const u64 width = static_cast<u64>(degree) + 1;
  const u64 entries = n_t == 0 ? 0 : static_cast<u64>(n_t) * width * width - (n_t - 1);
  return {n, n, entries};
}

AnyCompressedRows lagrange_mass_rows(std::uint32_t degree, std::uint32_t n_t, double T,
                                     LazyThreadPool* pool) {
  const LagrangeElementMatrices element = lagrange_element_matrices(degree);
  const double half_h = 0.5 * (T / static_cast<double>(n_t));
  const AssembledRows rows{degree, n_t};
  return written(lagrange_assembled_size(degree, n_t), pool, [&](auto& m, u64 first, u64 end) {
    write_assembled_rows(m, rows, element.mass, half_h, first, end);
  });
}

AnyCompressedRows lagrange_derivative_rows(std::uint32_t degree, std::uint32_t n_t,
                                           LazyThreadPool* pool) {
  const LagrangeElementMatrices element = lagrange_element_matrices(degree);
  const AssembledRows rows{degree, n_t};
  return written(lagrange_assembled_size(degree, n_t), pool, [&](auto& m, u64 first, u64 end) {
    write_assembled_rows(m, rows, element.derivative, 1.0, first, end);
  });
}

}  // namespace quorvel
