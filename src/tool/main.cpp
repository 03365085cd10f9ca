// cdunpack: unpacks a CD image described by a cue sheet: the files of its
// ISO 9660 volume into the output directory, its audio tracks as WAVE files.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "audio_export.h"
#include "cdimage.h"
#include "listing.h"
#include "options.h"
#include "output_tree.h"
#include "printable_text.h"
#include "progress.h"

namespace {

// Exit codes: everything written; no image (or a wrong command line); the
// image opened but something of it could not be read or written.
constexpr int EXIT_WHOLE = 0;
constexpr int EXIT_NO_IMAGE = 1;
constexpr int EXIT_DAMAGED = 2;

constexpr int INTERRUPTIONS[] = {SIGINT, SIGTERM, SIGHUP};

// Removes the file being written, then ends the process as the signal
// itself would have: the signal is blocked while its handler runs, so the
// raised one strikes, with the default action, as the handler returns.
void end_on_interruption(int signal_number)
{
    erase_progress_line_on_signal();
    cdimage_discard_partial();
    discard_partial_wave();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

void handle_interruptions()
{
    struct sigaction action {};
    action.sa_handler = end_on_interruption;
    sigemptyset(&action.sa_mask);
    for (int signal_number : INTERRUPTIONS)
        sigaddset(&action.sa_mask, signal_number);
    for (int signal_number : INTERRUPTIONS) {
        struct sigaction current {};
        // A signal that the tool was started ignoring (nohup) stays ignored.
        if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
            continue;
        sigaction(signal_number, &action, nullptr);
    }
}

// Creates the output directory and its parents when they are missing.
// False, the reason named, when the path cannot be one: nothing of the
// image is opened then.
bool prepare_output_directory(const char *out_dir)
{
    struct stat info;
    int error = make_directory_path(out_dir);
    if (error == 0 && stat(out_dir, &info) != 0)
        error = errno;
    if (error == 0 && !S_ISDIR(info.st_mode))
        error = ENOTDIR;
    if (error == 0)
        return true;
    std::fprintf(stderr, "cdunpack: %s: %s\n", out_dir, std::strerror(error));
    return false;
}

// Names of files that hold a disc's sectors rather than its cue sheet.
bool names_track_data(const char *path)
{
    const char *dot = std::strrchr(path, '.');
    return dot != nullptr && (strcasecmp(dot, ".bin") == 0 || strcasecmp(dot, ".iso") == 0 ||
                              strcasecmp(dot, ".img") == 0);
}

// The library's reason for a volume that lacks the Joliet names asked for.
constexpr char NO_JOLIET_NAMES[] = "the volume has no Joliet names";

// Why the module refused the cue sheet, when it gave a reason: a failure
// that the module named itself (a missing track file) gets no second line.
// Gives whether the reason is that the volume lacks the names asked for,
// which says all there is to say.
bool explain_unread_cue_sheet(const char *cue_path)
{
    int line = 0;
    const char *reason = cdimage_open_reason(&line);
    if (reason == nullptr)
        return false;
    if (std::strcmp(reason, NO_JOLIET_NAMES) == 0) {
        std::fprintf(stderr, "cdunpack: %s: %s\n", printable_text(cue_path).c_str(), reason);
        return true;
    }
    const char *hint = cdimage_cue_error() == CDIMAGE_NOT_A_CUE_SHEET && names_track_data(cue_path)
                           ? " (give the .cue file that describes the image)"
                           : "";
    // The reason may quote the sheet's own text.
    const std::string shown = printable_text(reason);
    if (line > 0)
        std::fprintf(stderr, "cdunpack: %s: line %d: %s%s\n", cue_path, line, shown.c_str(), hint);
    else
        std::fprintf(stderr, "cdunpack: %s: %s%s\n", cue_path, shown.c_str(), hint);
    return false;
}

// Sends standard output on its way; false, the reason named once, when it
// cannot be written. What the tool itself could not write: everything else
// that went wrong is in the image's ledger.
bool g_standard_output_failed = false;

void flush_standard_output()
{
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return;
    if (!g_standard_output_failed)
        std::fprintf(stderr, "cdunpack: standard output: %s\n", std::strerror(errno));
    g_standard_output_failed = true;
}

// The exit code of a run whose image opened: every loss of the image, the
// tool's WAVE files among them, is counted by its ledger.
int exit_code_of_run()
{
    flush_standard_output();
    return cdimage_failure_count() == 0 && !g_standard_output_failed ? EXIT_WHOLE : EXIT_DAMAGED;
}

}  // namespace

int main(int argc, char **argv)
{
    const char *program = argc > 0 ? argv[0] : "cdunpack";
    const Options options = parse_options(argc, argv);
    switch (options.action) {
    case Action::HELP:
        print_help(program);
        return EXIT_WHOLE;
    case Action::VERSION:
        print_version();
        return EXIT_WHOLE;
    case Action::UNKNOWN_OPTION:
        std::fprintf(stderr, "cdunpack: unknown option '%s'\n", options.unknown_option.c_str());
        print_usage(program, false);
        return EXIT_NO_IMAGE;
    case Action::WRONG_OPERANDS:
        print_usage(program, options.list);
        return EXIT_NO_IMAGE;
    case Action::LIST:
    case Action::UNPACK:
        break;
    }
    const char *cue_path = options.cue_path;
    const bool listing = options.action == Action::LIST;
    // A listing extracts nothing, so it has no output directory.
    const char *out_dir = listing ? "" : options.out_dir;
    // An empty output directory would put the volume's tree at the root of
    // the file system: refused like a wrong command line.
    if (!listing && out_dir[0] == '\0') {
        print_usage(program, false);
        return EXIT_NO_IMAGE;
    }
    // Each line goes out as it is printed: through a pipe too, the count
    // comes before the audio phase and every line keeps its place among
    // those on standard error.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    if (!listing) {
        if (!prepare_output_directory(out_dir))
            return EXIT_NO_IMAGE;
        handle_interruptions();
        // A file reaching the size limit (ulimit -f) fails its write with
        // EFBIG, named and removed like any failed write, rather than ending
        // the run with the file cut short.
        std::signal(SIGXFSZ, SIG_IGN);
    }
    if (options.joliet_names)
        cdimage_handle_set_option(cdimage_default_handle(), CDIMAGE_OPTION_NAMES, CDIMAGE_NAMES_JOLIET);
    if (!cdimage_open(cue_path, out_dir)) {
        if (explain_unread_cue_sheet(cue_path))
            return EXIT_NO_IMAGE;
        std::fprintf(stderr, "%s: cannot open the image\n", cue_path);
        return EXIT_NO_IMAGE;
    }
    if (listing) {
        // What the open could not read is named above the listing.
        print_listing();
    } else {
        const bool show_progress = !options.quiet && isatty(STDERR_FILENO);
        if (show_progress)
            start_progress();
        std::printf("%d files\n", cdimage_extract_all());
        flush_standard_output();
        export_audio_tracks(out_dir, cue_path);
        if (show_progress)
            stop_progress();
    }
    const int exit_code = exit_code_of_run();
    cdimage_close();
    return exit_code;
}
