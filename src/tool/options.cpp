#include "options.h"

#include <cstdio>
#include <string_view>

namespace {

struct OptionName {
    char short_name;
    std::string_view long_name;
};

constexpr OptionName OPTION_NAMES[] = {
    {'h', "--help"}, {'V', "--version"}, {'l', "--list"}, {'q', "--quiet"},
};

// The short name of a long option, or 0 when it is none of ours.
char short_name_of(std::string_view long_name)
{
    for (const OptionName &option : OPTION_NAMES)
        if (option.long_name == long_name)
            return option.short_name;
    return 0;
}

// "--names=KIND": which names the volume's entries take.
constexpr std::string_view NAMES_OPTION = "--names=";

// Takes a "--names=KIND" option; false when the kind is none of ours.
bool take_names(std::string_view argument, Options &options)
{
    const std::string_view kind = argument.substr(NAMES_OPTION.size());
    if (kind != "iso" && kind != "joliet")
        return false;
    options.joliet_names = kind == "joliet";
    return true;
}

bool is_short_name(char c)
{
    for (const OptionName &option : OPTION_NAMES)
        if (option.short_name == c)
            return true;
    return false;
}

}  // namespace

Options parse_options(int argc, char *const *argv)
{
    Options options;
    bool help = false, version = false;
    bool &list = options.list;
    auto take = [&](char name) {
        help |= name == 'h';
        version |= name == 'V';
        list |= name == 'l';
        options.quiet |= name == 'q';
    };

    int next = 1;
    for (; next < argc; ++next) {
        std::string_view argument(argv[next]);
        // A lone "-" is an operand, as it is to every POSIX tool.
        if (argument.size() < 2 || argument[0] != '-')
            break;
        if (argument == "--") {
            ++next;
            break;
        }
        if (argument.substr(0, NAMES_OPTION.size()) == NAMES_OPTION) {
            if (!take_names(argument, options)) {
                options.action = Action::UNKNOWN_OPTION;
                options.unknown_option = std::string(argument);
                return options;
            }
        } else if (argument[1] == '-') {
            char name = short_name_of(argument);
            if (name == 0) {
                options.action = Action::UNKNOWN_OPTION;
                options.unknown_option = std::string(argument);
                return options;
            }
            take(name);
        } else {
            for (char name : argument.substr(1)) {
                if (!is_short_name(name)) {
                    options.action = Action::UNKNOWN_OPTION;
                    options.unknown_option = std::string{'-', name};
                    return options;
                }
                take(name);
            }
        }
        if (help || version)
            break;
    }

    const int operands = argc - next;
    if (help)
        options.action = Action::HELP;
    else if (version)
        options.action = Action::VERSION;
    else if (list && operands == 1)
        options.action = Action::LIST;
    else if (!list && operands == 2)
        options.action = Action::UNPACK;
    if (options.action == Action::LIST || options.action == Action::UNPACK) {
        options.cue_path = argv[next];
        options.out_dir = options.action == Action::UNPACK ? argv[next + 1] : nullptr;
    }
    return options;
}

void print_usage(const char *program, bool listing)
{
    if (listing)
        std::fprintf(stderr, "usage: %s --list <image.cue>\n", program);
    else
        std::fprintf(stderr, "usage: %s <image.cue> <out>\n", program);
}

void print_help(const char *program)
{
    std::printf("usage: %s [-q] <image.cue> <out>\n"
                "       %s -l <image.cue>\n"
                "Unpacks a CD image described by a cue sheet: every file of the ISO 9660\n"
                "volume on its data track into <out>, every audio track as a WAVE file\n"
                "<out>/audio/trackNN.wav.\n"
                "\n"
                "  -l, --list     list the tracks and the volume's files; write nothing\n"
                "  -q, --quiet    show no progress line (shown only on a terminal)\n"
                "  --names=KIND   the names the volume's files take: iso (the default,\n"
                "                 ISO 9660 names, upper case) or joliet (Joliet names,\n"
                "                 case and long names kept; a volume without them does\n"
                "                 not open)\n"
                "  -h, --help     show this help and exit\n"
                "  -V, --version  show the version and exit\n"
                "  --             end of the options\n"
                "\n"
                "Exit status: 0 when everything was written (or listed), 1 for wrong\n"
                "arguments, an output directory that cannot be one or an image that does\n"
                "not open, 2 when the image opened but something of it could not be read\n"
                "or written.\n",
                program, program);
}

void print_version()
{
    std::printf("cdunpack %s\n", CDUNPACK_VERSION);
}
