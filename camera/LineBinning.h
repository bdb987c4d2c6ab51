#pragma once
// Binning of one converted camera frame into one cube line, the per-frame work of the acquisition.
//
// The frame is frameWidth columns by its rows, 16-bit, row-major. The line is bands x samples
// values, band-major (band k, position p at k * samples + p). Band k is the mean of the four frame
// rows 4 * (bands - 1 - k) ... + 3 (counted from the far end), shifted to 12 bits:
// ((p0 + p1 + p2 + p3) >> 2) >> 4; sample s comes from column s + kFirstSampleColumn and is stored
// at position samples - 1 - s. The frame must hold 4 * bands rows and, in the last of them,
// kFirstSampleColumn + samples values.
//
// The line is written past the caches (streaming stores) where its address and length allow it
// (16-byte aligned, samples a multiple of eight): it is the cube's line, written once and read much
// later, and ordinary stores would first fetch every destination cache line from memory. The copy is
// written through the caches. The line is complete and visible to other threads on return.
//
// Each path also counts, in the same pass, the line's values that are at least `countFrom` (the
// clipped values of the line); a countFrom above 65535 (kCountNothing) counts none.
//
// Two implementations give identical lines and counts: the portable one (SSE2, part of every x86-64;
// plain C++ elsewhere) and one for processors with AVX2, chosen once at run time. Neither allocates.
#include <cstdint>

inline constexpr uint32_t kCountNothing = 0xFFFFFFFFu;

enum class BinningPath { Portable, Avx2 };

// Bins with the path in force (AVX2 where the processor has it). `copy`, when not null, receives
// the same line (the engine's last-line buffer), written in the same pass. Returns the number of the
// line's values at least countFrom.
uint64_t BinFrameToLine(const uint16_t* frame, int frameWidth, int samples, int bands, uint16_t* line,
                        uint16_t* copy = nullptr, uint32_t countFrom = kCountNothing);

// The two paths themselves. BinFrameToLineAvx2 may only run where BinningAvx2Supported().
uint64_t BinFrameToLinePortable(const uint16_t* frame, int frameWidth, int samples, int bands, uint16_t* line,
                                uint16_t* copy = nullptr, uint32_t countFrom = kCountNothing);
uint64_t BinFrameToLineAvx2(const uint16_t* frame, int frameWidth, int samples, int bands, uint16_t* line,
                            uint16_t* copy = nullptr, uint32_t countFrom = kCountNothing);

bool BinningAvx2Supported();
BinningPath ActiveBinningPath();
// Test hook: Portable forces the portable path; Avx2 restores the choice by the processor (the
// portable path where it has no AVX2). Returns the path now in force.
BinningPath SetBinningPath(BinningPath path);
