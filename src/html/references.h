// Character references ("&amp;", "&#38;", "&#x26;") decoded as the HTML
// standard's character reference state and the states after it decode
// them, in text and in attribute values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "html/entities.h"

namespace html {

// The named reference whose name is the longest prefix of `text`, or null.
const named_reference *longest_named_reference(std::string_view text);

// Decodes the reference that `after` (the input just after an "&") starts
// with, appends its characters to `out` and returns how many bytes of
// `after` it took. Returns 0 and appends nothing when there is none: the
// "&" is then an ordinary character, and so is what follows it. In an
// attribute value (`in_attribute`), a named reference without its ";"
// that an "=" or a letter or digit follows is left as text, as the
// standard says for historical reasons ("&copy=1" in a URL).
size_t consume_character_reference(std::string_view after, bool in_attribute, std::string &out);

}  // namespace html
