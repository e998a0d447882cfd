// The configuration read into its struct: defaults, range checks and the notes
// for the log; then the daemon and sensomark-query on one file with a misspelt key.
#include "config.h"

#include <gtest/gtest.h>

#include "iniparser.h"
#include "testutil.h"

using Lines = std::vector<std::string>;
namespace {

// The configuration read from the text of a file.
Config read(const std::string& text, ConfigUse use = ConfigUse::DAEMON) {
    TempDir dir;
    dir.write("c.conf", text);
    dictionary* d = iniparser_load(dir.file("c.conf").c_str());
    Config config = readConfig(d, use);
    iniparser_freedict(d);
    return config;
}

// The notes as "level text", a fatal one marked with "!".
Lines notes(const Config& config) {
    Lines out;
    for (const ConfigNote& n : config.notes)
        out.push_back(std::to_string(n.level) + (n.fatal ? "! " : " ") + n.text);
    return out;
}
}  // namespace

TEST(Config, DefaultsWithoutFileAndWithAnEmptyOne) {
    for (const Config& c : {readConfig(nullptr, ConfigUse::DAEMON), read("; nothing\n[main]\n")}) {
        EXPECT_EQ(c.port, 4000);
        EXPECT_EQ(c.logFile, "");
        EXPECT_EQ(c.logLevel, LOG_DEBUG);
        EXPECT_TRUE(c.listen.empty());
        EXPECT_EQ(c.backlog, 4096);
        EXPECT_EQ(c.maxClients, 0);
        EXPECT_TRUE(c.allow.empty());
        EXPECT_EQ(c.user.name, "");
        EXPECT_EQ(c.metricsPort, 0);
        EXPECT_TRUE(c.sensors.empty());
        EXPECT_EQ(c.mqtt, nullptr);
        EXPECT_TRUE(c.notes.empty());
    }
}

TEST(Config, PortsAreCheckedAtTheirBounds) {
    struct Case {
        std::string value;
        int port, metricsPort;
    } cases[] = {
        {"65535", 65535, 65535}, {"1", 1, 1},    {"0x1f90", 8080, 8080}, {"010", 8, 8},
        {"65536", 4000, 0},      {"0", 4000, 0}, {"-1", 4000, 0},        {"x", 4000, 0},
    };
    for (const Case& c : cases) {
        Config config = read("[main]\nport = " + c.value + "\nmetricsport = " + c.value + "\n");
        EXPECT_EQ(config.port, c.port) << c.value;
        EXPECT_EQ(config.metricsPort, c.metricsPort) << c.value;
        EXPECT_EQ(config.notes.size(), (c.metricsPort == 0) + (c.value == "65536")) << c.value;
    }
    Config counts = read("[main]\nbacklog = 0\nmaxclients = -3\n");
    EXPECT_EQ(counts.backlog, 4096);
    EXPECT_EQ(counts.maxClients, 0);
    counts = read("[main]\nbacklog = 64\nmaxclients = 0x10\nloglevel = stat\n");
    EXPECT_EQ(counts.backlog, 64);
    EXPECT_EQ(counts.maxClients, 16);
    EXPECT_EQ(counts.logLevel, LOG_STAT);
}

TEST(Config, HistorySyncHasItsLeastAndStatedirIsTakenAsWritten) {
    Config c = read("[main]\nstatedir = state/h\nhistorysync = 59\n");
    EXPECT_EQ(c.stateDir, "state/h");
    EXPECT_EQ(c.historySyncS, 60);
    EXPECT_EQ(notes(c), Lines{"0 configured historysync '59' is below 60, using 60"});
    EXPECT_EQ(read("[main]\nhistorysync = 60\n").historySyncS, 60);
    EXPECT_EQ(read("[main]\n").historySyncS, 600);
    EXPECT_EQ(read("[main]\nhistorysync = 3600\n").notes.size(), 0u);
}

TEST(Config, NotesComeInKeyOrderWithUnknownKeysLast) {
    Config c = read(
        "[main]\nmetricport = 9100\nloglevel = Stat\nport = 70000\nallow = 10.0.0.0/33\n"
        "metricsport = 0\nPort = 1\n[sensors]\n/dev/b = x y\n/dev/a = ''\n[Main]\nz = 1\n");
    EXPECT_EQ(notes(c), (Lines{"0! invalid allow entry '10.0.0.0/33'",
                               "0 configured metrics port '0' is invalid, serving no metrics",
                               "0 configured port 70000 is out of range, using 4000",
                               "0 configured log level unknown",
                               "1 unknown key 'metricport' in section 'main' ignored",
                               "1 unknown key 'Port' in section 'main' ignored"}));
    ASSERT_EQ(c.sensors.size(), 2u);
    EXPECT_EQ(c.sensors[0].device, "/dev/b");
    EXPECT_EQ(c.sensors[0].names, (Lines{"x", "y"}));
    EXPECT_EQ(c.sensors[1].device, "/dev/a");
    EXPECT_TRUE(c.sensors[1].names.empty());
}

TEST(Config, AClientLooksUpNoAccountAndReadsNoMqtt) {
    const std::string text =
        "[main]\nuser = no-such-user-here\n[mqtt]\nhost = h\npasswordfile = /nonexistent\n";
    Config daemon = read(text);
    Lines daemonNotes = notes(daemon);
    ASSERT_EQ(daemonNotes.size(), 2u);
    EXPECT_EQ(daemonNotes[0], "0! unknown user 'no-such-user-here'");
    EXPECT_EQ(daemonNotes[1].substr(0, 3), "0! ");  // the password file
    Config client = read(text, ConfigUse::CLIENT);
    EXPECT_TRUE(client.notes.empty());
    EXPECT_EQ(client.user.name, "no-such-user-here");
    EXPECT_EQ(client.mqtt, nullptr);
}

TEST(Config, AMisspeltKeyIsLoggedAndTheDaemonAndTheToolServeAsBefore) {
    TempDir dir;
    Pty pty;
    int port = freePort();
    auto daemon = startDaemon(dir, configText(port,
                                              "listen = 0.0.0.0\nmetricport = 9100\n"
                                              "odd\x01key = 1\n[sensors]\n" +
                                                  pty.slavePath + " = room\n"));
    Lines lines = logLines(daemon->output());
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "unknown key 'metricport' in section 'main' ignored"),
              1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "unknown key 'odd\\x01key' in section 'main' ignored"),
              1);
    EXPECT_EQ(daemon->count("serving metrics"), 0) << "metricport is not metricsport";
    pty.write("temperature=20.5 humidity=40.0 dewpoint=6.5\n");
    EXPECT_TRUE(daemon->waitFor("sensed 'temperature=20.5"));

    // The tool takes port and names from the same file; the any-address is no host to ask.
    std::string out;
    EXPECT_EQ(runProgram({SENSOMARK_QUERY, "--all", "--config", dir.file("sensomarkUSB.conf")},
                         dir.path, &out),
              0);
    EXPECT_EQ(out,
              "room.1: valid=1;value=20.5;\nroom.2: valid=1;value=40.0;\n"
              "room.3: valid=1;value=6.5;\n");
}
