// The command line, the configuration search and the start-up messages, run
// against the real binary.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
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
// A configuration that ends start-up at once, before any thread or daemon switch.
const std::string ENDS_AT_ONCE = "[sensors]\n/dev/ttyS77 = ''\n";

std::string logLines(const std::string& text) {
    std::string lines;
    for (size_t pos = 0, end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1) {
        std::string line = text.substr(pos, end - pos);
        if (line.size() > 22 && line.compare(19, 3, " - ") == 0) lines += line.substr(22) + "\n";
    }
    return lines;
}
}  // namespace

TEST(CommandLine, HelpPrintsBannerAndUsageAndExitsZero) {
    TempDir dir;
    std::string out;
    EXPECT_EQ(runProgram({SENSOMARK_BIN, "-h"}, dir.path, &out), 0);
    EXPECT_EQ(out, BANNER + USAGE);
}

TEST(CommandLine, BadOptionsAndSurplusArgumentsExitOne) {
    TempDir dir;
    std::string out, err;
    EXPECT_EQ(runProgram({SENSOMARK_BIN, "-?"}, dir.path, &out, &err), 1);
    EXPECT_EQ(out, BANNER + USAGE);
    EXPECT_EQ(runProgram({SENSOMARK_BIN, "-x"}, dir.path, &out, &err), 1);
    EXPECT_EQ(out, BANNER + USAGE);
    EXPECT_NE(err.find("invalid option"), std::string::npos) << err;
    EXPECT_EQ(runProgram({SENSOMARK_BIN, "a.conf", "b.conf"}, dir.path, &out, &err), 1);
    EXPECT_EQ(out, BANNER + "trailing arguments on command line\n" + USAGE);
}

TEST(CommandLine, FileBeforeOrAfterDaemonOptionIsTheSame) {
    TempDir dir;
    dir.write("my.conf", "[main]\nlogfile = " + dir.file("daemon.log") + "\n" + ENDS_AT_ONCE);
    for (auto args : {std::vector<std::string>{SENSOMARK_BIN, "my.conf", "-d"},
                      std::vector<std::string>{SENSOMARK_BIN, "-d", "my.conf"}}) {
        std::string out;
        EXPECT_EQ(runProgram(args, dir.path, &out), 0);
        EXPECT_EQ(out, BANNER);  // daemon mode logs to the file only
        std::ifstream in(dir.file("daemon.log"));
        std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(logLines(log),
                  "no names specified for sensor '/dev/ttyS77'\n"
                  "ending daemon\n");
        remove(dir.file("daemon.log").c_str());
    }
}

TEST(ConfigSearch, ReportsTheFileFoundWithDotSlashPrefix) {
    TempDir dir;
    dir.write("sensomarkUSB.conf", ENDS_AT_ONCE);
    std::string out;
    EXPECT_EQ(runProgram({SENSOMARK_BIN}, dir.path, &out), 0);
    EXPECT_EQ(logLines(out),
              "using config file './sensomarkUSB.conf'\n"
              "no names specified for sensor '/dev/ttyS77'\n"
              "ending daemon\n");

    dir.write("other.conf", ENDS_AT_ONCE);
    EXPECT_EQ(runProgram({SENSOMARK_BIN, dir.file("other.conf")}, dir.path, &out), 0);
    EXPECT_NE(out.find("using config file './" + dir.file("other.conf") + "'"), std::string::npos);
}

TEST(ConfigSearch, LogLineFormatAndMainKeys) {
    TempDir dir;
    dir.write(
        "sensomarkUSB.conf",
        "[main]\nport = 70000\nloglevel = Debug\nlogfile = /nonexistent/x.log\n" + ENDS_AT_ONCE);
    std::string out;
    EXPECT_EQ(runProgram({SENSOMARK_BIN}, dir.path, &out), 0);
    // The foreground ignores logfile; an unknown level keeps everything.
    EXPECT_EQ(logLines(out),
              "using config file './sensomarkUSB.conf'\n"
              "configured port 70000 is out of range, using 4000\n"
              "configured log level unknown\n"
              "no names specified for sensor '/dev/ttyS77'\n"
              "ending daemon\n");
    std::string firstLine = out.substr(BANNER.size(), 22);
    EXPECT_TRUE(std::regex_match(firstLine, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d - )")))
        << firstLine;
}

TEST(ConfigSearch, LevelCriticalDropsStatLines) {
    TempDir dir;
    dir.write("sensomarkUSB.conf",
              "[main]\nloglevel = critical\n[sensors]\n/dev/ttyS76 = a b\n/dev/ttyS77 = ''\n");
    std::string out;
    EXPECT_EQ(runProgram({SENSOMARK_BIN}, dir.path, &out), 0);
    // The file is reported before its level applies.
    EXPECT_EQ(logLines(out),
              "using config file './sensomarkUSB.conf'\n"
              "no names specified for sensor '/dev/ttyS77'\n"
              "ending daemon\n");
}

TEST(EventLogFile, UnopenableLogFileEndsWithCodeTwo) {
    TempDir dir;
    dir.write("sensomarkUSB.conf", "[main]\nlogfile = /nonexistent/dir/x.log\n");
    std::string out, err;
    EXPECT_EQ(runProgram({SENSOMARK_BIN, "-d"}, dir.path, &out, &err), 2);
    EXPECT_EQ(err, "cannot open log file '/nonexistent/dir/x.log'\n");
}
