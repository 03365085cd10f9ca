/* The whole Ogg Vorbis decoder from the packaged single-file header, built
 * into the module for the sanitizer and fuzzing builds. */
#include <stb_vorbis.h>
