// Disc time: a CD counts its sectors in minutes, seconds and frames, one
// frame a sector and 75 frames a second, as cue sheet times (MM:SS:FF) and
// the binary-coded decimal header of a raw sector both write them.
#ifndef CDUNPACK_DISC_TIME_H
#define CDUNPACK_DISC_TIME_H

#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr int64_t SECTORS_PER_SECOND = 75;
constexpr int64_t SECONDS_PER_MINUTE = 60;
constexpr int64_t SECTORS_PER_MINUTE = SECONDS_PER_MINUTE * SECTORS_PER_SECOND;
// Disc address 0 lies behind the two-second lead-in pregap: the time a raw
// sector's header records is its address plus this.
constexpr int64_t LEAD_IN_SECTORS = 2 * SECTORS_PER_SECOND;

// A sector count as minutes, seconds (below 60) and frames (below 75).
struct DiscTime {
    int64_t minutes;
    int64_t seconds;
    int64_t frames;
};

inline DiscTime disc_time(int64_t sectors)
{
    return {sectors / SECTORS_PER_MINUTE, sectors / SECTORS_PER_SECOND % SECONDS_PER_MINUTE,
            sectors % SECTORS_PER_SECOND};
}

inline int64_t disc_time_sectors(int64_t minutes, int64_t seconds, int64_t frames)
{
    return (minutes * SECONDS_PER_MINUTE + seconds) * SECTORS_PER_SECOND + frames;
}

// The time "MM:SS:FF" of a sector count; minutes take more digits when
// they need them.
inline void format_disc_time(int64_t sectors, char *text, std::size_t size)
{
    const DiscTime time = disc_time(sectors);
    std::snprintf(text, size, "%02" PRId64 ":%02" PRId64 ":%02" PRId64, time.minutes, time.seconds, time.frames);
}

// The last two decimal digits of the value as one byte of binary-coded
// decimal: tens in the high nibble, units in the low one.
inline unsigned char bcd(int64_t value)
{
    return static_cast<unsigned char>((value / 10 % 10) << 4 | value % 10);
}

// Bytes of a raw sector header's address: minute, second, frame.
constexpr std::size_t BCD_TIME_SIZE = 3;

// Writes the time of a sector count as the three BCD bytes of a raw
// sector header.
inline void put_bcd_time(unsigned char *bytes, int64_t sectors)
{
    const DiscTime time = disc_time(sectors);
    bytes[0] = bcd(time.minutes);
    bytes[1] = bcd(time.seconds);
    bytes[2] = bcd(time.frames);
}

#endif
