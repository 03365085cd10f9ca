// What tests of the module's inner functions see of it: the private headers
// of every side, and the state of the default handle, which the functions
// without a handle argument use.
#ifndef CDUNPACK_MODULE_VIEW_H
#define CDUNPACK_MODULE_VIEW_H

#include "cue_sheet.h"
#include "disc.h"
#include "image_state.h"
#include "iso9660.h"

inline ImageState &default_image()
{
    return cdimage_default_handle()->image;
}

#endif
