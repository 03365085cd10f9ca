// Shared by the fuzz targets: one private work directory per process, whole
// inputs written as files, and the check that a run left nothing behind
// outside the directory it was given.
#ifndef CDUNPACK_FUZZ_SUPPORT_H
#define CDUNPACK_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fixtures.h"

// The layout of a target's work directory:
//   <root>/img          the cue sheet and the track files
//   <root>/sandbox      holds nothing but the output directory
//   <root>/sandbox/out  the output directory given to the module
struct FuzzWorkspace {
    TempDir root;
    std::string images;
    std::string sandbox;
    std::string out;
    FuzzWorkspace();
};

// Made on first use, removed when the process exits normally.
FuzzWorkspace &workspace();

void write_bytes(const std::string &path, const uint8_t *data, std::size_t size);
// Removes a file or a whole directory tree; symbolic links are not followed.
void remove_path(const std::string &path);
// Aborts, naming the stray entry, unless the directory holds exactly the
// given names (no recursion).
void require_only(const std::string &dir, std::vector<std::string> names);

// A short two-channel tone encoded by the codec's reference encoder (made in
// scratch_dir), or no bytes when the encoder is not installed or fails.
Bytes encode_tone(const std::string &scratch_dir, Codec codec, uint32_t frames);

// The marker between the parts of a multi-file input.
extern const std::string PART_SEPARATOR;
// Splits an input at each PART_SEPARATOR into at most `parts` pieces; the
// last piece keeps any further separators. Missing pieces are empty.
std::vector<std::string> split_input(const uint8_t *data, std::size_t size, std::size_t parts);

#endif
