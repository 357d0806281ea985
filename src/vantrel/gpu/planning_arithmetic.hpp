// Memory-planning arithmetic of the device planning module, on 64-bit
// integers and doubles only.
//
// Rules of use: every function is pure and total on its domain; products that
// could leave 64 bits are tested before they are formed (checked builtins),
// and the callers pass values that have already been range-checked (byte
// counts as unsigned 64-bit, chunk bounds as signed 64-bit). Where a Python
// caller can hand in integers wider than 64 bits, the binding first reduces
// them to the cases these functions decide (see `Extent`).
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace vantrel::device_planning {

// Allocation estimates saturate at the largest signed 64-bit value, not at
// 2**64 - 1, so that every estimate also fits a signed byte count downstream.
inline constexpr std::uint64_t byte_cap = std::numeric_limits<std::int64_t>::max();
// The cap as a double, for the overhead test: 2**63 exactly.
inline constexpr double byte_cap_as_double = 9.223372036854776e18;
inline constexpr double two_pow_63 = 9223372036854775808.0;
inline constexpr double two_pow_64 = 18446744073709551616.0;

inline constexpr std::uint64_t ceil_div(std::uint64_t numerator, std::uint64_t denominator) {
    // Written without numerator + denominator - 1, which can wrap.
    return numerator / denominator + (numerator % denominator != 0 ? 1 : 0);
}

// An integer argument after __index__, reduced to what the rules need to know
// of it: its sign and, when it fits, its value. `wide` means "positive and at
// least 2**64" (or beyond whatever width the caller asked for).
struct Extent {
    enum class Kind { negative, zero, fits, wide };
    Kind kind;
    std::uint64_t value = 0;  // meaningful for `fits`

    bool positive() const { return kind == Kind::fits || kind == Kind::wide; }
};

// ---------------------------------------------------------------------------
// Allocation estimate: elements multiplied dimension by dimension, each
// product tested against the cap before it is formed.

class ElementCount {
public:
    // Multiplies in one positive dimension; returns false, leaving the count
    // unchanged, when the product would pass the cap. With both factors
    // positive, a signed 64-bit product overflows exactly when it would pass
    // the cap, which makes this the exact test total > cap // dimension.
    bool multiply(const Extent& dimension) {
        if (dimension.kind == Extent::Kind::wide || dimension.value > byte_cap) return false;
        std::int64_t product = 0;
        if (__builtin_mul_overflow(total_, static_cast<std::int64_t>(dimension.value), &product)) return false;
        total_ = product;
        return true;
    }
    std::uint64_t total() const { return static_cast<std::uint64_t>(total_); }

private:
    std::int64_t total_ = 1;
};

// Bytes of `elements` (at most the cap) elements of a non-negative element
// size, saturated at the cap.
inline std::uint64_t element_bytes(std::uint64_t elements, const Extent& element_size) {
    if (element_size.kind == Extent::Kind::zero) return 0;
    if (element_size.kind == Extent::Kind::wide || element_size.value > byte_cap) return byte_cap;
    std::int64_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<std::int64_t>(elements), static_cast<std::int64_t>(element_size.value),
                               &bytes)) {
        return byte_cap;
    }
    return static_cast<std::uint64_t>(bytes);
}

// The overhead factor applied to a byte total: factors of 1.0 or less (and
// NaN) leave it unchanged; the product is taken in doubles and saturates.
// Returns nullopt for the one undefined case, an infinite factor times zero
// bytes, whose NaN product cannot be turned into an integer.
inline std::optional<std::uint64_t> with_overhead(std::uint64_t total_bytes, double factor) {
    if (!(factor > 1.0)) return total_bytes;
    const double total = static_cast<double>(total_bytes);
    if (total_bytes > 0 && factor > byte_cap_as_double / total) return byte_cap;
    const double product = factor * total;
    if (std::isnan(product)) return std::nullopt;
    if (product >= two_pow_63) return byte_cap;
    return static_cast<std::uint64_t>(product);
}

