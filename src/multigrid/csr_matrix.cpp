#include "multigrid/csr_matrix.hpp"

#include <string>

#include "lib/failure.hpp"

namespace corvane::multigrid {

CsrMatrix::CsrMatrix(std::size_t rows, std::size_t cols, std::vector<std::int64_t> indptr,
                     std::vector<std::int32_t> indices, std::vector<double> data)
    : rows_(rows), cols_(cols), indptr_(std::move(indptr)), indices_(std::move(indices)), data_(std::move(data)) {
    if (indptr_.size() != rows_ + 1 || indptr_.front() != 0) fail("sparse matrix: row pointers must run from 0, one per row and one more");
    if (indices_.size() != data_.size() || static_cast<std::uint64_t>(indptr_.back()) != data_.size()) {
        fail("sparse matrix: the row pointers, column indices and values disagree in length");
    }
    for (std::size_t i = 0; i < rows_; ++i) {
        if (indptr_[i + 1] < indptr_[i]) fail("sparse matrix: row pointers must not decrease");
    }
    for (const auto j : indices_) {
        if (j < 0 || static_cast<std::size_t>(j) >= cols_) {
            fail("sparse matrix: column index " + std::to_string(j) + " outside 0.." + std::to_string(cols_));
        }
    }
    if (rows_ >= (std::size_t{1} << 32)) fail("sparse matrix: too many rows");
    for (std::size_t i = 0; i < rows_; ++i) {
        if (i == 0 || indptr_[i + 1] - indptr_[i] != indptr_[i] - indptr_[i - 1]) {
            run_begin_.push_back(static_cast<std::uint32_t>(i));
        }
    }
    run_begin_.push_back(static_cast<std::uint32_t>(rows_));
    if (rows_ == cols_) {
        inverse_diagonal_.assign(rows_, 0.0);
        for (std::size_t i = 0; i < rows_; ++i) {
            double diagonal = 0.0;
            for (auto e = indptr_[i]; e < indptr_[i + 1]; ++e) {
                if (static_cast<std::size_t>(indices_[e]) == i) diagonal += data_[e];
            }
            if (diagonal != 0.0) inverse_diagonal_[i] = 1.0 / diagonal;
        }
    }
}

std::size_t CsrMatrix::bytes() const {
    return indptr_.size() * sizeof(std::int64_t) + indices_.size() * sizeof(std::int32_t) +
           (data_.size() + inverse_diagonal_.size()) * sizeof(double) + run_begin_.size() * sizeof(std::uint32_t);
}

void CsrMatrix::multiply(const double* x, double* y, std::size_t first, std::size_t last) const {
    each_row(x, first, last, true, [&](std::size_t i, double product) { y[i] = product; });
}

void CsrMatrix::multiply_add(const double* x, double* y, std::size_t first, std::size_t last) const {
    each_row(x, first, last, true, [&](std::size_t i, double product) { y[i] += product; });
}

void CsrMatrix::residual(const double* x, const double* b, double* r, std::size_t first, std::size_t last) const {
    each_row(x, first, last, true, [&](std::size_t i, double product) { r[i] = b[i] - product; });
}

bool CsrMatrix::independent(std::size_t first, std::size_t last) const {
    for (std::size_t i = first; i < last; ++i) {
        for (auto e = indptr_[i]; e < indptr_[i + 1]; ++e) {
            const auto j = static_cast<std::size_t>(indices_[e]);
            if (j != i && j >= first && j < last) return false;
        }
    }
    return true;
}

void CsrMatrix::gauss_seidel(double* x, const double* b, bool forward, std::size_t first, std::size_t last) const {
    // x_i + (b_i - row i · x) / a_ii: the whole row's product, without a
    // test for the diagonal inside the loop; each row reads the values the
    // rows before it in the sweep left.
    each_row(x, first, last, forward,
             [&](std::size_t i, double product) { x[i] += (b[i] - product) * inverse_diagonal_[i]; });
}

}  // namespace corvane::multigrid
