#pragma once
// Owned, row-major (last index fastest) multi-dimensional arrays and single-precision
// complex numbers: the storage of the grids and of the pressure field.

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace kelp {

// A complex number as a pair of floats. Arithmetic is written out in the physics code so that
// the order of operations is the one the model fixes (no C99 Annex G NaN recovery).
struct Complex32 {
    float re = 0.0f;
    float im = 0.0f;
};

inline Complex32 operator+(Complex32 a, Complex32 b) {
    return {a.re + b.re, a.im + b.im};
}
inline Complex32 operator-(Complex32 a, Complex32 b) {
    return {a.re - b.re, a.im - b.im};
}
inline Complex32 operator*(Complex32 a, Complex32 b) {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
inline Complex32 operator*(float s, Complex32 a) {
    return {s * a.re, s * a.im};
}
// Textbook quotient (a b*) / |b|^2; callers guard |b| against zero.
inline Complex32 operator/(Complex32 a, Complex32 b) {
    const float den = b.re * b.re + b.im * b.im;
    return {(a.re * b.re + a.im * b.im) / den, (a.im * b.re - a.re * b.im) / den};
}
inline Complex32 conj(Complex32 a) {
    return {a.re, -a.im};
}

// Rank-R array owning one flat buffer; element (i0, ..., iR-1) sits at the row-major offset.
template <typename T, std::size_t R> struct NDArray {
    std::array<std::size_t, R> shape{};
    std::vector<T> data;

    NDArray() = default;
    NDArray(std::array<std::size_t, R> shape_, const T& fill) : shape(shape_) {
        std::size_t n = 1;
        for (std::size_t s : shape)
            n *= s;
        data.assign(n, fill);
    }

    std::size_t size() const { return data.size(); }
    std::span<T> flat() { return data; }
    std::span<const T> flat() const { return data; }

    template <typename... I> std::size_t offset(I... idx) const {
        static_assert(sizeof...(I) == R, "index count must equal the rank");
        const std::array<std::size_t, R> ix{static_cast<std::size_t>(idx)...};
        std::size_t off = 0;
        for (std::size_t d = 0; d < R; ++d)
            off = off * shape[d] + ix[d];
        return off;
    }
    template <typename... I> T& operator()(I... idx) { return data[offset(idx...)]; }
    template <typename... I> const T& operator()(I... idx) const {
        return data[offset(idx...)];
    }
};

using Array2f = NDArray<float, 2>;
using Array3f = NDArray<float, 3>;
using Array4c = NDArray<Complex32, 4>;

} // namespace kelp
