// What tests of the module's inner functions see of it: the private headers
// of every side, and the state of the default handle, which the functions
// without a handle argument use.
#ifndef CDUNPACK_MODULE_VIEW_H
#define CDUNPACK_MODULE_VIEW_H

#include <memory>
#include <string>

#include "cue_sheet.h"
#include "disc.h"
#include "image_state.h"
#include "iso9660.h"

inline ImageState &default_image()
{
    return cdimage_default_handle()->image;
}

// Where a cue sheet places its tracks, as the reader takes its lines: the
// sheet read again into a state of its own, the default handle untouched.
inline CueSheet cue_positions(const std::string &cue_path)
{
    CueSheet cue{};
    std::unique_ptr<ImageState> scratch(new ImageState{});
    scratch->options.messages = false;
    read_cue_sheet(*scratch, cue_path.c_str(), cue);
    return cue;
}

#endif
