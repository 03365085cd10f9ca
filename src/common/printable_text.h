// Text that came from an image (a cue sheet's FILE names, a volume's entry
// names and identifiers, a track's mode word) on its way to a terminal or a
// log: a control character there could end the line and forge another, or
// drive the terminal with an escape sequence. Every message and listing
// field that shows such text passes it through printable_text.
#ifndef CDUNPACK_PRINTABLE_TEXT_H
#define CDUNPACK_PRINTABLE_TEXT_H

#include <cstddef>
#include <string>
#include <string_view>

// A byte below 0x20 (newline, carriage return, ESC among them) or DEL.
inline bool is_control_byte(unsigned char c)
{
    return c < 0x20 || c == 0x7F;
}

// The UTF-8 form of a C1 control character (U+0080 to U+009F, CSI among
// them): a lead byte 0xC2 and a second byte below 0xA0.
constexpr unsigned char C1_LEAD_BYTE = 0xC2;
constexpr unsigned char C1_FIRST_SECOND_BYTE = 0x80;
constexpr unsigned char C1_LAST_SECOND_BYTE = 0x9F;

// Shows every control byte, and both bytes of every UTF-8 C1 control
// character, as '?', in place; all other bytes, other UTF-8 sequences among
// them, unchanged.
inline void make_printable(char *text, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (is_control_byte(byte)) {
            text[i] = '?';
        } else if (byte == C1_LEAD_BYTE && i + 1 < length &&
                   static_cast<unsigned char>(text[i + 1]) <= C1_LAST_SECOND_BYTE &&
                   static_cast<unsigned char>(text[i + 1]) >= C1_FIRST_SECOND_BYTE) {
            text[i] = '?';
            text[++i] = '?';
        }
    }
}

// The text with its control characters shown as '?' (make_printable).
inline std::string printable_text(std::string_view text)
{
    std::string shown(text);
    make_printable(shown.data(), shown.size());
    return shown;
}

#endif
