// The one source of the schoolbook kernel's vector variants and of the
// elementwise sums beside it (kernel.hpp has both contracts), compiled once
// per instruction set. The including file defines KERNEL_VECTOR_BYTES (16,
// 32 or 64) and KERNEL_ISA, and, for a set wider than baseline x86-64,
// switches its target on after its own includes, so that no library code is
// compiled for it. Everything here has internal linkage: nothing built for a
// wider set is shared with another translation unit. No include guard: one
// inclusion per file.
//
// How the bits are kept: lane l of a block's accumulator for row r and
// vector v is c(r, v*LANES + l). It starts at +0.0 and adds a(r, p) *
// b(p, v*LANES + l) for p ascending, one rounded product and one rounded sum
// per step, exactly the scalar loop's order; a(r, p) is copied to every lane,
// with no arithmetic. Lanes never mix, so no sum is split. The build forbids
// contracting a product and a sum into an FMA, and no FMA target is enabled.

namespace strassen::detail {

namespace {

using std::size_t;

constexpr size_t LANES = KERNEL_VECTOR_BYTES / sizeof(double);
typedef double Vec __attribute__((vector_size(KERNEL_VECTOR_BYTES)));
// Register block: MR rows of c by NV vectors of its columns, chosen per set
// so that the MR * NV independent sums hide the add latency and, with b's
// vectors and a broadcast, fit in the vector registers.
constexpr size_t MR = kernel_rows(KERNEL_ISA);
constexpr size_t NR = kernel_cols(KERNEL_ISA);
constexpr size_t NV = NR / LANES;
static_assert(NR % LANES == 0, "a block's columns are whole vectors");

// The first N elements at p; the lanes beyond them are +0.0 and never stored.
template <size_t N>
inline Vec load(const double* p) {
    Vec v = {};
    if constexpr (N == LANES) {
        __builtin_memcpy(&v, p, sizeof v);
    } else {
        // Element by element: a partial copy would keep v in memory.
#pragma GCC unroll 8
        for (size_t l = 0; l < N; ++l) v[l] = p[l];
    }
    return v;
}
template <size_t N>
inline void store(double* p, Vec v) {
    if constexpr (N == LANES) {
        __builtin_memcpy(p, &v, sizeof v);
    } else {
#pragma GCC unroll 8
        for (size_t l = 0; l < N; ++l) p[l] = v[l];
    }
}

// c's block of R rows by W columns; the last of its V vectors holds TAIL
// columns of c when W is not a whole number of vectors. The loops over r and
// v are unrolled early so that the accumulators become registers; left to the
// late unroller they live on the stack.
template <size_t R, size_t W>
void block(const double* a, size_t a_row, size_t a_depth, const double* b, size_t ldb, double* c,
           size_t ldc, size_t k) {
    constexpr size_t V = (W + LANES - 1) / LANES, TAIL = W % LANES;
    Vec acc[R][V];
#pragma GCC unroll 16
    for (size_t r = 0; r < R; ++r)
#pragma GCC unroll 16
        for (size_t v = 0; v < V; ++v) acc[r][v] = Vec{};
    for (size_t p = 0; p < k; ++p) {
        const double* bp = b + p * ldb;
        Vec bv[V];
#pragma GCC unroll 16
        for (size_t v = 0; v < V; ++v)
            bv[v] = TAIL != 0 && v + 1 == V ? load<TAIL>(bp + v * LANES)
                                            : load<LANES>(bp + v * LANES);
#pragma GCC unroll 16
        for (size_t r = 0; r < R; ++r) {
            const double ar = a[r * a_row + p * a_depth];
#pragma GCC unroll 16
            for (size_t v = 0; v < V; ++v) acc[r][v] = acc[r][v] + ar * bv[v];
        }
    }
#pragma GCC unroll 16
    for (size_t r = 0; r < R; ++r)
#pragma GCC unroll 16
        for (size_t v = 0; v < V; ++v) {
            double* cp = c + r * ldc + v * LANES;
            if (TAIL != 0 && v + 1 == V)
                store<TAIL>(cp, acc[r][v]);
            else
                store<LANES>(cp, acc[r][v]);
        }
}

using BlockFn = void (*)(const double* a, size_t a_row, size_t a_depth, const double* b,
                         size_t ldb, double* c, size_t ldc, size_t k);

// fn[w - 1][h - 1] computes a block h rows high and w columns wide, so that
// every remainder runs the same per-lane arithmetic as a full block. A plain
// array: a library template instantiated here would be compiled for this set.
struct Table {
    BlockFn fn[NR][MR];
};
template <size_t W, size_t... H>
constexpr void fill_width(BlockFn (&heights)[MR], std::index_sequence<H...>) {
    ((heights[H] = &block<H + 1, W>), ...);
}
template <size_t... W>
constexpr Table make_table(std::index_sequence<W...>) {
    Table t{};
    (fill_width<W + 1>(t.fn[W], std::make_index_sequence<MR>{}), ...);
    return t;
}
constexpr Table TABLE = make_table(std::make_index_sequence<NR>{});

// Row strips outside, column blocks inside: a strip of a (MR rows by k) stays
// in L1 while b passes it once per strip.
void run(const double* a, size_t a_row, size_t a_depth, const double* b, size_t ldb, double* c,
         size_t ldc, size_t m, size_t n, size_t k) {
    for (size_t i = 0; i < m; i += MR) {
        const size_t h = m - i < MR ? m - i : MR;
        for (size_t j = 0; j < n; j += NR) {
            const size_t w = n - j < NR ? n - j : NR;
            TABLE.fn[w - 1][h - 1](a + i * a_row, a_row, a_depth, b + j, ldb, c + i * ldc + j,
                                   ldc, k);
        }
    }
}

// A half and a quarter of a vector, for the ends of rows (two lanes at least:
// where a set's vector is narrower they go unused).
constexpr size_t HALF_BYTES = KERNEL_VECTOR_BYTES >= 32 ? KERNEL_VECTOR_BYTES / 2 : 16;
constexpr size_t QUARTER_BYTES = KERNEL_VECTOR_BYTES >= 64 ? KERNEL_VECTOR_BYTES / 4 : 16;
typedef double Half __attribute__((vector_size(HALF_BYTES)));
typedef double Quarter __attribute__((vector_size(QUARTER_BYTES)));

// Elements j.. of a row in vectors of type V while a whole one fits; returns
// where it stopped.
template <class V, bool SUBTRACT, bool HAS_X, bool HAS_Y>
[[gnu::always_inline]] inline size_t sum_run(double* o, const double* xr, const double* yr,
                                             size_t j, size_t cols) {
    constexpr size_t N = sizeof(V) / sizeof(double);
    for (; j + N <= cols; j += N) {
        V a = {}, b = {};
        if (HAS_X) __builtin_memcpy(&a, xr + j, sizeof a);
        if (HAS_Y) __builtin_memcpy(&b, yr + j, sizeof b);
        const V c = SUBTRACT ? a - b : a + b;
        __builtin_memcpy(o + j, &c, sizeof c);
    }
    return j;
}

// The elementwise sums: one IEEE operation per element, whatever the lanes,
// so every width gives the scalar bits. An absent term is a vector of +0.0,
// still added (0.0 + -0.0 is +0.0).
template <bool SUBTRACT, bool HAS_X, bool HAS_Y>
void sum_rows(double* out, size_t ldo, const double* x, size_t ldx, const double* y, size_t ldy,
              size_t rows, size_t cols) {
    for (size_t i = 0; i < rows; ++i) {
        double* o = out + i * ldo;
        const double* xr = HAS_X ? x + i * ldx : nullptr;
        const double* yr = HAS_Y ? y + i * ldy : nullptr;
        size_t j = sum_run<Vec, SUBTRACT, HAS_X, HAS_Y>(o, xr, yr, 0, cols);
        // The rest of the row in halves of a vector, then alone: a row of
        // 79 (a leaf parent's half) would otherwise end in seven scalar steps.
        if constexpr (LANES >= 4) j = sum_run<Half, SUBTRACT, HAS_X, HAS_Y>(o, xr, yr, j, cols);
        if constexpr (LANES >= 8) j = sum_run<Quarter, SUBTRACT, HAS_X, HAS_Y>(o, xr, yr, j, cols);
        for (; j < cols; ++j) {
            const double a = HAS_X ? xr[j] : 0.0, b = HAS_Y ? yr[j] : 0.0;
            o[j] = SUBTRACT ? a - b : a + b;
        }
    }
}

template <bool SUBTRACT>
void sums(double* out, size_t ldo, const double* x, size_t ldx, const double* y, size_t ldy,
          size_t rows, size_t cols) {
    if (x != nullptr && y != nullptr)
        sum_rows<SUBTRACT, true, true>(out, ldo, x, ldx, y, ldy, rows, cols);
    else if (x != nullptr)
        sum_rows<SUBTRACT, true, false>(out, ldo, x, ldx, y, ldy, rows, cols);
    else if (y != nullptr)
        sum_rows<SUBTRACT, false, true>(out, ldo, x, ldx, y, ldy, rows, cols);
    else
        sum_rows<SUBTRACT, false, false>(out, ldo, x, ldx, y, ldy, rows, cols);
}

void sum_elements_here(double* out, size_t ldo, const double* x, size_t ldx, const double* y,
                       size_t ldy, size_t rows, size_t cols, bool subtract) {
    // Rows that follow each other in every array are one run: short rows
    // would leave the vectors mostly idle.
    if (rows > 1 && ldo == cols && (x == nullptr || ldx == cols) &&
        (y == nullptr || ldy == cols)) {
        cols *= rows;
        rows = 1;
    }
    if (subtract)
        sums<true>(out, ldo, x, ldx, y, ldy, rows, cols);
    else
        sums<false>(out, ldo, x, ldx, y, ldy, rows, cols);
}

}  // namespace

}  // namespace strassen::detail
