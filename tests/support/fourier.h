// Spectra for the tests that measure what a conversion leaves besides the
// signal: an in-place radix-2 FFT and Kaiser-windowed power spectra.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

namespace qoro::test {

// In-place radix-2 FFT (the size a power of two).
inline void fft(std::vector<std::complex<double>>& a) {
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    std::vector<std::complex<double>> twiddle(n / 2);
    for (size_t k = 0; k < n / 2; ++k) twiddle[k] = std::polar(1.0, -2 * std::numbers::pi * double(k) / double(n));
    for (size_t len = 2; len <= n; len <<= 1)
        for (size_t i = 0; i < n; i += len)
            for (size_t j = 0; j < len / 2; ++j) {
                const auto u = a[i + j], v = a[i + j + len / 2] * twiddle[j * (n / len)];
                a[i + j] = u + v;
                a[i + j + len / 2] = u - v;
            }
}

inline double besselI0(double x) {
    double sum = 1, term = 1;
    for (int k = 1; term > 1e-20 * sum; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
    }
    return sum;
}

// Power in bins 0 ... n/2 of `n` samples from `at`, under a Kaiser window.
inline std::vector<double> powerSpectrum(const std::vector<double>& x, size_t at, size_t n, double beta) {
    std::vector<std::complex<double>> a(n);
    for (size_t i = 0; i < n; ++i) {
        const double r = 2.0 * double(i) / double(n - 1) - 1.0;
        a[i] = x[at + i] * besselI0(beta * std::sqrt(std::max(0.0, 1 - r * r))) / besselI0(beta);
    }
    fft(a);
    std::vector<double> p(n / 2 + 1);
    for (size_t k = 0; k < p.size(); ++k) p[k] = std::norm(a[k]);
    return p;
}

inline double dB(double powerRatio) { return 10 * std::log10(std::max(powerRatio, 1e-300)); }

// The strongest bin more than `guard` bins away from the peak, relative to
// the peak, in dB.
inline double strongestSpurDb(const std::vector<double>& p, size_t guard = 16) {
    const size_t peak = size_t(std::max_element(p.begin(), p.end()) - p.begin());
    double spur = 0;
    for (size_t k = 0; k < p.size(); ++k)
        if (k + guard < peak || k > peak + guard) spur = std::max(spur, p[k]);
    return dB(spur / p[peak]);
}

}  // namespace qoro::test
