// Numbers stored least significant byte first, as RIFF fields, WAVE samples
// and the little-endian halves of ISO 9660 numbers are: read from and
// written into byte buffers.
#ifndef CDUNPACK_BYTE_ORDER_H
#define CDUNPACK_BYTE_ORDER_H

#include <cstdint>

inline uint16_t little_endian_16(const unsigned char *bytes)
{
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

inline uint32_t little_endian_32(const unsigned char *bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

inline void put_le16(unsigned char *bytes, uint16_t value)
{
    bytes[0] = static_cast<unsigned char>(value);
    bytes[1] = static_cast<unsigned char>(value >> 8);
}

inline void put_le32(unsigned char *bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

#endif
