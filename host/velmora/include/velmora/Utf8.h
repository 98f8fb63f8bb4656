#pragma once

#include "velmora/Export.h"

#include <cstddef>
#include <string_view>

namespace velmora {

/// The length of the well-formed UTF-8 sequence (RFC 3629: no overlong forms, no surrogates, nothing
/// past U+10FFFF) that starts `text`, or 0 when `text` is empty or does not start with one.
VELMORA_API std::size_t utf8SequenceLength(std::string_view text);

/// True when the whole of `text` is well-formed UTF-8.
VELMORA_API bool isUtf8(std::string_view text);

} // namespace velmora
