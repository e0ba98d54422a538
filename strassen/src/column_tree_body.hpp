// The column tree's blocks (column_tree.hpp has the contract), compiled once
// per instruction set: every operation is elementwise, in a fixed order, so
// the bits do not depend on it. The including file defines COLUMN_BLOCK, the
// entry's name. No include guard: one inclusion per file. Cells pass by
// reference: a vector argument's ABI would depend on the instruction set.

namespace strassen::detail {

namespace {

using std::size_t;

constexpr size_t FAN = COLUMN_PRODUCTS.count, LANES = COLUMN_LANES;
typedef double V __attribute__((vector_size(LANES * sizeof(double))));

// One leaf position in each of the LANES leaf columns gathered at once: the
// tree runs once for all of them, so a leaf's sums are read and written once
// per LANES columns, each column still added in turn.
struct Cell {
    V t[LANES];
};

template <level::Op OP>
[[gnu::always_inline]] inline void form(const V& x, const V& y, V& out) {
    if constexpr (OP == level::Op::copy)
        out = x;
    else if constexpr (OP == level::Op::add)
        out = x + y;
    else
        out = x - y;
}

template <level::Op OP>
[[gnu::always_inline]] inline void form(const Cell& x, const Cell& y, Cell& out) {
    for (size_t t = 0; t < LANES; ++t) form<OP>(x.t[t], y.t[t], out.t[t]);
}

template <size_t F>
constexpr level::OperandSpec SPEC = level::LEFT[COLUMN_PRODUCTS.k[F]];

template <class Each> [[gnu::always_inline]] inline void each_product(const Each& each) {
    static_assert(FAN == 4);
    each.template operator()<0>();
    each.template operator()<1>();
    each.template operator()<2>();
    each.template operator()<3>();
}

// B's operand element of leaf `leaf` in gathered column t: b[leaf * stride + t].
struct BColumns {
    const double* b;
    size_t stride;
};

// A 2 x 2 grid: its four products are leaves, each added to its leaf's sums.
[[gnu::always_inline]] inline void leaves(const Cell* g, size_t ld, size_t path, V* sums,
                                          const BColumns& b) {
    const Cell* const q[4] = {g, g + 1, g + ld, g + ld + 1};
    each_product([&]<size_t F>() {
        constexpr level::OperandSpec s = SPEC<F>;
        const size_t leaf = path * FAN + F;
        V acc = sums[leaf];
        for (size_t t = 0; t < LANES; ++t) {
            V v;
            form<s.op>(q[s.q1]->t[t], q[s.q2]->t[t], v);
            acc = acc + v * b.b[leaf * b.stride + t];
        }
        sums[leaf] = acc;
    });
}

// A 4 x 4 grid: its two levels in registers.
[[gnu::always_inline]] inline void last_two(const Cell* g, size_t ld, size_t path, V* sums,
                                            const BColumns& b) {
    each_product([&]<size_t F>() {
        constexpr level::OperandSpec s = SPEC<F>;
        const Cell* x = g + level::offset(s.q1, 2, ld);
        const Cell* y = g + level::offset(s.q2, 2, ld);
        Cell w[4];
        for (size_t i = 0; i < 2; ++i)
            for (size_t j = 0; j < 2; ++j) form<s.op>(x[i * ld + j], y[i * ld + j], w[i * 2 + j]);
        leaves(w, 2, path * FAN + F, sums, b);
    });
}

// An n x n grid (n a power of two, row stride ld): each product's operand
// grid, a quadrant in place or formed into `work`, then its own levels.
void descend(const Cell* g, size_t n, size_t ld, size_t path, Cell* work, V* sums,
             const BColumns& b) {
    if (n == 2) return leaves(g, ld, path, sums, b);
    if (n == 4) return last_two(g, ld, path, sums, b);
    const size_t m = n / 2;
    each_product([&]<size_t F>() {
        constexpr level::OperandSpec s = SPEC<F>;
        const Cell* x = g + level::offset(s.q1, m, ld);
        if constexpr (s.op == level::Op::copy) {
            descend(x, m, ld, path * FAN + F, work, sums, b);
        } else {
            const Cell* y = g + level::offset(s.q2, m, ld);
            for (size_t i = 0; i < m; ++i)
                for (size_t j = 0; j < m; ++j)
                    form<s.op>(x[i * ld + j], y[i * ld + j], work[i * m + j]);
            descend(work, m, m, path * FAN + F, work + m * m, sums, b);
        }
    });
}

// Four rows' elements col..col+3 into one cell's four columns, a row per
// lane.
[[gnu::always_inline]] inline void transpose(const double* const* r, size_t col, V* out) {
    V v0, v1, v2, v3;
    __builtin_memcpy(&v0, r[0] + col, sizeof(V));
    __builtin_memcpy(&v1, r[1] + col, sizeof(V));
    __builtin_memcpy(&v2, r[2] + col, sizeof(V));
    __builtin_memcpy(&v3, r[3] + col, sizeof(V));
    const V t0 = __builtin_shufflevector(v0, v1, 0, 4, 2, 6);
    const V t1 = __builtin_shufflevector(v0, v1, 1, 5, 3, 7);
    const V t2 = __builtin_shufflevector(v2, v3, 0, 4, 2, 6);
    const V t3 = __builtin_shufflevector(v2, v3, 1, 5, 3, 7);
    out[0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    out[1] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    out[2] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    out[3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

}  // namespace

void COLUMN_BLOCK(const ColumnBlock& job) {
    static_assert(LANES == 4, "the gather transposes 4 x 4 blocks");
    const size_t cells = job.cells, grid = cells * cells;
    const size_t stride = column_b_stride(job.leaf_side);
    Cell* const grids = reinterpret_cast<Cell*>(job.work);
    Cell* const work = grids + grid;
    V* const sums = reinterpret_cast<V*>(job.sums);
    for (size_t leaf = 0; leaf < grid; ++leaf) sums[leaf] = V{};
    for (size_t c = 0; c < job.leaf_side; c += LANES) {
        // The cells of leaf columns c..c+3, +0.0 past the data. Past the leaf
        // side B's elements are +0.0 too, and adding +0.0 changes no sum: each
        // starts at +0.0, so none is ever -0.0.
        for (size_t i = 0; i < cells; ++i) {
            const double* const* r = job.rows + i * LANES;
            for (size_t j = 0; j < cells; ++j) {
                Cell& dst = grids[i * cells + j];
                const size_t valid = job.valid[j], col = job.col_at[j] + c;
                if (c + LANES <= valid) {
                    transpose(r, col, dst.t);
                    continue;
                }
                for (size_t t = 0; t < LANES; ++t) {
                    V v = {};
                    if (c + t < valid)
                        for (size_t l = 0; l < LANES; ++l) v[l] = r[l][col + t];
                    dst.t[t] = v;
                }
            }
        }
        descend(grids, cells, cells, 0, work, sums, BColumns{job.b + c, stride});
    }
}

}  // namespace strassen::detail
