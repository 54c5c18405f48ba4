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

    // y = A x.
    void multiply(const double* x, double* y) const;
    // y += A x, the product summed first.
    void multiply_add(const double* x, double* y) const;
    // r = b - A x.
    void residual(const double* x, const double* b, double* r) const;
    // One Gauss-Seidel sweep on A x = b in place, rows in increasing
    // (forward) or decreasing order; a row without a diagonal entry, or with
    // a zero one, keeps its value. Square matrices only.
    void gauss_seidel(double* x, const double* b, bool forward) const;

private:
    double row_product(std::size_t i, const double* x) const {
        double sum = 0.0;
        for (auto e = indptr_[i]; e < indptr_[i + 1]; ++e) sum += data_[e] * x[indices_[e]];
        return sum;
    }

    std::size_t rows_ = 0, cols_ = 0;
    std::vector<std::int64_t> indptr_{0};
    std::vector<std::int32_t> indices_;
    std::vector<double> data_;
};

}  // namespace corvane::multigrid
