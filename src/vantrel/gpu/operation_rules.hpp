// Operation classification of the device planning module: the two operation
// name tables and the out-of-memory keyword rules.
//
// Rules of use: names are compared as exact, case-sensitive ASCII. Texts are
// given as the interpreter stores strings, code units of 1, 2 or 4 bytes;
// text that is not all ASCII must come lower-cased by the full Unicode rules
// (str.lower()), ASCII text may come as it is.
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

// A string's code units: `unit_size` bytes each. The search folds ASCII
// case itself, which is the whole of str.lower() for ASCII text; other text
// comes already lowered, and then has no upper-case ASCII left to fold.
struct TextUnits {
    const void* data;
    std::size_t length;
    int unit_size;
};

// A keyword (lower-case ASCII, at most 255 characters) with what its search
// needs: the letters it is made of (one bit per letter a to z) and its
// Horspool shift table, indexed by a code unit of either case.
struct Keyword {
    std::string_view text;
    std::uint32_t letters;
    std::uint8_t shift[256];
};

namespace detail {

constexpr std::uint32_t fold(std::uint32_t c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

constexpr std::uint32_t letter_bit(std::uint32_t c) {
    c = fold(c);
    return c >= 'a' && c <= 'z' ? 1u << (c - 'a') : 0;
}

constexpr Keyword keyword(std::string_view text) {
    Keyword keyword{text, 0, {}};
    const std::size_t last = text.size() - 1;
    for (std::uint32_t c = 0; c < 256; ++c) keyword.shift[c] = static_cast<std::uint8_t>(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        keyword.letters |= letter_bit(c);
        if (i == last) continue;
        keyword.shift[c] = static_cast<std::uint8_t>(last - i);
        if (c >= 'a' && c <= 'z') keyword.shift[c - ('a' - 'A')] = static_cast<std::uint8_t>(last - i);
    }
    return keyword;
}

struct LetterTable {
    std::uint32_t bits[256];
};
constexpr LetterTable letter_table = [] {
    LetterTable table{};
    for (std::uint32_t c = 0; c < 256; ++c) table.bits[c] = letter_bit(c);
    return table;
}();

template <class Unit>
constexpr std::uint32_t letter_bits_of(Unit c) {
    if constexpr (sizeof(Unit) == 1) {
        return letter_table.bits[c];
    } else {
        return c < 256 ? letter_table.bits[c] : 0;
    }
}

// The letters (either case) occurring in a text; four accumulators so the
// loop is not one long dependency chain.
template <class Unit>
std::uint32_t letters_in(const Unit* text, std::size_t length) {
    std::uint32_t found[4] = {};
    std::size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        for (std::size_t k = 0; k < 4; ++k) found[k] |= letter_bits_of(text[i + k]);
    }
    for (; i < length; ++i) found[0] |= letter_bits_of(text[i]);
    return found[0] | found[1] | found[2] | found[3];
}

template <class Unit>
constexpr std::size_t shift_of(const Keyword& keyword, Unit c) {
    if constexpr (sizeof(Unit) == 1) {
        return keyword.shift[c];
    } else {
        return c < 256 ? keyword.shift[c] : keyword.text.size();
    }
}

// Horspool's search: the window moves by the shift of its last unit, so a
// long keyword is looked for in a fraction of the text's length.
template <class Unit>
bool contains(const Unit* text, std::size_t length, const Keyword& keyword) {
    const std::size_t size = keyword.text.size();
    if (length < size) return false;
    const std::uint32_t last = static_cast<unsigned char>(keyword.text[size - 1]);
    for (std::size_t at = 0; at + size <= length;) {
        const Unit c = text[at + size - 1];
        if (fold(c) == last) {
            std::size_t k = 0;
            while (k + 1 < size && fold(text[at + k]) == static_cast<unsigned char>(keyword.text[k])) ++k;
            if (k + 1 == size) return true;
        }
        at += shift_of(keyword, c);
    }
    return false;
}

template <class Visit>
auto with_units(const TextUnits& text, Visit&& visit) {
    switch (text.unit_size) {
        case 1: return visit(static_cast<const std::uint8_t*>(text.data));
        case 2: return visit(static_cast<const std::uint16_t*>(text.data));
        default: return visit(static_cast<const std::uint32_t*>(text.data));
    }
}

}  // namespace detail

// Substring tests on one text. With the letter filter, a keyword whose
// letters do not all occur in the text is ruled out without a search, which
// settles most messages that are not about memory in one cheap pass over
// the text (made on the first filtered test).
class KeywordSearch {
public:
    KeywordSearch(const TextUnits& text, bool letter_filter) : text_(text), filtered_(letter_filter) {}

    bool contains(const Keyword& keyword) const {
        if (filtered_ && (keyword.letters & ~letters()) != 0) return false;
        return search(keyword);
    }
    // Without the letter filter: for a keyword likely to stand early in the
    // text, where the search ends sooner than the filter's full pass.
    bool search(const Keyword& keyword) const {
        return detail::with_units(text_, [&](const auto* units) { return detail::contains(units, text_.length, keyword); });
    }

private:
    std::uint32_t letters() const {
        if (!letters_known_) {
            letters_ = detail::with_units(text_, [&](const auto* units) { return detail::letters_in(units, text_.length); });
            letters_known_ = true;
        }
        return letters_;
    }

    TextUnits text_;
    bool filtered_;
    mutable bool letters_known_ = false;
    mutable std::uint32_t letters_ = 0;
};

inline constexpr Keyword kw_out_of_memory = detail::keyword("out of memory");
inline constexpr Keyword kw_out_of_memory_error = detail::keyword("outofmemoryerror");
inline constexpr Keyword kw_cuda = detail::keyword("cuda");
inline constexpr Keyword kw_memory = detail::keyword("memory");
inline constexpr Keyword kw_allocat = detail::keyword("allocat");  // allocate, allocation, allocating
inline constexpr Keyword kw_failed = detail::keyword("failed");
inline constexpr Keyword kw_insufficient = detail::keyword("insufficient");
inline constexpr Keyword kw_gpu = detail::keyword("gpu");

// The rules, in their order; the first that holds makes the error an
// out-of-memory error. Only the second looks at the type name. Messages that
// report running out of memory usually say so early, so the first rule
// searches directly.
inline bool looks_out_of_memory(const KeywordSearch& message, const KeywordSearch& type_name) {
    if (message.search(kw_out_of_memory)) return true;
    if (type_name.contains(kw_out_of_memory_error)) return true;
    const bool memory = message.contains(kw_memory);
    if (memory && message.contains(kw_cuda)) return true;
    if (message.contains(kw_allocat) && message.contains(kw_failed)) return true;
    if (memory && message.contains(kw_insufficient)) return true;
    return memory && message.contains(kw_gpu);
}

}  // namespace vantrel::device_planning
