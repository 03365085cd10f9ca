// cdunpack: unpacks a CD image described by a cue sheet: the files of its
// ISO 9660 volume into the output directory, its audio tracks as WAVE files.
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include "audio_export.h"
#include "cdimage.h"
#include "listing.h"
#include "options.h"
#include "progress.h"

int main(int argc, char **argv)
{
    const char *program = argc > 0 ? argv[0] : "cdunpack";
    const Options options = parse_options(argc, argv);
    switch (options.action) {
    case Action::HELP:
        print_help(program);
        return 0;
    case Action::VERSION:
        print_version();
        return 0;
    case Action::UNKNOWN_OPTION:
        std::fprintf(stderr, "cdunpack: unknown option '%s'\n", options.unknown_option.c_str());
        print_usage(program, false);
        return 1;
    case Action::WRONG_OPERANDS:
        print_usage(program, options.list);
        return 1;
    case Action::LIST:
    case Action::UNPACK:
        break;
    }
    const char *cue_path = options.cue_path;
    const bool listing = options.action == Action::LIST;
    // A listing extracts nothing, so it has no output directory.
    const char *out_dir = listing ? "" : options.out_dir;

    // An existing directory is fine; any other failure shows when writing.
    if (!listing)
        mkdir(out_dir, 0755);
    if (!cdimage_open(cue_path, out_dir)) {
        std::fprintf(stderr, "%s: cannot open the image\n", cue_path);
        return 1;
    }
    if (listing) {
        print_listing();
        cdimage_close();
        return 0;
    }
    const bool show_progress = !options.quiet && isatty(STDERR_FILENO);
    if (show_progress)
        start_progress();
    std::printf("%d files\n", cdimage_extract_all());
    export_audio_tracks(out_dir);
    if (show_progress)
        stop_progress();
    cdimage_close();
    return 0;
}
