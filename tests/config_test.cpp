// The configuration read into its struct: range checks, the notes for the log
// and the refusals of [mqtt], one of them through the daemon.
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

TEST(Config, PortsAreCheckedAtTheirBounds) {
    Config none = readConfig(nullptr, ConfigUse::DAEMON);
    EXPECT_EQ(std::tie(none.port, none.metricsPort, none.backlog), std::make_tuple(4000, 0, 4096));
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
    EXPECT_EQ(std::tie(counts.backlog, counts.maxClients), std::make_tuple(4096, 0));
    counts = read("[main]\nbacklog = 64\nmaxclients = 0x10\nloglevel = stat\n");
    EXPECT_EQ(std::tie(counts.backlog, counts.maxClients, counts.logLevel),
              std::make_tuple(64, 16, LOG_STAT));
}

// A misspelt key is a note, not a refusal: sensomark-query reads the same file
// (query_tool_test).
TEST(Config, NotesComeInKeyOrderWithUnknownKeysLast) {
    Config c = read(
        "[main]\nmetricport = 9100\nloglevel = Stat\nport = 70000\nhistorysync = 59\n"
        "allow = 10.0.0.0/33\nstatedir = state/h\nmetricsport = 0\nPort = 1\n[sensors]\n"
        "/dev/b = x y\n/dev/a = ''\n[Main]\nz = 1\n");
    EXPECT_EQ(notes(c), (Lines{"0! invalid allow entry '10.0.0.0/33'",
                               "0 configured metrics port '0' is invalid, serving no metrics",
                               "0 configured historysync '59' is below 60, using 60",
                               "0 configured port 70000 is out of range, using 4000",
                               "0 configured log level unknown",
                               "1 unknown key 'metricport' in section 'main' ignored",
                               "1 unknown key 'Port' in section 'main' ignored"}));
    EXPECT_EQ(std::tie(c.stateDir, c.historySyncS), std::make_tuple("state/h", 60));
    ASSERT_EQ(c.sensors.size(), 2u);
    EXPECT_EQ(
        std::tie(c.sensors[0].device, c.sensors[0].names, c.sensors[1].device, c.sensors[1].names),
        std::make_tuple("/dev/b", Lines{"x", "y"}, "/dev/a", Lines{}));
}

TEST(Config, AClientLooksUpNoAccountAndReadsNoMqtt) {
    const std::string text =
        "[main]\nuser = no-such-user-here\n[mqtt]\nhost = h\npasswordfile = /nonexistent\n";
    EXPECT_EQ(notes(read(text)).size(), 2u);  // the user and the password file
    Config client = read(text, ConfigUse::CLIENT);
    EXPECT_TRUE(client.notes.empty() && !client.mqtt);
    EXPECT_EQ(client.user.name, "no-such-user-here");
}

// Each unusable [mqtt] section, or sensor name no topic can carry, is one fatal
// note; the daemon ends on one with code 4 and that one MQTT line.
TEST(Config, EachMqttRefusalIsOneFatalNoteAndEndsTheDaemonWithCode4) {
    TempDir dir;
    for (auto [name, mode] : {std::pair{"0640", 0640}, {"ok", 0600}}) {
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
        {"host = h\nqos = 2", "qos '2' must be 0 or 1"},
        {"host = h\nport = 65536", "port '65536' is not a port number"},
        {"host = h\nport = 18 83", "port '18 83' is not a port number"},
        {"host = h\ninterval = 0", "interval '0' must be whole seconds from 1 to 86400"},
        {"host = h\ntls = maybe", "tls 'maybe' is neither yes nor no"},
        {tls, "tls needs a cafile to verify the broker's certificate"},
        {"host = h\ncafile = /ca", "cafile, certfile and keyfile need tls = yes"},
        {tls + "cafile = /ca\ncertfile = /c", "certfile and keyfile go together"},
        {"host = h\npasswordfile = /pw", "passwordfile needs a username"},
        {"host = h\ntopic = a/+/b", "topic 'a/+/b' must be a topic prefix without + or #"},
        {"host = h\nclientid = \"\"", "clientid must not be empty"},
        {"host = h\ndiscovery = sometimes", "discovery 'sometimes' is neither yes nor no"},
        {"host = h\nretain = 2", "retain '2' is neither yes nor no"},
        {"host = h\nintervall = 5", "unknown key 'intervall' in section [mqtt]"},
        {pw + dir.file("absent"),
         "cannot read password file '" + dir.file("absent") + "': No such file or directory"},
        {pw + dir.file("fifo"), "password file '" + dir.file("fifo") + "' is not a regular file"},
        {pw + dir.file("large"), "password file '" + dir.file("large") + "' is larger than 64 KiB"},
        {tls + "cafile = " + dir.file("fifo"),
         "cafile '" + dir.file("fifo") + "' is not a regular file"},
        {"host = h\ntopic = caf\xe9",
         "topic 'caf\\xe9' cannot be a topic prefix: \\xe9 is not valid UTF-8"},
        {tls + "cafile = " + dir.file("ok") + "\ncertfile = /absent\nkeyfile = " + dir.file("ok"),
         "cannot read certfile '/absent': No such file or directory"},
        {"host = h", "sensor names 'a#b' and 'a_b' both become the topic level 'a_b'",
         "/dev/a = \"a#b\"\n/dev/b = a_b"},
        {"host = h",
         "sensor name 'caf\\xe9' of '/dev/a' cannot be part of a topic: \\xe9 is not valid UTF-8",
         "/dev/a = ok caf\xe9"},
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
