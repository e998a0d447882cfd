// The configuration read into its struct: defaults, range checks, the notes
// for the log and the refusals of [mqtt]; then the daemon and sensomark-query
// on one file with a misspelt key.
#include "config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <tuple>

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
        EXPECT_EQ(std::tie(c.port, c.backlog, c.metricsPort), std::make_tuple(4000, 4096, 0));
        EXPECT_TRUE(c.sensors.empty() && c.notes.empty() && !c.mqtt);
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

// Each unusable [mqtt] section, or sensor name no topic can carry, is one fatal
// note; the daemon ends on one with code 4 and that one MQTT line.
TEST(Config, EachMqttRefusalIsOneFatalNoteAndEndsTheDaemonWithCode4) {
    TempDir dir;
    for (auto [name, mode] : {std::pair{"0640", 0640}, {"0604", 0604}, {"ok", 0600}}) {
        dir.write(name, "secret\n");
        chmod(dir.file(name).c_str(), mode);
    }
    dir.write("large", "secret\n" + std::string(MAX_PASSWORD_FILE_BYTES, 'x'));
    chmod(dir.file("large").c_str(), 0600);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);  // no writer: an open would wait
    const std::string pw = "host = h\nusername = u\npasswordfile = ", tls = "host = h\ntls = yes\n";
    struct Case {
        std::string section, line, sensors = "/nonexistent/tty = x";
    } cases[] = {
        {pw + dir.file("0640"),
         "password file '" + dir.file("0640") +
             "' may be read by others (mode 0640); allow its owner only (chmod 600)"},
        {"port = 1883", "section [mqtt] needs a host"},
        {"host = \"\"", "section [mqtt] needs a host"},
        {"host = h\nqos = 2", "qos '2' must be 0 or 1"},
        {"host = h\nqos = one", "qos 'one' must be 0 or 1"},
        {"host = h\nport = 0", "port '0' is not a port number"},
        {"host = h\nport = 65536", "port '65536' is not a port number"},
        {"host = h\nport = 18 83", "port '18 83' is not a port number"},
        {"host = h\ninterval = 0", "interval '0' must be whole seconds from 1 to 86400"},
        {"host = h\ninterval = -5", "interval '-5' must be whole seconds from 1 to 86400"},
        {"host = h\ntls = maybe", "tls 'maybe' is neither yes nor no"},
        {tls, "tls needs a cafile to verify the broker's certificate"},
        {"host = h\ncafile = /ca", "cafile, certfile and keyfile need tls = yes"},
        {tls + "cafile = /ca\ncertfile = /c", "certfile and keyfile go together"},
        {"host = h\npasswordfile = /pw", "passwordfile needs a username"},
        {"host = h\ntopic = a/+/b", "topic 'a/+/b' must be a topic prefix without + or #"},
        {"host = h\ntopic = /", "topic '/' must be a topic prefix without + or #"},
        {"host = h\nclientid = \"\"", "clientid must not be empty"},
        {"host = h\ndiscovery = sometimes", "discovery 'sometimes' is neither yes nor no"},
        {"host = h\nretain = 2", "retain '2' is neither yes nor no"},
        {"host = h\nintervall = 5", "unknown key 'intervall' in section [mqtt]"},
        {pw + dir.file("0604"),
         "password file '" + dir.file("0604") +
             "' may be read by others (mode 0604); allow its owner only (chmod 600)"},
        {pw + dir.file("absent"),
         "cannot read password file '" + dir.file("absent") + "': No such file or directory"},
        {pw + dir.path, "password file '" + dir.path + "' is not a regular file"},
        {pw + dir.file("fifo"), "password file '" + dir.file("fifo") + "' is not a regular file"},
        {pw + dir.file("large"), "password file '" + dir.file("large") + "' is larger than 64 KiB"},
        {tls + "cafile = " + dir.file("fifo"),
         "cafile '" + dir.file("fifo") + "' is not a regular file"},
        {"host = h\ntopic = caf\xe9",
         "topic 'caf\\xe9' cannot be a topic prefix: \\xe9 is not valid UTF-8"},
        {tls + "cafile = " + dir.file("ok") + "\ncertfile = /absent\nkeyfile = " + dir.file("ok"),
         "cannot read certfile '/absent': No such file or directory"},
        {"host = h", "sensor names 'x+y' and 'x/y' both become the topic level 'x_y'",
         "/dev/a = x/y x+y"},
        {"host = h", "sensor names 'a#b' and 'a_b' both become the topic level 'a_b'",
         "/dev/a = \"a#b\"\n/dev/b = a_b"},
        {"host = h",
         "sensor name 'caf\\xe9' of '/dev/a' cannot be part of a topic: \\xe9 is not valid UTF-8",
         "/dev/a = ok caf\xe9"},
        {"host = h",
         "sensor name 'k\xc3\xbc\\x01' of '/dev/a' cannot be part of a topic: \\x01 is a control "
         "character",
         "/dev/a = k\xc3\xbc\x01"},
    };
    for (const Case& c : cases) {
        std::string text = "[sensors]\n" + c.sensors + "\n[mqtt]\n" + c.section + "\n";
        Config config = read(text);
        EXPECT_EQ(notes(config), Lines{"0! MQTT configuration: " + c.line}) << c.section;
        EXPECT_EQ(config.mqtt, nullptr);
        if (&c != &cases[0]) continue;
        dir.write("sensomarkUSB.conf", configText(freePort(), text));
        Process daemon({SENSOMARK_BIN}, dir.path);
        EXPECT_EQ(daemon.wait(), 4);
        Lines lines = logLines(daemon.output());
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "MQTT configuration: " + c.line), 1);
        EXPECT_EQ(daemon.count("MQTT"), 1) << daemon.output();
    }
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
