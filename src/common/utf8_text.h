// Code points written as UTF-8, for names and texts that come in another
// encoding (UTF-16 cue sheets, ISO 8859-1 file names).
#ifndef CDUNPACK_UTF8_TEXT_H
#define CDUNPACK_UTF8_TEXT_H

#include <cstdint>
#include <string>

// UTF-8: a lead byte that says the sequence's length, then continuation
// bytes of 6 bits each. The first code point that needs 2, 3 or 4 bytes.
constexpr uint32_t FIRST_OF_2_BYTES = 0x80;
constexpr uint32_t FIRST_OF_3_BYTES = 0x800;
constexpr uint32_t FIRST_OF_4_BYTES = 0x10000;
constexpr uint32_t LEAD_OF_2_BYTES = 0xC0;
constexpr uint32_t LEAD_OF_3_BYTES = 0xE0;
constexpr uint32_t LEAD_OF_4_BYTES = 0xF0;
constexpr uint32_t CONTINUATION = 0x80;
constexpr uint32_t CONTINUATION_BITS = 6;
constexpr uint32_t CONTINUATION_MASK = 0x3F;

// The lead byte of a sequence whose continuation bytes take `continued`
// groups of 6 bits.
inline char utf8_lead(uint32_t lead, uint32_t code_point, uint32_t continued)
{
    return static_cast<char>(lead | code_point >> (continued * CONTINUATION_BITS));
}

// The continuation byte of the 6 bits that lie `group` groups up.
inline char utf8_continuation(uint32_t code_point, uint32_t group)
{
    return static_cast<char>(CONTINUATION | (code_point >> (group * CONTINUATION_BITS) & CONTINUATION_MASK));
}

inline void append_utf8(std::string &text, uint32_t code_point)
{
    if (code_point < FIRST_OF_2_BYTES) {
        text += static_cast<char>(code_point);
    } else if (code_point < FIRST_OF_3_BYTES) {
        text += utf8_lead(LEAD_OF_2_BYTES, code_point, 1);
        text += utf8_continuation(code_point, 0);
    } else if (code_point < FIRST_OF_4_BYTES) {
        text += utf8_lead(LEAD_OF_3_BYTES, code_point, 2);
        text += utf8_continuation(code_point, 1);
        text += utf8_continuation(code_point, 0);
    } else {
        text += utf8_lead(LEAD_OF_4_BYTES, code_point, 3);
        text += utf8_continuation(code_point, 2);
        text += utf8_continuation(code_point, 1);
        text += utf8_continuation(code_point, 0);
    }
}

#endif
