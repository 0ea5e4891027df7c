#pragma once

#include <cstddef>

namespace QuarryUTF8Text {

// Whether bytes are well-formed UTF-8: no stray continuation bytes, no overlong forms, no surrogates,
// nothing past U+10FFFF. A name on disk that is not is left out of everything the server offers: no
// text the browser can hold names it, so nothing offered could fetch it.
bool isValid(const char* bytes, size_t length);

} // namespace QuarryUTF8Text
