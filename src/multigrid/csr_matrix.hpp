// Compressed sparse rows, with the products and Gauss-Seidel sweeps of a
// multigrid cycle.
#pragma once

#include <cstddef>
#include <cstdint>
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
    // Row i times x, the entries at even and odd offsets summed apart: two
    // chains of additions instead of one, which bound the loops' speed.
    double row_product(std::size_t i, const double* x) const {
        double even = 0.0, odd = 0.0;
        auto e = indptr_[i];
        const auto end = indptr_[i + 1];
        for (; e + 1 < end; e += 2) {
            even += data_[e] * x[indices_[e]];
            odd += data_[e + 1] * x[indices_[e + 1]];
        }
        if (e < end) even += data_[e] * x[indices_[e]];
        return even + odd;
    }

    std::size_t rows_ = 0, cols_ = 0;
    std::vector<std::int64_t> indptr_{0};
    std::vector<std::int32_t> indices_;
    std::vector<double> data_;
    // 1 / the diagonal entry of each row of a square matrix (0 where it is
    // missing or zero), so that a sweep multiplies rather than divides.
    std::vector<double> inverse_diagonal_;
};

}  // namespace corvane::multigrid
