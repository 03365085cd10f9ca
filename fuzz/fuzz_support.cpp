#include "fuzz_support.h"

#include <sys/stat.h>
#include <ftw.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

const std::string PART_SEPARATOR = std::string("\0--part--\0", 10);

FuzzWorkspace::FuzzWorkspace()
    : images(root.at("img")), sandbox(root.at("sandbox")), out(root.at("sandbox/out"))
{
    if (mkdir(images.c_str(), 0755) != 0 || mkdir(sandbox.c_str(), 0755) != 0)
        throw std::runtime_error("cannot lay out the fuzz work directory " + root.path);
}

FuzzWorkspace &workspace()
{
    static FuzzWorkspace instance;
    return instance;
}

void write_bytes(const std::string &path, const uint8_t *data, std::size_t size)
{
    write_file(path, Bytes(data, data + size));
}

namespace {

int remove_one(const char *path, const struct stat *, int, struct FTW *)
{
    std::remove(path);
    return 0;
}

}  // namespace

void remove_path(const std::string &path)
{
    nftw(path.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS);
}

void require_only(const std::string &dir, std::vector<std::string> names)
{
    std::vector<std::string> found = directory_names(dir);
    std::sort(found.begin(), found.end());
    std::sort(names.begin(), names.end());
    if (found == names)
        return;
    for (const std::string &name : found)
        if (!std::binary_search(names.begin(), names.end(), name))
            std::fprintf(stderr, "fuzz: %s/%s was written outside the output directory\n", dir.c_str(),
                         name.c_str());
    for (const std::string &name : names)
        if (!std::binary_search(found.begin(), found.end(), name))
            std::fprintf(stderr, "fuzz: %s/%s has gone\n", dir.c_str(), name.c_str());
    std::abort();
}

Bytes encode_tone(const std::string &scratch_dir, Codec codec, uint32_t frames)
{
    const std::string wave = scratch_dir + "/tone.wav";
    const std::string encoded = scratch_dir + "/tone.encoded";
    write_file(wave, wave_file(tone_samples(frames, 440.0, 660.0)));
    RunResult result = encode_audio(codec, wave, encoded);
    Bytes bytes = result.exit_code == 0 && path_exists(encoded) ? read_file(encoded) : Bytes{};
    std::remove(wave.c_str());
    std::remove(encoded.c_str());
    return bytes;
}

std::vector<std::string> split_input(const uint8_t *data, std::size_t size, std::size_t parts)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (pieces.size() + 1 < parts) {
        std::size_t end = text.find(PART_SEPARATOR, start);
        if (end == std::string::npos)
            break;
        pieces.push_back(text.substr(start, end - start));
        start = end + PART_SEPARATOR.size();
    }
    pieces.push_back(text.substr(std::min(start, text.size())));
    pieces.resize(parts);
    return pieces;
}
