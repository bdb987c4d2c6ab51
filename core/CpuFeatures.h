#pragma once
// What the processor can run, asked once: the vector kernels choose their path from these.
// False on processors other than x86.

// AVX2 (256-bit integer vectors).
bool CpuHasAvx2();
// Fused multiply-add (used with AVX2 by the arithmetic picture mapping).
bool CpuHasFma();
