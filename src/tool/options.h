// The command line: options in front of the operands, as GNU and POSIX
// tools take them, and the texts that describe it.
#ifndef CDUNPACK_OPTIONS_H
#define CDUNPACK_OPTIONS_H

#include <string>

enum class Action {
    UNPACK,          // <image.cue> <out>
    LIST,            // -l <image.cue>
    HELP,            // -h
    VERSION,         // -V
    WRONG_OPERANDS,  // not the operands that the action takes
    UNKNOWN_OPTION,  // an option that is not one of ours
};

struct Options {
    Action action = Action::WRONG_OPERANDS;
    bool quiet = false;
    bool list = false;  // -l was given, whatever the operands
    bool joliet_names = false;  // --names=joliet: the entries take their Joliet names
    std::string unknown_option;  // as written, for UNKNOWN_OPTION
    const char *cue_path = nullptr;
    const char *out_dir = nullptr;  // UNPACK only
};

// Options come first; the first operand, or "--", ends them, so that an
// option written after the operands is taken as an operand. Short options
// may be grouped ("-lq"). Help and version win over everything after them.
Options parse_options(int argc, char *const *argv);

// The usage line on standard error; the listing's own form when `listing`.
void print_usage(const char *program, bool listing);
// Usage, options and exit codes on standard output.
void print_help(const char *program);
// "cdunpack <version>" on standard output.
void print_version();

#endif
