// Helpers the tests share: opening an image while keeping what the module
// printed, raw track files of whole sectors, running the audio export, and
// the bytes the process has read.
#ifndef CDUNPACK_TEST_IMAGE_H
#define CDUNPACK_TEST_IMAGE_H

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <string>

#include "audio_export.h"
#include "module_view.h"
#include "fixtures.h"

struct Opened {
    int result;
    std::string err;  // the module's lines on standard error
};

inline Opened open_and_capture(const std::string &cue, const std::string &out = "out")
{
    testing::internal::CaptureStderr();
    int result = cdimage_open(cue.c_str(), out.c_str());
    return {result, testing::internal::GetCapturedStderr()};
}

// cdimage_open's result, with its lines on standard error kept in `err`.
inline int open_image(const std::string &cue, std::string &err, const std::string &out = "out")
{
    Opened opened = open_and_capture(cue, out);
    err = opened.err;
    return opened.result;
}

// cdimage_open's result; what the module printed is not looked at.
inline int open_quietly(const std::string &cue, const std::string &out = "out")
{
    return open_and_capture(cue, out).result;
}

// What an image without an ISO 9660 volume prints when it opens.
inline std::string opened_without_volume(const std::string &cue, int tracks)
{
    return "cdimage: " + cue + " has no ISO 9660 data track\n" + "cdimage: " + cue + ", " +
           std::to_string(tracks) + " tracks, 0 files\n";
}

// A sparse raw file of whole sectors, all zero.
inline void write_sectors(const std::string &path, int64_t sectors, int sector_size = RAW_SECTOR_SIZE)
{
    write_sparse_file(path, static_cast<uint64_t>(sectors) * static_cast<uint64_t>(sector_size));
}

// What the audio export printed.
struct Captured {
    std::string out;
    std::string err;
};

// Runs the export of the open image into out_dir, created first as the tool
// does; cue_path is the cue sheet the image was opened from.
inline Captured export_into(const std::string &out_dir, const std::string &cue_path = "")
{
    mkdir(out_dir.c_str(), 0755);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    export_audio_tracks(out_dir.c_str(), cue_path.c_str());
    Captured captured;
    captured.out = testing::internal::GetCapturedStdout();
    captured.err = testing::internal::GetCapturedStderr();
    return captured;
}

// Bytes this process has read so far, from /proc/self/io.
inline uint64_t bytes_read_by_process()
{
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:")
            return value;
    return 0;
}

#endif
