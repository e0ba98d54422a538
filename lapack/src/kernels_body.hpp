// The one source of the kernels (kernels.hpp has the contract), compiled once
// per instruction set. The including file defines LAPACK_VECTOR_BYTES (16 for
// baseline x86-64, 32 for AVX2) and, for AVX2, switches the target on after
// its own includes, so that no library code is compiled for it. Everything
// here has internal linkage: nothing built for a wider set is shared with
// another translation unit. No include guard: one inclusion per file.
//
// How the bits are kept: a lane of a vector is one output element, and it
// performs that element's reference operations in the reference's order (one
// rounded product, then one rounded sum, per step). Blocking only decides
// which independent elements run together, and when an element's running
// value is parked in memory between two steps (which rounds nothing). The
// build forbids contracting a product and a sum into an FMA, and no FMA
// target is enabled here, so the compiler cannot fuse them either.
//
// Lanes beyond the matrix (in packed panels and edge tiles) compute on
// padding and are thrown away; they never reach the caller's memory.

namespace bravolin::lapack::detail {

namespace {

constexpr int LANES = LAPACK_VECTOR_BYTES / 8;
typedef double Vec __attribute__((vector_size(LAPACK_VECTOR_BYTES)));

inline Vec load(const double* p) {
    Vec v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
inline void store(double* p, Vec v) { __builtin_memcpy(p, &v, sizeof v); }
inline std::ptrdiff_t off(int i, int j, int ld) {
    return static_cast<std::ptrdiff_t>(i) + static_cast<std::ptrdiff_t>(j) * ld;
}
inline std::size_t count(long long n) { return static_cast<std::size_t>(n); }

// Register block of the products: MR rows (MV vectors) by NR columns. 2 x 6
// vectors keep 12 accumulators, two vectors of A and a broadcast in the 16
// vector registers of either instruction set; the 12 independent sums hide
// the add latency on both add pipes.
constexpr int MV = 2;
constexpr int MR = MV * LANES;
constexpr int NR = 6;
// Packed blocks: KC steps of the sum by MC rows of A (AVX2: 128 x 256, half
// of a core's 512 KiB L2), and KC rows of the multipliers.
constexpr int KC = 256;
constexpr int MC = 16 * MR;

// Assumptions: ap holds MR rows of A for kc steps, step l at ap[l*MR ...];
// bp holds the multipliers of NR columns, step l at bp[l*NR ...]; c is an MR
// x NC tile (NC <= NR), column-major with leading dimension ldc. Lane r of
// acc[j][v] is c(v*LANES + r, j): it starts from c's value and adds
// bp(l, j)·ap(l, r) for l ascending. With Skip, bit j of zero[l] set means the
// reference skips step l for column j (a zero multiplier), and that column's
// sum is left as it is for that step.
template <bool Skip, int NC>
inline void micro_tile(int kc, const double* ap, const double* bp, const unsigned char* zero,
                       double* c, int ldc) {
    Vec acc[static_cast<std::size_t>(NC)][MV];
#pragma GCC unroll 8
    for (int j = 0; j < NC; ++j)
#pragma GCC unroll 4
        for (int v = 0; v < MV; ++v) acc[j][v] = load(c + off(v * LANES, j, ldc));
    for (int l = 0; l < kc; ++l) {
        Vec av[MV];
#pragma GCC unroll 4
        for (int v = 0; v < MV; ++v) av[v] = load(ap + l * MR + v * LANES);
#pragma GCC unroll 8
        for (int j = 0; j < NC; ++j) {
            if (Skip && ((zero[l] >> j) & 1) != 0) continue;
            // A scalar operand is copied to every lane (no arithmetic).
            const double t = bp[l * NR + j];
#pragma GCC unroll 4
            for (int v = 0; v < MV; ++v) acc[j][v] = acc[j][v] + t * av[v];
        }
    }
#pragma GCC unroll 8
    for (int j = 0; j < NC; ++j)
#pragma GCC unroll 4
        for (int v = 0; v < MV; ++v) store(c + off(v * LANES, j, ldc), acc[j][v]);
}

// micro_tile on the first cols columns of a tile of full height.
template <bool Skip>
void full_height_tile(int kc, const double* ap, const double* bp, const unsigned char* zero,
                      double* c, int ldc, int cols) {
    switch (cols) {
        case 1: return micro_tile<Skip, 1>(kc, ap, bp, zero, c, ldc);
        case 2: return micro_tile<Skip, 2>(kc, ap, bp, zero, c, ldc);
        case 3: return micro_tile<Skip, 3>(kc, ap, bp, zero, c, ldc);
        case 4: return micro_tile<Skip, 4>(kc, ap, bp, zero, c, ldc);
        case 5: return micro_tile<Skip, 5>(kc, ap, bp, zero, c, ldc);
        default: return micro_tile<Skip, NR>(kc, ap, bp, zero, c, ldc);
    }
}

// A rows x cols corner of a tile (rows < MR, cols <= NR), through a full
// tile on the stack.
template <bool Skip>
void short_tile(int kc, const double* ap, const double* bp, const unsigned char* zero, double* c,
                int ldc, int rows, int cols) {
    double tile[MR * NR] = {};
    for (int j = 0; j < cols; ++j)
        for (int i = 0; i < rows; ++i) tile[i + j * MR] = c[off(i, j, ldc)];
    micro_tile<Skip, NR>(kc, ap, bp, zero, tile, MR);
    for (int j = 0; j < cols; ++j)
        for (int i = 0; i < rows; ++i) c[off(i, j, ldc)] = tile[i + j * MR];
}

template <bool Skip>
void any_tile(int kc, const double* ap, const double* bp, const unsigned char* zero, double* c,
              int ldc, int rows, int cols) {
    if (rows == MR)
        full_height_tile<Skip>(kc, ap, bp, zero, c, ldc, cols);
    else
        short_tile<Skip>(kc, ap, bp, zero, c, ldc, rows, cols);
}

// A's mc x kc block (leading dimension lda) as panels of MR rows, step by step.
void pack_rows(int mc, int kc, const double* a, int lda, double* ap) {
    for (int ir = 0; ir < mc; ir += MR) {
        const int rows = std::min(MR, mc - ir);
        if (rows == MR) {
            // Whole vectors: a library copy call per step costs more than
            // the step's eight or four elements.
            for (int l = 0; l < kc; ++l) {
                const double* src = a + off(ir, l, lda);
#pragma GCC unroll 4
                for (int v = 0; v < MV; ++v) store(ap + v * LANES, load(src + v * LANES));
                ap += MR;
            }
            continue;
        }
        for (int l = 0; l < kc; ++l) {
            const double* src = a + off(ir, l, lda);
            for (int r = 0; r < rows; ++r) ap[r] = src[r];
            for (int r = rows; r < MR; ++r) ap[r] = 0.0;
            ap += MR;
        }
    }
}

// The multipliers alpha·B(l, j) of B's kc x nc block, rounded once each as the
// reference's temp is, as panels of NR columns, step by step.
void pack_multipliers(int kc, int nc, double alpha, const double* b, int ldb, double* bp) {
    for (int jr = 0; jr < nc; jr += NR) {
        const int cols = std::min(NR, nc - jr);
        for (int l = 0; l < kc; ++l) {
            for (int j = 0; j < cols; ++j) bp[j] = alpha * b[off(l, jr + j, ldb)];
            for (int j = cols; j < NR; ++j) bp[j] = 0.0;
            bp += NR;
        }
    }
}

std::unique_ptr<double[]> scratch(long long n) {
    return std::make_unique_for_overwrite<double[]>(count(n));
}

// Below this many products the packing does not pay; the reference loop nest
// gives the same bits.
constexpr long long GEMM_SMALL = 4096;

void dgemm_nn(int m, int n, int k, double alpha, const double* a, int lda, const double* b,
              int ldb, double beta, double* c, int ldc) {
    if (m == 0 || n == 0 || ((alpha == 0.0 || k == 0) && beta == 1.0)) return;
    if (alpha == 0.0) {
        for (int j = 0; j < n; ++j) {
            double* cj = c + off(0, j, ldc);
            for (int i = 0; i < m; ++i) cj[i] = beta == 0.0 ? 0.0 : beta * cj[i];
        }
        return;
    }
    // The reference scales column j just before its sum; columns are
    // independent, so scaling all of them first changes nothing.
    if (beta != 1.0) {
        for (int j = 0; j < n; ++j) {
            double* cj = c + off(0, j, ldc);
            if (beta == 0.0) {
                for (int i = 0; i < m; ++i) cj[i] = 0.0;
            } else {
                for (int i = 0; i < m; ++i) cj[i] = beta * cj[i];
            }
        }
    }
    if (static_cast<long long>(m) * n * k < GEMM_SMALL || m < MR) {
        // No skip of a zero B(l, j): 3.11 dropped it so that an infinity or
        // NaN in A reaches C.
        for (int j = 0; j < n; ++j) {
            double* cj = c + off(0, j, ldc);
            for (int l = 0; l < k; ++l) {
                const double temp = alpha * b[off(l, j, ldb)];
                const double* al = a + off(0, l, lda);
                for (int i = 0; i < m; ++i) cj[i] = cj[i] + temp * al[i];
            }
        }
        return;
    }

    // Steps of the sum in blocks of KC, in ascending order; between two blocks
    // each element's running sum waits in C.
    const int kc_max = std::min(KC, k);
    const int mc_max = std::min(MC, (m + MR - 1) / MR * MR);
    const int n_padded = (n + NR - 1) / NR * NR;
    const auto ap = scratch(static_cast<long long>(mc_max) * kc_max);
    const auto bp = scratch(static_cast<long long>(kc_max) * n_padded);
    for (int pc = 0; pc < k; pc += KC) {
        const int kc = std::min(KC, k - pc);
        pack_multipliers(kc, n, alpha, b + off(pc, 0, ldb), ldb, bp.get());
        for (int ic = 0; ic < m; ic += MC) {
            const int mc = std::min(MC, m - ic);
            pack_rows(mc, kc, a + off(ic, pc, lda), lda, ap.get());
            for (int jr = 0; jr < n; jr += NR) {
                const double* b_panel = bp.get() + static_cast<std::ptrdiff_t>(jr) * kc;
                for (int ir = 0; ir < mc; ir += MR) {
                    const double* a_panel = ap.get() + static_cast<std::ptrdiff_t>(ir) * kc;
                    any_tile<false>(kc, a_panel, b_panel, nullptr, c + off(ic + ir, jr, ldc), ldc,
                                    std::min(MR, mc - ir), std::min(NR, n - jr));
                }
            }
        }
    }
}

void dtrmm_reference(Diag diag, int m, int n, double alpha, const double* a, int lda, double* b,
                     int ldb) {
    for (int j = 0; j < n; ++j) {
        double* bj = b + off(0, j, ldb);
        for (int k = 0; k < m; ++k) {
            if (bj[k] != 0.0) {
                double temp = alpha * bj[k];
                const double* ak = a + off(0, k, lda);
                for (int i = 0; i < k; ++i) bj[i] = bj[i] + temp * ak[i];
                if (diag == Diag::non_unit) temp = temp * ak[k];
                bj[k] = temp;
            }
        }
    }
}

void dtrmm_left_upper_n(Diag diag, int m, int n, double alpha, const double* a, int lda,
                        double* b, int ldb) {
    if (m == 0 || n == 0) return;
    if (alpha == 0.0) return zero_fill(m, n, b, ldb);
    if (m < 2 * MR) return dtrmm_reference(diag, m, n, alpha, a, lda, b, ldb);

    // Element (i, j) ends as alpha·B(i, j)·A(i, i) (or B(i, j) if that was
    // zero), plus alpha·B(k, j)·A(i, k) for k = i+1 .. m-1 in ascending order,
    // each step skipped where B(k, j) is zero; B(k, j) is the value on entry,
    // because the reference reads row k before it rewrites it and rewrites
    // only rows above. So rows are done in blocks of MR from the top, each
    // block's triangle first in the reference's order, then the rows below it
    // (still unchanged) as multipliers packed from the entry values.
    const int panels = (n + NR - 1) / NR;
    const auto tp = scratch(static_cast<long long>(panels) * NR * m);
    std::vector<unsigned char> zero(count(static_cast<long long>(panels) * m));
    // zero_below[p*m + k]: a zero multiplier in panel p at row k or below.
    std::vector<unsigned char> zero_below(zero.size());
    for (int p = 0; p < panels; ++p) {
        const int cols = std::min(NR, n - p * NR);
        pack_multipliers(m, cols, alpha, b + off(0, p * NR, ldb), ldb,
                         tp.get() + static_cast<std::ptrdiff_t>(p) * NR * m);
        unsigned char* zp = zero.data() + static_cast<std::ptrdiff_t>(p) * m;
        for (int k = 0; k < m; ++k) {
            unsigned bits = 0;
            for (int j = 0; j < cols; ++j)
                if (b[off(k, p * NR + j, ldb)] == 0.0) bits |= 1U << j;
            zp[k] = static_cast<unsigned char>(bits);
        }
        unsigned char* zb = zero_below.data() + static_cast<std::ptrdiff_t>(p) * m;
        unsigned char below = 0;
        for (int k = m - 1; k >= 0; --k) zb[k] = below = static_cast<unsigned char>(below | zp[k]);
    }

    const auto ap = scratch(static_cast<long long>(MR) * m);
    for (int i0 = 0; i0 < m; i0 += MR) {
        const int rows = std::min(MR, m - i0);
        const int below = i0 + rows;
        for (int j = 0; j < n; ++j) {
            double* bj = b + off(0, j, ldb);
            for (int k = i0; k < below; ++k) {
                if (bj[k] != 0.0) {
                    double temp = alpha * bj[k];
                    const double* ak = a + off(0, k, lda);
                    for (int i = i0; i < k; ++i) bj[i] = bj[i] + temp * ak[i];
                    if (diag == Diag::non_unit) temp = temp * ak[k];
                    bj[k] = temp;
                }
            }
        }
        if (below == m) break;
        pack_rows(rows, m - below, a + off(i0, below, lda), lda, ap.get());
        for (int p = 0; p < panels; ++p) {
            const std::ptrdiff_t at_row = static_cast<std::ptrdiff_t>(p) * m + below;
            const double* bp = tp.get() + at_row * NR;
            const unsigned char* zp = zero.data() + at_row;
            double* c = b + off(i0, p * NR, ldb);
            const int cols = std::min(NR, n - p * NR);
            if (zero_below[count(at_row)] != 0)
                any_tile<true>(m - below, ap.get(), bp, zp, c, ldb, rows, cols);
            else
                any_tile<false>(m - below, ap.get(), bp, zp, c, ldb, rows, cols);
        }
    }
}

void dtrsm_left_lower_reference(Diag diag, int m, int n, double alpha, const double* a, int lda,
                                double* b, int ldb) {
    for (int j = 0; j < n; ++j) {
        double* bj = b + off(0, j, ldb);
        if (alpha != 1.0) {
            for (int i = 0; i < m; ++i) bj[i] = alpha * bj[i];
        }
        for (int k = 0; k < m; ++k) {
            if (bj[k] != 0.0) {
                const double* ak = a + off(0, k, lda);
                if (diag == Diag::non_unit) bj[k] = bj[k] / ak[k];
                const double bk = bj[k];
                for (int i = k + 1; i < m; ++i) bj[i] = bj[i] - bk * ak[i];
            }
        }
    }
}

// Columns of B solved side by side: TV vectors of them.
constexpr int TV = 4;
constexpr int TW = TV * LANES;

typedef long long Mask __attribute__((vector_size(LAPACK_VECTOR_BYTES)));

inline Mask load_mask(const long long* p) {
    Mask v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

void dtrsm_left_lower_n(Diag diag, int m, int n, double alpha, const double* a, int lda,
                        double* b, int ldb) {
    if (m == 0 || n == 0) return;
    if (alpha == 0.0) return zero_fill(m, n, b, ldb);
    if (n < TW || m < 4) return dtrsm_left_lower_reference(diag, m, n, alpha, a, lda, b, ldb);

    // Element (i, j) is alpha·B(i, j), minus B(k, j)·A(i, k) for k = 0 .. i-1
    // ascending, where B(k, j) is row k's final value, each step skipped where
    // row k's value was zero before its division by A(k, k) (the reference
    // tests it before dividing); then divided by A(i, i) unless it is zero.
    // So a row is finished from the finished rows above it, for TW columns
    // at once: lane c of a vector is column c, in a transposed copy of B's
    // columns. Rows of A's lower triangle are copied contiguous first.
    const auto rows_of_a = scratch(static_cast<long long>(m) * (m - 1) / 2);
    for (int i = 1; i < m; ++i) {
        double* dst = rows_of_a.get() + static_cast<std::ptrdiff_t>(i) * (i - 1) / 2;
        for (int k = 0; k < i; ++k) dst[k] = a[off(i, k, lda)];
    }
    const auto panel = scratch(static_cast<long long>(m) * TW);
    // Row k's lanes that were nonzero before the division, as all-ones.
    const auto nonzero = std::make_unique_for_overwrite<long long[]>(count(static_cast<long long>(m) * TW));
    // Per row: 0 when no column had a nonzero value, 2 when all had, 1 otherwise.
    std::vector<unsigned char> state(count(m));
    for (int c0 = 0; c0 < n; c0 += TW) {
        const int cols = std::min(TW, n - c0);
        for (int i = 0; i < m; ++i) {
            double* row = panel.get() + static_cast<std::ptrdiff_t>(i) * TW;
            for (int c = 0; c < cols; ++c) row[c] = b[off(i, c0 + c, ldb)];
            for (int c = cols; c < TW; ++c) row[c] = 1.0;  // thrown away
        }
        for (int i = 0; i < m; ++i) {
            double* row = panel.get() + static_cast<std::ptrdiff_t>(i) * TW;
            Vec acc[TV];
#pragma GCC unroll 4
            for (int v = 0; v < TV; ++v) {
                acc[v] = load(row + v * LANES);
                if (alpha != 1.0) acc[v] = alpha * acc[v];
            }
            const double* ai = rows_of_a.get() + static_cast<std::ptrdiff_t>(i) * (i - 1) / 2;
            for (int k = 0; k < i; ++k) {
                if (state[count(k)] == 0) continue;
                const double* bk = panel.get() + static_cast<std::ptrdiff_t>(k) * TW;
                const double aik = ai[k];
                if (state[count(k)] == 2) {
#pragma GCC unroll 4
                    for (int v = 0; v < TV; ++v)
                        acc[v] = acc[v] - load(bk + v * LANES) * aik;
                } else {
                    const long long* mk = nonzero.get() + static_cast<std::ptrdiff_t>(k) * TW;
#pragma GCC unroll 4
                    for (int v = 0; v < TV; ++v)
                        acc[v] = load_mask(mk + v * LANES) ? acc[v] - load(bk + v * LANES) * aik
                                                           : acc[v];
                }
            }
            int nonzero_lanes = 0;
            long long* mi = nonzero.get() + static_cast<std::ptrdiff_t>(i) * TW;
            Mask own[TV];
#pragma GCC unroll 4
            for (int v = 0; v < TV; ++v) {
                own[v] = acc[v] != 0.0;
                __builtin_memcpy(mi + v * LANES, &own[v], sizeof own[v]);
                for (int l = 0; l < LANES; ++l) nonzero_lanes += own[v][l] != 0 ? 1 : 0;
            }
            state[count(i)] = nonzero_lanes == 0 ? 0 : (nonzero_lanes == TW ? 2 : 1);
            if (diag == Diag::non_unit) {
                const double aii = a[off(i, i, lda)];
#pragma GCC unroll 4
                for (int v = 0; v < TV; ++v) acc[v] = own[v] ? acc[v] / aii : acc[v];
            }
#pragma GCC unroll 4
            for (int v = 0; v < TV; ++v) store(row + v * LANES, acc[v]);
        }
        for (int i = 0; i < m; ++i) {
            const double* row = panel.get() + static_cast<std::ptrdiff_t>(i) * TW;
            for (int c = 0; c < cols; ++c) b[off(i, c0 + c, ldb)] = row[c];
        }
    }
}

// Rows of B per block of the right-sided solve: the block's columns stay in
// L1 while every column of A is applied to them.
constexpr int TRSM_ROWS = 64;

void dtrsm_right_upper_n(Diag diag, int m, int n, double alpha, const double* a, int lda,
                         double* b, int ldb) {
    if (m == 0 || n == 0) return;
    // Rows never mix: each row's operations are the reference's, in its
    // order, whichever block of rows runs first.
    for (int i0 = 0; i0 < m; i0 += TRSM_ROWS) {
        const int rows = std::min(TRSM_ROWS, m - i0);
        for (int j = 0; j < n; ++j) {
            double* bj = b + off(i0, j, ldb);
            if (alpha == 0.0) {
                for (int i = 0; i < rows; ++i) bj[i] = 0.0;
                continue;
            }
            if (alpha != 1.0) {
                for (int i = 0; i < rows; ++i) bj[i] = alpha * bj[i];
            }
            for (int k = 0; k < j; ++k) {
                const double akj = a[off(k, j, lda)];
                if (akj != 0.0) {
                    const double* bk = b + off(i0, k, ldb);
                    for (int i = 0; i < rows; ++i) bj[i] = bj[i] - akj * bk[i];
                }
            }
            if (diag == Diag::non_unit) {
                const double temp = 1.0 / a[off(j, j, lda)];
                for (int i = 0; i < rows; ++i) bj[i] = temp * bj[i];
            }
        }
    }
}

// Rows per tile of the sweep: SV vectors, SV independent sums in flight.
constexpr int SV = 8;
constexpr int SR = SV * LANES;

void getri_sweep_rows(int n, double* a, int lda, const double* temps, int i0, int i1) {
    if (n <= 1 || i0 >= i1) return;
    // Row i of the result depends on row i alone: step j sets A(i, j) from
    // A(i, j) (inv(U)'s, or the zero put there) and the finished A(i, l),
    // l > j, as DGEMV adds them, l ascending with temp = -1·L(l, j). So the
    // rows are swept in tiles of SR, each tile through every step, in a
    // packed copy (step l's SR elements side by side).
    const auto tile = scratch(static_cast<long long>(SR) * n);
    for (int r0 = i0; r0 < i1; r0 += SR) {
        const int rows = std::min(SR, i1 - r0);
        for (int l = 0; l < n; ++l) {
            double* dst = tile.get() + static_cast<std::ptrdiff_t>(l) * SR;
            const double* src = a + off(r0, l, lda);
            if (rows == SR) {
#pragma GCC unroll 8
                for (int v = 0; v < SV; ++v) store(dst + v * LANES, load(src + v * LANES));
                continue;
            }
            for (int r = 0; r < rows; ++r) dst[r] = src[r];
            for (int r = rows; r < SR; ++r) dst[r] = 0.0;
        }
        for (int j = n - 2; j >= 0; --j) {
            double* xj = tile.get() + static_cast<std::ptrdiff_t>(j) * SR;
            Vec acc[SV];
#pragma GCC unroll 8
            for (int v = 0; v < SV; ++v) acc[v] = load(xj + v * LANES);
            const double* tj = temps + sweep_column_start(n, j) - (j + 1);
            for (int l = j + 1; l < n; ++l) {
                const double t = tj[l];
                const double* xl = tile.get() + static_cast<std::ptrdiff_t>(l) * SR;
#pragma GCC unroll 8
                for (int v = 0; v < SV; ++v) acc[v] = acc[v] + t * load(xl + v * LANES);
            }
#pragma GCC unroll 8
            for (int v = 0; v < SV; ++v) store(xj + v * LANES, acc[v]);
        }
        for (int l = 0; l < n; ++l) {
            const double* src = tile.get() + static_cast<std::ptrdiff_t>(l) * SR;
            double* dst = a + off(r0, l, lda);
            if (rows == SR) {
#pragma GCC unroll 8
                for (int v = 0; v < SV; ++v) store(dst + v * LANES, load(src + v * LANES));
                continue;
            }
            for (int r = 0; r < rows; ++r) dst[r] = src[r];
        }
    }
}

}  // namespace

}  // namespace bravolin::lapack::detail
