// Operation classification of the device planning module: the two operation
// name tables and the out-of-memory keyword rules.
//
// Rules of use: names are compared as exact, case-sensitive ASCII. Texts are
// given as the interpreter stores strings, code units of 1, 2 or 4 bytes;
// the keyword scan either folds ASCII case itself (for text that is all
// ASCII, whose lower-casing touches ASCII letters only) or expects text that
// the caller has already lower-cased by the full Unicode rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vantrel::device_planning {

// Operations whose output can be produced chunk by chunk: array creation and
// random generation.
inline constexpr std::string_view chunkable_operations[] = {
    "zeros", "ones", "empty", "full", "random.randn", "random.rand", "random.random",
    "random.standard_normal", "random.uniform", "arange", "linspace",
};

// Compute operations that need the whole array at once: linear algebra,
// transforms, sorting.
inline constexpr std::string_view non_chunkable_operations[] = {
    "matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals", "solve", "inv", "sort", "argsort",
};

enum class OperationKind { chunkable, non_chunkable, unlisted };

inline OperationKind classify_operation(std::string_view name) {
    for (std::string_view listed : chunkable_operations) {
        if (listed == name) return OperationKind::chunkable;
    }
    for (std::string_view listed : non_chunkable_operations) {
        if (listed == name) return OperationKind::non_chunkable;
    }
    return OperationKind::unlisted;
}

// Suitability factor of an operation: chunkable work suits the GPU best.
inline constexpr double operation_factor(OperationKind kind) {
    switch (kind) {
        case OperationKind::chunkable: return 0.9;
        case OperationKind::non_chunkable: return 0.7;
        case OperationKind::unlisted: break;
    }
    return 0.5;
}

// ---------------------------------------------------------------------------
// Out-of-memory keywords.

// A string's code units: `unit_size` bytes each.
struct TextUnits {
    const void* data;
    std::size_t length;
    int unit_size;
    bool fold_ascii_case;  // lower ASCII letters while scanning
};

// Keywords looked for in an error message, one bit each.
enum MessageKeyword : unsigned {
    kw_out_of_memory = 1u << 0,
    kw_cuda = 1u << 1,
    kw_memory = 1u << 2,
    kw_allocat = 1u << 3,  // stem of allocate, allocation, allocating
    kw_failed = 1u << 4,
    kw_insufficient = 1u << 5,
    kw_gpu = 1u << 6,
};

namespace detail {

template <class Unit>
constexpr std::uint32_t unit_at(const Unit* text, std::size_t i, bool fold) {
    const std::uint32_t c = text[i];
    return fold && c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

// Whether `keyword` (lower-case ASCII) starts at position `at`.
template <class Unit>
constexpr bool keyword_at(const Unit* text, std::size_t length, std::size_t at, std::string_view keyword,
                          bool fold) {
    if (length - at < keyword.size()) return false;
    for (std::size_t k = 0; k < keyword.size(); ++k) {
        if (unit_at(text, at + k, fold) != static_cast<unsigned char>(keyword[k])) return false;
    }
    return true;
}

// One pass over the message: at each position only the keywords starting
// with that letter are compared.
template <class Unit>
constexpr unsigned scan_message(const Unit* text, std::size_t length, bool fold) {
    unsigned found = 0;
    for (std::size_t i = 0; i < length; ++i) {
        switch (unit_at(text, i, fold)) {
            case 'o':
                if (keyword_at(text, length, i, "out of memory", fold)) found |= kw_out_of_memory;
                break;
            case 'c':
                if (keyword_at(text, length, i, "cuda", fold)) found |= kw_cuda;
                break;
            case 'm':
                if (keyword_at(text, length, i, "memory", fold)) found |= kw_memory;
                break;
            case 'a':
                if (keyword_at(text, length, i, "allocat", fold)) found |= kw_allocat;
                break;
            case 'f':
                if (keyword_at(text, length, i, "failed", fold)) found |= kw_failed;
                break;
            case 'i':
                if (keyword_at(text, length, i, "insufficient", fold)) found |= kw_insufficient;
                break;
            case 'g':
                if (keyword_at(text, length, i, "gpu", fold)) found |= kw_gpu;
                break;
            default:
                break;
        }
    }
    return found;
}

template <class Unit>
constexpr bool contains(const Unit* text, std::size_t length, std::string_view keyword, bool fold) {
    for (std::size_t i = 0; i + keyword.size() <= length; ++i) {
        if (keyword_at(text, length, i, keyword, fold)) return true;
    }
    return false;
}

template <class Visit>
constexpr auto with_units(const TextUnits& text, Visit&& visit) {
    switch (text.unit_size) {
        case 1: return visit(static_cast<const std::uint8_t*>(text.data));
        case 2: return visit(static_cast<const std::uint16_t*>(text.data));
        default: return visit(static_cast<const std::uint32_t*>(text.data));
    }
}

}  // namespace detail

inline unsigned message_keywords(const TextUnits& message) {
    return detail::with_units(message, [&](const auto* units) {
        return detail::scan_message(units, message.length, message.fold_ascii_case);
    });
}

inline bool names_out_of_memory_error(const TextUnits& type_name) {
    return detail::with_units(type_name, [&](const auto* units) {
        return detail::contains(units, type_name.length, "outofmemoryerror", type_name.fold_ascii_case);
    });
}

// The rules, in their order; the first that holds makes the error an
// out-of-memory error. Only the second looks at the type name.
inline bool looks_out_of_memory(unsigned message, bool type_names_out_of_memory) {
    auto has = [message](unsigned keywords) { return (message & keywords) == keywords; };
    return has(kw_out_of_memory) || type_names_out_of_memory || has(kw_cuda | kw_memory) ||
           has(kw_allocat | kw_failed) || has(kw_memory | kw_insufficient) || has(kw_gpu | kw_memory);
}

}  // namespace vantrel::device_planning
