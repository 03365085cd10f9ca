// The command line's options: which action an argument list asks for, and
// with which operands.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"

namespace {

struct Case {
    std::vector<std::string> arguments;  // after the program name
    Action action;
    bool quiet;
    std::string cue_path;  // "" when none
    std::string out_dir;
    std::string unknown_option;
};

Options parse(const std::vector<std::string> &arguments) {
    static std::vector<std::string> storage;
    storage = arguments;
    storage.insert(storage.begin(), "cdunpack");
    std::vector<char *> argv;
    for (std::string &argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    return parse_options(static_cast<int>(storage.size()), argv.data());
}

std::string text_or_empty(const char *text) { return text != nullptr ? text : ""; }

}  // namespace

TEST(Options, ArgumentListsGiveTheirActionAndOperands) {
    const std::vector<Case> cases = {
        {{"a.cue", "out"}, Action::UNPACK, false, "a.cue", "out", ""},
        {{"-q", "a.cue", "out"}, Action::UNPACK, true, "a.cue", "out", ""},
        {{"--quiet", "a.cue", "out"}, Action::UNPACK, true, "a.cue", "out", ""},
        // An option after the operands is an operand, as it always was.
        {{"a.cue", "out", "-q"}, Action::WRONG_OPERANDS, false, "", "", ""},
        {{"a.cue", "-q"}, Action::UNPACK, false, "a.cue", "-q", ""},
        // "--" ends the options; a lone "-" is an operand.
        {{"--", "-a.cue", "--help"}, Action::UNPACK, false, "-a.cue", "--help", ""},
        {{"-q", "--", "-", "out"}, Action::UNPACK, true, "-", "out", ""},
        {{"-l", "a.cue"}, Action::LIST, false, "a.cue", "", ""},
        {{"--list", "a.cue"}, Action::LIST, false, "a.cue", "", ""},
        {{"-lq", "a.cue"}, Action::LIST, true, "a.cue", "", ""},
        {{"-l"}, Action::WRONG_OPERANDS, false, "", "", ""},
        {{"-l", "a.cue", "out"}, Action::WRONG_OPERANDS, false, "", "", ""},
        {{}, Action::WRONG_OPERANDS, false, "", "", ""},
        {{"a.cue"}, Action::WRONG_OPERANDS, false, "", "", ""},
        // Help and version win over the operands, and over what follows them.
        {{"--help", "out"}, Action::HELP, false, "", "", ""},
        {{"-h", "--bogus"}, Action::HELP, false, "", "", ""},
        {{"-qh"}, Action::HELP, true, "", "", ""},
        {{"-V"}, Action::VERSION, false, "", "", ""},
        {{"--version", "a.cue", "out"}, Action::VERSION, false, "", "", ""},
        {{"-x", "a.cue", "out"}, Action::UNKNOWN_OPTION, false, "", "", "-x"},
        {{"-qx", "a.cue", "out"}, Action::UNKNOWN_OPTION, true, "", "", "-x"},
        {{"--lis", "a.cue"}, Action::UNKNOWN_OPTION, false, "", "", "--lis"},
        {{"--list=a.cue"}, Action::UNKNOWN_OPTION, false, "", "", "--list=a.cue"},
        {{"-x", "--help"}, Action::UNKNOWN_OPTION, false, "", "", "-x"},
    };
    for (const Case &c : cases) {
        std::string shown;
        for (const std::string &argument : c.arguments)
            shown += " '" + argument + "'";
        Options options = parse(c.arguments);
        EXPECT_EQ(static_cast<int>(c.action), static_cast<int>(options.action)) << shown;
        EXPECT_EQ(c.quiet, options.quiet) << shown;
        EXPECT_EQ(c.cue_path, text_or_empty(options.cue_path)) << shown;
        EXPECT_EQ(c.out_dir, text_or_empty(options.out_dir)) << shown;
        EXPECT_EQ(c.unknown_option, options.unknown_option) << shown;
    }
}

TEST(Options, NamesTakeIsoOrJolietTheLastGivenWinning) {
    struct NamesCase {
        std::vector<std::string> arguments;
        Action action;
        bool joliet;
        std::string unknown_option;
    };
    const std::vector<NamesCase> cases = {
        {{"a.cue", "out"}, Action::UNPACK, false, ""},
        {{"--names=joliet", "a.cue", "out"}, Action::UNPACK, true, ""},
        {{"--names=iso", "a.cue", "out"}, Action::UNPACK, false, ""},
        {{"--names=joliet", "--names=iso", "a.cue", "out"}, Action::UNPACK, false, ""},
        {{"-l", "--names=joliet", "a.cue"}, Action::LIST, true, ""},
        {{"--names=Joliet", "a.cue", "out"}, Action::UNKNOWN_OPTION, false, "--names=Joliet"},
        {{"--names=", "a.cue", "out"}, Action::UNKNOWN_OPTION, false, "--names="},
        {{"--names", "joliet", "a.cue", "out"}, Action::UNKNOWN_OPTION, false, "--names"},
        // After the operands it is an operand, as every option is.
        {{"a.cue", "--names=joliet"}, Action::UNPACK, false, ""},
    };
    for (const NamesCase &c : cases) {
        std::string shown;
        for (const std::string &argument : c.arguments)
            shown += " '" + argument + "'";
        Options options = parse(c.arguments);
        EXPECT_EQ(static_cast<int>(c.action), static_cast<int>(options.action)) << shown;
        EXPECT_EQ(c.joliet, options.joliet_names) << shown;
        EXPECT_EQ(c.unknown_option, options.unknown_option) << shown;
    }
}
