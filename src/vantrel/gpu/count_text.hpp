// Text of the counts that appear in the device planning module's results and
// error messages: up to 30 decimal digits in full, longer counts as three
// significant digits and an exponent ("1.23e+32").
//
// Rules of use: the pieces here never see a number wider than 64 bits; for a
// wider one the binding works out the digit count and the three leading
// digits on Python ints (never its full decimal text) and hands them in.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <system_error>

namespace vantrel::device_planning {

// Counts of more digits than this are written in short form.
inline constexpr long long full_text_digits = 30;

// A short piece of text held in place, so that writing it allocates nothing.
// Appending past the capacity cuts the text short; the module's texts are
// far shorter.
class ShortText {
public:
    ShortText& append(std::string_view text) {
        const std::size_t n = text.size() < capacity - size_ ? text.size() : capacity - size_;
        std::memcpy(data_ + size_, text.data(), n);
        size_ += n;
        return *this;
    }
    ShortText& append_decimal(std::uint64_t value) {
        // to_chars writes nothing when the room is too small for every digit.
        auto [end, error] = std::to_chars(data_ + size_, data_ + capacity, value);
        if (error == std::errc{}) size_ = static_cast<std::size_t>(end - data_);
        return *this;
    }
    std::string_view view() const { return {data_, size_}; }

private:
    static constexpr std::size_t capacity = 96;
    char data_[capacity];
    std::size_t size_ = 0;
};

// The sign (when negative) and every decimal digit of the magnitude; a 64-bit
// magnitude has at most 20 digits, always written in full.
inline ShortText count_text(bool negative, std::uint64_t magnitude) {
    ShortText text;
    if (negative) text.append("-");
    text.append_decimal(magnitude);
    return text;
}

// "d.dde+X" from the three leading digits (100 to 999, truncated, not
// rounded) of a count of `digit_count` digits.
inline ShortText short_form_count_text(bool negative, unsigned leading_digits, long long digit_count) {
    const char fraction[] = {static_cast<char>('0' + leading_digits / 10 % 10),
                             static_cast<char>('0' + leading_digits % 10)};
    ShortText text;
    if (negative) text.append("-");
    text.append_decimal(leading_digits / 100).append(".").append({fraction, 2}).append("e+");
    text.append_decimal(static_cast<std::uint64_t>(digit_count - 1));
    return text;
}

// First estimate of the decimal digit count of a positive integer of `bits`
// bits: floor(bits * 30103 / 100000), 30103 / 100000 standing in for log10(2).
// It can be one off either way; the caller corrects it against powers of ten.
// Split so the product cannot overflow however many bits there are.
inline constexpr long long digit_estimate(std::uint64_t bits) {
    return static_cast<long long>((bits / 100000) * 30103 + (bits % 100000) * 30103 / 100000);
}

// Decimal digits of a 64-bit value (at least 1).
inline constexpr long long decimal_digit_count(std::uint64_t value) {
    long long digits = 1;
    while (value >= 10) {
        value /= 10;
        ++digits;
    }
    return digits;
}

}  // namespace vantrel::device_planning
