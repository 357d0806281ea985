// New str objects from text the module wrote itself in ASCII (numbers,
// fixed messages): the characters are copied in without a decoding pass.
//
// Rules of use: the text must be 7-bit ASCII; nothing checks it.
#pragma once

#include <cstring>
#include <string_view>

#include "ref.hpp"

namespace vantrel {

inline Ref ascii_str(std::string_view text) {
    Ref result = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(result.get()), text.data(), text.size());
    return result;
}

}  // namespace vantrel
