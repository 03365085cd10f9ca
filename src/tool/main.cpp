// cdunpack: unpacks a CD image described by a cue sheet: the files of its
// ISO 9660 volume into the output directory, its audio tracks as WAVE files.
#include <cstdio>
#include <sys/stat.h>

#include "audio_export.h"
#include "cdimage.h"

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <image.cue> <out>\n", argc > 0 ? argv[0] : "cdunpack");
        return 1;
    }
    const char *cue_path = argv[1];
    const char *out_dir = argv[2];

    // An existing directory is fine; any other failure shows when writing.
    mkdir(out_dir, 0755);
    if (!cdimage_open(cue_path, out_dir)) {
        std::fprintf(stderr, "%s: cannot open the image\n", cue_path);
        return 1;
    }
    std::printf("%d files\n", cdimage_extract_all());
    export_audio_tracks(out_dir);
    cdimage_close();
    return 0;
}
