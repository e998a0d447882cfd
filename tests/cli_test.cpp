// The command line, the configuration search and the messages of a start-up
// that ends at once, run against the real binary.
#include <gtest/gtest.h>

#include <regex>

#include "testutil.h"

namespace {
const std::string BANNER = "sensomarkUSB 0.8.1\n\n";
const std::string USAGE =
    "Usage: daemon [options] [config file]\n"
    "Options:\n"
    "   -d               Become a daemon\n"
    "   -h               Show this help\n"
    "Configuration is read from sensomarkUSB.conf\n"
    "or the given config file.\n";
// Ends start-up at once, before any thread or daemon switch.
const std::string ENDS_AT_ONCE = "[sensors]\n/dev/ttyS77 = ''\n";
const std::string ENDING = "- no names specified for sensor '/dev/ttyS77'\n- ending daemon\n";
const std::string FOUND = "- using config file './sensomarkUSB.conf'\n";

// Runs the daemon with args in a fresh directory that holds config as file.
// Returns "CODE " and standard output, "|", standard error, "|" and the
// contents of daemon.log, with each time stamp shortened to "- ".
std::string run(std::vector<std::string> args, const std::string& config = "",
                const std::string& file = "sensomarkUSB.conf") {
    TempDir dir;
    if (!config.empty()) dir.write(file, config);
    args.insert(args.begin(), SENSOMARK_BIN);
    std::string out, err;
    int code = runProgram(args, dir.path, &out, &err);
    std::string all = out + "|" + err + "|" + readFile(dir.file("daemon.log"));
    return std::to_string(code) + " " +
           std::regex_replace(all, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d - )"), "- ");
}
}  // namespace

TEST(CommandLine, HelpAndBadArguments) {
    EXPECT_EQ(run({"-h"}), "0 " + BANNER + USAGE + "||");
    EXPECT_EQ(run({"-?"}), "1 " + BANNER + USAGE + "||");
    EXPECT_EQ(run({"-x"}),
              "1 " + BANNER + USAGE + "|" + SENSOMARK_BIN + ": invalid option -- 'x'\n|");
    EXPECT_EQ(run({"a.conf", "b.conf"}),
              "1 " + BANNER + "trailing arguments on command line\n" + USAGE + "||");
}

TEST(CommandLine, ConfigurationFileAndMainKeys) {
    EXPECT_EQ(run({}, ENDS_AT_ONCE), "4 " + BANNER + FOUND + ENDING + "||");
    EXPECT_EQ(run({"./other.conf"}, ENDS_AT_ONCE, "other.conf"),
              "4 " + BANNER + "- using config file '././other.conf'\n" + ENDING + "||");
    // The foreground ignores logfile; an unknown level keeps everything.
    EXPECT_EQ(run({}, "[main]\nport = 70000\nloglevel = Debug\nlogfile = /nonexistent/x.log\n" +
                          ENDS_AT_ONCE),
              "4 " + BANNER + FOUND + "- configured port 70000 is out of range, using 4000\n" +
                  "- configured log level unknown\n" + ENDING + "||");
    // The file is reported before its level applies.
    EXPECT_EQ(
        run({}, "[main]\nloglevel = critical\n[sensors]\n/dev/ttyS76 = a b\n/dev/ttyS77 = ''\n"),
        "4 " + BANNER + FOUND + ENDING + "||");
}

TEST(CommandLine, DaemonModeLogsToTheFileOnly) {
    for (auto args : {std::vector<std::string>{"my.conf", "-d"}, {"-d", "my.conf"}})
        EXPECT_EQ(run(args, "[main]\nlogfile = daemon.log\n" + ENDS_AT_ONCE, "my.conf"),
                  "4 " + BANNER + "||" + ENDING);
    EXPECT_EQ(run({"-d"}, "[main]\nlogfile = /nonexistent/dir/x.log\n"),
              "2 " + BANNER + "|cannot open log file '/nonexistent/dir/x.log'\n|");
}
