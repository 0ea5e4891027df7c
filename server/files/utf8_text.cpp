#include "server/files/utf8_text.h"

namespace QuarryUTF8Text {

bool isValid(const char* bytes, size_t length) {
    const auto* text = reinterpret_cast<const unsigned char*>(bytes);
    size_t i = 0;
    while (i < length) {
        const unsigned char lead = text[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t extra = 0;
        unsigned char low = 0x80; // bounds of the first continuation byte, per lead byte
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            if (lead == 0xE0)
                low = 0xA0; // overlong
            else if (lead == 0xED)
                high = 0x9F; // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            if (lead == 0xF0)
                low = 0x90; // overlong
            else if (lead == 0xF4)
                high = 0x8F; // past U+10FFFF
        } else {
            return false;
        }
        if (length - i <= extra)
            return false;
        if (text[i + 1] < low || text[i + 1] > high)
            return false;
        for (size_t k = 2; k <= extra; ++k) {
            if ((text[i + k] & 0xC0) != 0x80)
                return false;
        }
        i += extra + 1;
    }
    return true;
}

} // namespace QuarryUTF8Text
