// Compressed sparse rows, with the products and Gauss-Seidel sweeps of a
// multigrid cycle.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace corvane::multigrid {

class CsrMatrix {
public:
    CsrMatrix() = default;
    // Checks the structure (row pointers from 0 to the values' count, never
    // decreasing; columns in range) and fails with a Failure naming the fault.
    CsrMatrix(std::size_t rows, std::size_t cols, std::vector<std::int64_t> indptr, std::vector<std::int32_t> indices,
              std::vector<double> data);

    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }
    std::size_t bytes() const;

    // Each on rows first..last-1 of the result, or on all of them.
    // y = A x.
    void multiply(const double* x, double* y, std::size_t first, std::size_t last) const;
    void multiply(const double* x, double* y) const { multiply(x, y, 0, rows_); }
    // y += A x, the product summed first.
    void multiply_add(const double* x, double* y, std::size_t first, std::size_t last) const;
    void multiply_add(const double* x, double* y) const { multiply_add(x, y, 0, rows_); }
    // r = b - A x.
    void residual(const double* x, const double* b, double* r, std::size_t first, std::size_t last) const;
    void residual(const double* x, const double* b, double* r) const { residual(x, b, r, 0, rows_); }
    // One Gauss-Seidel sweep on A x = b in place, rows in increasing
    // (forward) or decreasing order; a row without a diagonal entry, or with
    // a zero one, keeps its value. Square matrices only.
    void gauss_seidel(double* x, const double* b, bool forward, std::size_t first, std::size_t last) const;
    void gauss_seidel(double* x, const double* b, bool forward) const { gauss_seidel(x, b, forward, 0, rows_); }

    // Whether no row of first..last-1 has an entry (even a stored zero) in a
    // column of first..last-1 but its own: the rows can then be swept in any
    // order, or at once on several threads.
    bool independent(std::size_t first, std::size_t last) const;
    std::size_t nonzeros() const { return data_.size(); }
    // The entries of rows before row i.
    std::size_t entries_before(std::size_t i) const { return static_cast<std::size_t>(indptr_[i]); }

private:
    // Rows of up to this many entries have a loop of their own length: a
    // row's loop otherwise ends where the processor has not predicted it,
    // and most rows are short (7 entries for most faces).
    static constexpr std::size_t FIXED_LENGTHS = 24;

    // The entries data[0..n) of a row times x, those at even and odd offsets
    // summed apart: two chains of additions instead of one, which bound the
    // loops' speed. N = 0: any n; otherwise n = N, unrolled (the same sums).
    template <std::size_t N>
    static double product(const double* data, const std::int32_t* indices, std::size_t n, const double* x) {
        if constexpr (N != 0) n = N;
        double even = 0.0, odd = 0.0;
        std::size_t e = 0;
        for (; e + 1 < n; e += 2) {
            even += data[e] * x[indices[e]];
            odd += data[e + 1] * x[indices[e + 1]];
        }
        if (e < n) even += data[e] * x[indices[e]];
        return even + odd;
    }

    // row(i, row i · x) for rows first..last-1, in increasing or decreasing
    // order, each run of rows of one length by the loop of that length.
    template <class Row>
    void each_row(const double* x, std::size_t first, std::size_t last, bool forward, Row&& row) const {
        if (first >= last) return;
        // The runs that hold rows first and last - 1.
        const auto run_of = [&](std::size_t i) {
            return static_cast<std::size_t>(std::upper_bound(run_begin_.begin(), run_begin_.end(), i) -
                                            run_begin_.begin()) - 1;
        };
        const std::size_t low = run_of(first), high = run_of(last - 1);
        for (std::size_t k = 0; k <= high - low; ++k) {
            const std::size_t run = forward ? low + k : high - k;
            const std::size_t begin = std::max<std::size_t>(run_begin_[run], first);
            const std::size_t end = std::min<std::size_t>(run_begin_[run + 1], last);
            const std::size_t length = static_cast<std::size_t>(indptr_[begin + 1] - indptr_[begin]);
            rows_of_length(length, x, begin, end, forward, row, std::make_index_sequence<FIXED_LENGTHS + 1>());
        }
    }

    template <class Row, std::size_t... N>
    void rows_of_length(std::size_t length, const double* x, std::size_t begin, std::size_t end, bool forward,
                        Row& row, std::index_sequence<N...>) const {
        // Length 0 is any length: the loop of the row's own count.
        const bool fixed = ((length == N && N != 0 ? (rows<N>(x, begin, end, forward, row), true) : false) || ...);
        if (!fixed) rows<0>(x, begin, end, forward, row);
    }

    template <std::size_t N, class Row>
    void rows(const double* x, std::size_t begin, std::size_t end, bool forward, Row& row) const {
        for (std::size_t step = begin; step < end; ++step) {
            const std::size_t i = forward ? step : begin + end - 1 - step;
            const auto e = indptr_[i];
            row(i, product<N>(data_.data() + e, indices_.data() + e, static_cast<std::size_t>(indptr_[i + 1] - e), x));
        }
    }

    std::size_t rows_ = 0, cols_ = 0;
    std::vector<std::int64_t> indptr_{0};
    std::vector<std::int32_t> indices_;
    std::vector<double> data_;
    // 1 / the diagonal entry of each row of a square matrix (0 where it is
    // missing or zero), so that a sweep multiplies rather than divides.
    std::vector<double> inverse_diagonal_;
    // The first row of each run of rows of one length, and rows_.
    std::vector<std::uint32_t> run_begin_;
};

}  // namespace corvane::multigrid
