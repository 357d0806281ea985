// Splitting an array along its first axis into slabs of at most a given
// number of bytes, on 64-bit integers.
//
// Rules of use: dimensions reach these functions already converted and
// checked (positive; the first one fits 64 bits; later ones and the element
// size as `Extent`s, any width). The binding handles first dimensions wider
// than 64 bits on Python ints with the same rule.
#pragma once

#include <cstdint>

#include "planning_arithmetic.hpp"

namespace vantrel::device_planning {

// Plans of more chunks are refused; the limit itself is accepted.
inline constexpr std::uint64_t max_chunk_count = 1000000;

// Bytes of one row (the element size times every dimension after the first),
// saturated at 2**64 - 1. A chunk limit is at most 2**64 - 1 bytes, so a
// saturated row gives the same rows per chunk as the exact one: one.
class RowBytes {
public:
    explicit RowBytes(const Extent& element_size) { multiply(element_size); }

    void multiply(const Extent& factor) {
        if (factor.kind == Extent::Kind::wide ||
            __builtin_mul_overflow(bytes_, factor.value, &bytes_)) {
            bytes_ = saturated;
        }
    }
    std::uint64_t value() const { return bytes_; }

private:
    static constexpr std::uint64_t saturated = UINT64_MAX;
    std::uint64_t bytes_ = 1;
};

// Rows per chunk: as many as fit the limit, and one when a single row
// already exceeds it (each chunk then exceeds the limit; that is allowed).
inline constexpr std::uint64_t rows_per_chunk(std::uint64_t row_bytes, std::uint64_t max_chunk_bytes) {
    if (row_bytes > max_chunk_bytes) return 1;
    const std::uint64_t rows = max_chunk_bytes / row_bytes;
    return rows == 0 ? 1 : rows;
}

struct ChunkPlan {
    std::uint64_t rows_per_chunk;
    std::uint64_t chunk_count;  // rows / rows_per_chunk, rounded up
    std::uint64_t last_rows;    // rows of the last chunk; all others are full

    bool too_many_chunks() const { return chunk_count > max_chunk_count; }
};

// The plan for `rows` (at least 1) rows.
inline constexpr ChunkPlan plan_chunks(std::uint64_t rows, std::uint64_t rows_per_chunk) {
    const std::uint64_t count = ceil_div(rows, rows_per_chunk);
    return {rows_per_chunk, count, rows - (count - 1) * rows_per_chunk};
}

}  // namespace vantrel::device_planning
