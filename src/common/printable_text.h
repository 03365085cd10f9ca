// Text that came from an image (a cue sheet's FILE names, a volume's entry
// names and identifiers, a track's mode word) on its way to a terminal or a
// log: a control character there could end the line and forge another, or
// drive the terminal with an escape sequence. Every message and listing
// field that shows such text passes it through printable_text.
#ifndef CDUNPACK_PRINTABLE_TEXT_H
#define CDUNPACK_PRINTABLE_TEXT_H

#include <string>
#include <string_view>

// A byte below 0x20 (newline, carriage return, ESC among them) or DEL.
inline bool is_control_byte(unsigned char c)
{
    return c < 0x20 || c == 0x7F;
}

// The text with every control byte shown as '?'; all other bytes, UTF-8
// sequences among them, unchanged.
inline std::string printable_text(std::string_view text)
{
    std::string shown(text);
    for (char &c : shown)
        if (is_control_byte(static_cast<unsigned char>(c)))
            c = '?';
    return shown;
}

#endif
