// Equiripple filter design by the Remez exchange (Parks-McClellan): the weighted error of a
// cosine polynomial is levelled over a dense grid of the bands, the polynomial being kept in
// barycentric Lagrange form on the current extremal set. Like the rest of the design, it uses
// additions, multiplications, divisions and exact scalings only, so every build produces the
// same coefficients.
#include "dsp_internal.h"

#include <cmath>
#include <cstddef>
#include <new>
#include <vector>

namespace dsp {
namespace design {
namespace {

// Barycentric weights 1 / prod_{i != k} (x_k - x_i) over the nodes, up to a common factor. The
// products are kept as mantissa and exponent: for hundreds of nodes they leave the range of a
// double.
void bary_weights(const std::vector<double>& x, std::vector<double>& b) {
    const size_t m = x.size();
    std::vector<int> expo(m);
    int top = -(1 << 30);
    for (size_t k = 0; k < m; ++k) {
        double p = 1.0;
        int e = 0;
        // Rescaled every 16 factors: each lies between about 1e-12 and 4, so the product
        // stays far inside the range in between.
        const double xk = x[k];
        const double* xi = x.data();
        for (size_t i = 0; i < m; ++i) {
            if (i == k)
                continue;
            p *= 2.0 * (xk - xi[i]);
            if ((i & 15) == 15) {
                int ei;
                p = std::frexp(p, &ei);
                e += ei;
            }
        }
        int ei;
        p = std::frexp(p, &ei);
        e += ei;
        b[k] = 1.0 / p;
        expo[k] = -e;
        if (expo[k] > top)
            top = expo[k];
    }
    for (size_t k = 0; k < m; ++k)
        b[k] = std::ldexp(b[k], expo[k] - top);
}

// The next extremal set: the local extremes of the error (band edges included), the largest of
// each run of equal sign, thinned to m by dropping the smallest. (Classically only extremes that
// reach the levelled error count; they do anyway once the exchange is under way, and early on,
// when that level is below rounding, the test would lose the alternation.)
bool select(const std::vector<double>& err, const std::vector<uint32_t>& band, size_t m,
            std::vector<uint32_t>& ext, bool pad = false) {
    const size_t size = err.size();
    std::vector<uint32_t> c;
    for (size_t j = 0; j < size; ++j) {
        const double e = err[j];
        const bool first = j == 0 || band[j - 1] != band[j];
        const bool last = j + 1 == size || band[j + 1] != band[j];
        bool peak = e > 0 ? (first || e >= err[j - 1]) && (last || e > err[j + 1])
                          : (first || e <= err[j - 1]) && (last || e < err[j + 1]);
        if (!peak)
            continue;
        if (!c.empty() && (err[c.back()] > 0) == (e > 0)) {
            if (std::fabs(e) > std::fabs(err[c.back()]))
                c.back() = static_cast<uint32_t>(j);
        } else {
            c.push_back(static_cast<uint32_t>(j));
        }
    }
    while (c.size() > m) {
        if (c.size() == m + 1) {
            // Dropping an end keeps the signs alternating.
            if (std::fabs(err[c.front()]) < std::fabs(err[c.back()]))
                c.erase(c.begin());
            else
                c.pop_back();
            continue;
        }
        size_t s = 0;
        for (size_t k = 1; k < c.size(); ++k)
            if (std::fabs(err[c[k]]) < std::fabs(err[c[s]]))
                s = k;
        if (s == 0 || s + 1 == c.size()) {
            c.erase(c.begin() + static_cast<ptrdiff_t>(s));
        } else {
            // Its neighbours now have equal signs: the smaller of them goes too.
            size_t drop = std::fabs(err[c[s - 1]]) < std::fabs(err[c[s + 1]]) ? s - 1 : s + 1;
            size_t lo = s < drop ? s : drop;
            c.erase(c.begin() + static_cast<ptrdiff_t>(lo),
                    c.begin() + static_cast<ptrdiff_t>(lo) + 2);
        }
    }
    // Short by one or two (the error's sign changes can sit on the grid's ends): an end of the
    // grid whose error has the sign that continues the alternation joins.
    if (c.empty())
        return false;
    if (c.size() < m && c.front() != 0 && (err[0] > 0) != (err[c.front()] > 0))
        c.insert(c.begin(), 0);
    if (c.size() < m && c.back() + 1 != size && (err[size - 1] > 0) != (err[c.back()] > 0))
        c.push_back(static_cast<uint32_t>(size - 1));
    // A first guess only needs places: a short one is filled up in the middle of its widest
    // spaces.
    while (pad && c.size() < m && c.size() >= 2) {
        size_t s = 0;
        for (size_t k = 1; k + 1 < c.size(); ++k)
            if (c[k + 1] - c[k] > c[s + 1] - c[s])
                s = k;
        if (c[s + 1] - c[s] < 2)
            break;
        c.insert(c.begin() + static_cast<ptrdiff_t>(s) + 1, (c[s] + c[s + 1]) / 2);
    }
    if (c.size() < m)
        return false;
    ext = c;
    return true;
}

}  // namespace

double cos_pi(double u) {
    return sin_pi(u + 0.5);
}

bool Remez::design(const Band* bands, uint32_t nbands, uint32_t n, bool even, uint32_t density,
                   const double* start) {
    try {
        return run(bands, nbands, n, even, density, start);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool Remez::run(const Band* bands, uint32_t nbands, uint32_t n, bool even, uint32_t density,
                const double* start) {
    even_ = even;
    const size_t m = size_t(n) + 2;
    // The grid: each band sampled every pi / (density n) radians, both edges included.
    const double step = 1.0 / (double(density) * double(n));  // in units of pi
    std::vector<double> x, d, w;
    std::vector<uint32_t> band;
    for (uint32_t bi = 0; bi < nbands; ++bi) {
        const double lo = bands[bi].lo * 2.0, hi = bands[bi].hi * 2.0;  // in units of pi
        const uint32_t pts = static_cast<uint32_t>((hi - lo) / step) + 2;
        for (uint32_t j = 0; j < pts; ++j) {
            const double u = j + 1 == pts ? hi : lo + (hi - lo) * double(j) / double(pts - 1);
            // A filter of even length has the amplitude cos(omega / 2) times a cosine
            // polynomial: the polynomial approximates the desired amplitude divided by that
            // factor, with the weight multiplied by it.
            const double f = even ? cos_pi(u * 0.5) : 1.0;
            // Bands that touch share their edge: one grid point for it (two extremals at one
            // place would leave the barycentric weights undefined).
            if (!x.empty() && cos_pi(u) == x.back())
                continue;
            x.push_back(cos_pi(u));
            d.push_back(bands[bi].desired / f);
            w.push_back(bands[bi].weight * f);
            band.push_back(bi);
        }
    }
    const size_t size = x.size();
    if (size < m)
        return false;
    std::vector<uint32_t> ext(m);
    std::vector<double> all(m), b(m), err(size);
    // The first extremals: those of a first guess's error (its cosine coefficients a_0 .. a_n,
    // evaluated by Clenshaw's recurrence in x), or else spread evenly over the grid. A guess of
    // the right shape matters for long filters: from an even spread the levelled error starts
    // below rounding and the exchange loses the alternation.
    bool guessed = false;
    if (start) {
        for (size_t j = 0; j < size; ++j) {
            const double xj = x[j];
            double b1 = 0, b2 = 0;
            for (size_t k = n; k >= 1; --k) {
                const double b0 = start[k] + 2.0 * xj * b1 - b2;
                b2 = b1;
                b1 = b0;
            }
            err[j] = w[j] * (d[j] - (start[0] + x[j] * b1 - b2));
        }
        guessed = select(err, band, m, ext, true);
    }
    if (!guessed)
        for (size_t k = 0; k < m; ++k)
            ext[k] = static_cast<uint32_t>((uint64_t(k) * (size - 1)) / (m - 1));

    nodes_.assign(m, 0.0);
    values_.assign(m, 0.0);
    weights_.assign(m, 0.0);
    for (int iter = 0; iter < 100; ++iter) {
        for (size_t k = 0; k < m; ++k)
            all[k] = x[ext[k]];
        bary_weights(all, b);
        double num = 0, den = 0;
        for (size_t k = 0; k < m; ++k) {
            num += b[k] * d[ext[k]];
            den += (k & 1 ? -b[k] : b[k]) / w[ext[k]];
        }
        const double delta = num / den;
        // The polynomial through the extremals at the levelled values: of degree n, since
        // delta makes the values fit one (all m nodes are used, so it is never extrapolated).
        for (size_t k = 0; k < m; ++k) {
            nodes_[k] = all[k];
            values_[k] = d[ext[k]] - (k & 1 ? -delta : delta) / w[ext[k]];
            weights_[k] = b[k];
        }
        const double level = std::fabs(delta);
        double worst = 0;
        for (size_t j = 0; j < size; ++j) {
            err[j] = w[j] * (d[j] - poly(x[j]));
            if (std::fabs(err[j]) > worst)
                worst = std::fabs(err[j]);
        }
        error_ = worst;
        if (worst <= level * (1.0 + 1e-4))
            break;
        if (!select(err, band, m, ext))
            break;
    }
    return true;
}

double Remez::poly(double x) const {
    const double *node = nodes_.data(), *value = values_.data(), *weight = weights_.data();
    double num = 0, den = 0;
    for (size_t k = 0, m = nodes_.size(); k < m; ++k) {
        const double diff = x - node[k];
        if (diff == 0.0)
            return value[k];
        const double t = weight[k] / diff;
        num += t * value[k];
        den += t;
    }
    return num / den;
}

double Remez::amplitude(double u) const {
    const double p = poly(cos_pi(u));
    return even_ ? p * cos_pi(u * 0.5) : p;
}

}  // namespace design
}  // namespace dsp
