// What the machine allows, measured by tight loops in the benchmark binary itself.
#pragma once

#include <cstdint>

namespace perf {

// True when the processor has AVX2 and FMA (the loops below need them).
bool floor_supported();
// Runs `rounds` of 12 independent 8-lane fused multiply-adds on registers; returns a value that
// depends on every one of them.
float peak_fma_loop(int64_t rounds);
// The same with 12 independent 4-lane (128-bit) fused multiply-adds.
float peak_fma128_loop(int64_t rounds);
// `count` dot products of `span` taps (a multiple of 8), both operands 32-byte aligned loads from
// L1-resident arrays: two loads per FMA, the most any dot product over data in memory can do.
float load_bound_dots(const float* h, const float* x, uint32_t span, int count);

}  // namespace perf
