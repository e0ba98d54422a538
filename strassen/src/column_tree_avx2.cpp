// The column tree's blocks with 256-bit AVX2 vectors; reached only once
// kernel_supported has seen the CPU support it. The target is switched on
// after every include (see kernel_avx2.cpp).
#include <cstddef>

#include "column_tree.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")

#define COLUMN_BLOCK column_block_avx2
#include "column_tree_body.hpp"

#pragma GCC pop_options
