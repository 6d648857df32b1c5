// Properties of kernels that the Python tests reach only through whole
// searches: the interpolation window of the pass search reproduces any
// polynomial of degree 7 (its positions and its derivative), and the thread
// split covers every item exactly once whatever the thread count. Built and
// run by tests/test_cpp_kernels.py; prints FAIL lines and exits 1 on a fault.
#include "velarion/_core/parallel.hpp"
#include "velarion/passes/kernels/search.hpp"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <vector>

namespace core = velarion::core;
namespace kn = velarion::passes::kernels;

namespace {

int failures = 0;

void check(bool ok, const char* what, double got, double want) {
    if (!ok) {
        std::printf("FAIL %s: got %.17g, want %.17g\n", what, got, want);
        ++failures;
    }
}

core::Strided2D<double> view(std::vector<double>& data, core::index_t rows, core::index_t cols) {
    return {reinterpret_cast<char*>(data.data()), rows, cols, static_cast<core::index_t>(cols * sizeof(double)),
            sizeof(double)};
}

void window_reproduces_degree_seven_polynomials() {
    const double spacing = 60.0;
    // p_c(x) = sum a[c][k] x^k with x = t / spacing - 1.5 (the window's own variable).
    const double a[3][8] = {{7.0e6, -3.1e5, 2.2e4, -1.3e3, 4.0e2, -17.0, 3.0, -0.5},
                            {-1.2e6, 5.5e5, -4.4e4, 2.0e3, -60.0, 9.0, -1.0, 0.25},
                            {3.3e6, 1.0e5, 7.0e3, -8.0e2, 50.0, -4.0, 0.5, 0.125}};
    auto value = [&](int c, double t, double& p, double& dp) {
        const double x = t / spacing - 1.5;
        p = 0.0;
        dp = 0.0;
        for (int k = 7; k >= 0; --k) {
            dp = dp * x + p;
            p = p * x + a[c][k];
        }
        dp /= spacing;
    };
    std::vector<double> nodes(4 * 6), table(8 * 3);
    const auto nv = view(nodes, 4, 6), tv = view(table, 8, 3);
    for (int j = 0; j < 4; ++j)
        for (int c = 0; c < 3; ++c) value(c, j * spacing, nv(j, c), nv(j, 3 + c));
    kn::window_coefficients(nv, 0, spacing, tv, 0);
    const kn::Trajectory one_window{0, 3, spacing};
    for (int q = 0; q <= 300; ++q) {
        const double t = 3.0 * spacing * q / 300.0;
        double r[3], v[3];
        kn::interpolate(tv, one_window, t, r, v);
        for (int c = 0; c < 3; ++c) {
            double p, dp;
            value(c, t, p, dp);
            check(std::abs(r[c] - p) <= 1e-6, "window position", r[c], p);          // m, of 1e7 m
            check(std::abs(v[c] - dp) <= 1e-8 * 1e5, "window velocity", v[c], dp);  // m/s
        }
    }
}

void thread_split_covers_each_item_once() {
    for (std::ptrdiff_t count : {0, 1, 2, 7, 100, 1001}) {
        for (int threads : {1, 2, 3, 8, 300}) {
            std::vector<std::atomic<int>> seen(static_cast<std::size_t>(count));
            std::atomic<std::ptrdiff_t> workers{0};
            core::parallel_ranges(count, threads, [&](std::ptrdiff_t, std::ptrdiff_t begin, std::ptrdiff_t end) {
                workers.fetch_add(1);
                for (std::ptrdiff_t i = begin; i < end; ++i) seen[static_cast<std::size_t>(i)].fetch_add(1);
            });
            for (std::ptrdiff_t i = 0; i < count; ++i)
                check(seen[static_cast<std::size_t>(i)].load() == 1, "items covered once",
                      seen[static_cast<std::size_t>(i)].load(), 1);
            check(workers.load() == core::worker_count(count, threads), "workers started", double(workers.load()),
                  double(core::worker_count(count, threads)));
            check(workers.load() <= core::kMaxWorkers, "workers capped", double(workers.load()),
                  double(core::kMaxWorkers));
        }
    }
}

}  // namespace

int main() {
    window_reproduces_degree_seven_polynomials();
    thread_split_covers_each_item_once();
    if (failures == 0) std::printf("OK\n");
    return failures == 0 ? 0 : 1;
}
