// Unpacking an image as the tool does, through a handle of its own: the
// volume's files, then each audio track as a WAVE file whose samples the
// library writes. Nothing is printed: what went wrong is in the ledger.
#ifndef CDUNPACK_HANDLE_UNPACK_H
#define CDUNPACK_HANDLE_UNPACK_H

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cdimage.h"
#include "fixtures.h"

constexpr std::size_t UNPACK_WAVE_HEADER_SIZE = 44;

struct Unpacked {
    bool opened = false;
    int files = 0;
    int failures = -1;
    std::string ledger;  // the ledger's lines, each with its newline
};

// Writes the 44-byte header of a WAVE file of `frames` frames at its start.
inline bool write_header(int fd, uint32_t frames, uint32_t rate)
{
    const Bytes header = slice(wave_file(Bytes(static_cast<std::size_t>(frames) * 4), rate), 0,
                               UNPACK_WAVE_HEADER_SIZE);
    return pwrite(fd, header.data(), header.size(), 0) == static_cast<ssize_t>(header.size()) &&
           lseek(fd, static_cast<off_t>(header.size()), SEEK_SET) >= 0;
}

// Unpacks the image below `out` on a new handle, its messages on or off.
inline Unpacked unpack_with_handle(const std::string &cue, const std::string &out, bool messages = false)
{
    Unpacked result;
    cdimage_handle *disc = cdimage_handle_new();
    if (disc == nullptr)
        return result;
    cdimage_handle_set_option(disc, CDIMAGE_OPTION_MESSAGES, messages ? 1 : 0);
    result.opened = cdimage_handle_open(disc, cue.c_str(), out.c_str()) == 1;
    if (result.opened) {
        result.files = cdimage_handle_extract_all(disc);
        for (int index = 0; index < cdimage_handle_track_count(disc); ++index) {
            const int number = cdimage_handle_track_number(disc, index);
            uint32_t frames = 0, rate = 0;
            if (!cdimage_handle_track_is_audio(disc, number) ||
                !cdimage_handle_audio_frames(disc, number, &frames, &rate))
                continue;
            mkdir((out + "/audio").c_str(), 0755);
            char name[32];
            std::snprintf(name, sizeof name, "/audio/track%02d.wav", number);
            const std::string path = out + name;
            const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            uint32_t written = 0;
            // The library names its own losses; a header is the caller's.
            if (fd < 0 || !write_header(fd, frames, rate)) {
                cdimage_handle_record_loss(disc, CDIMAGE_LINE_TRACK_LOST, path.c_str(), "header not written");
            } else if (cdimage_handle_write_audio(disc, number, fd, path.c_str(), frames, &written) !=
                           CDIMAGE_AUDIO_NOT_WRITTEN &&
                       written != frames && !write_header(fd, written, rate)) {
                cdimage_handle_record_loss(disc, CDIMAGE_LINE_TRACK_LOST, path.c_str(), "header not written");
            }
            if (fd >= 0)
                close(fd);
        }
        result.failures = cdimage_handle_failure_count(disc);
    }
    for (int i = 0; i < cdimage_handle_ledger_count(disc); ++i) {
        const char *text = nullptr;
        cdimage_handle_ledger_line(disc, i, nullptr, nullptr, nullptr, &text);
        result.ledger += std::string(text) + "\n";
    }
    cdimage_handle_free(disc);
    return result;
}

#endif