// ---------------------------------------------------------------------------
// Safe limit and the decisions built on it.

// The usable share of `available` bytes when `headroom_ratio` is kept free,
// the ratio clamped to [0.0, 0.99] so some memory always stays usable.
// Returns nullopt for a NaN ratio. Never above `available`: the double
// product can round above a count beyond 2**53.
inline std::optional<std::uint64_t> safe_limit(std::uint64_t available, double headroom_ratio) {
    if (std::isnan(headroom_ratio)) return std::nullopt;
    if (headroom_ratio < 0.0) headroom_ratio = 0.0;
    else if (headroom_ratio > 0.99) headroom_ratio = 0.99;
    const double safe = static_cast<double>(available) * (1.0 - headroom_ratio);
    if (safe >= two_pow_64) return available;
    const auto truncated = static_cast<std::uint64_t>(safe);
    return truncated > available ? available : truncated;
}

enum class AllocationOutcome { no_memory, fits, chunked, not_chunkable };

struct AllocationPlan {
    AllocationOutcome outcome;
    std::uint64_t chunk_size = 0;
    std::uint64_t chunk_count = 1;
};

// The three-tier decision: direct, chunked over passes of the whole safe
// limit, or host fallback.
inline AllocationPlan plan_allocation(std::uint64_t requested, std::uint64_t safe, bool chunkable) {
    if (safe == 0) return {AllocationOutcome::no_memory};
    if (requested <= safe) return {AllocationOutcome::fits};
    if (chunkable) return {AllocationOutcome::chunked, safe, ceil_div(requested, safe)};
    return {AllocationOutcome::not_chunkable};
}

// Passes needed for `total` bytes at `safe` bytes a pass, bounded by the
// caller's limits; the lower bound is tested first.
inline std::int64_t bounded_chunk_count(std::uint64_t total, std::uint64_t safe, std::int64_t min_chunks,
                                        std::int64_t max_chunks) {
    if (safe == 0) return max_chunks;
    const std::uint64_t chunks = ceil_div(total, safe);
    if (min_chunks > 0 && chunks < static_cast<std::uint64_t>(min_chunks)) return min_chunks;
    if (max_chunks < 0 || chunks > static_cast<std::uint64_t>(max_chunks)) return max_chunks;
    return static_cast<std::int64_t>(chunks);
}

inline double memory_pressure(std::uint64_t used, std::uint64_t total) {
    if (total == 0) return 1.0;  // no memory at all counts as full
    const double pressure = static_cast<double>(used) / static_cast<double>(total);
    return pressure > 1.0 ? 1.0 : pressure;
}

// More headroom under high pressure, 0.1 less than the base under low
// pressure, within [0.3, 0.8]. A NaN base on the middle tiers passes the
// clamp unchanged.
inline double headroom_for(double pressure, double base) {
    double headroom;
    if (pressure > 0.8) {
        headroom = 0.8;
    } else if (pressure > 0.6) {
        headroom = base + (pressure - 0.5) * 0.5;
    } else if (pressure > 0.3) {
        headroom = base;
    } else {
        const double lowered = base - 0.1;
        headroom = lowered > 0.3 ? lowered : 0.3;
    }
    if (headroom < 0.3) headroom = 0.3;
    if (headroom > 0.8) headroom = 0.8;
    return headroom;
}

// How well `data` bytes fit a safe limit: rising to 1.0 at 80 % of the
// limit, falling as safe / data beyond it.
inline double size_score(std::uint64_t data, std::uint64_t safe) {
    if (safe == 0) return 0.0;
    if (safe < data) return static_cast<double>(safe) / static_cast<double>(data);
    const double score = static_cast<double>(data) / (static_cast<double>(safe) * 0.8);
    return score > 1.0 ? 1.0 : score;
}

}  // namespace vantrel::device_planning
