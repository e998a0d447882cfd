// The status page in a real browser: headless Chromium loads it from the real
// daemon, whose device is a pseudo-terminal with changing values. The values
// it shows must be those of the query service, the charts must have data, and
// screenshots for a phone and a desktop (and the phone in dark mode) are kept
// under the build folder (artefacts/) for people to look at.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <regex>
#include <thread>

#include "history.h"
#include "sensor.h"
#include "sensorview.h"
#include "statuspage.h"
#include "testutil.h"

namespace {

std::string chromium() {
    for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
        if (access(path, X_OK) == 0) return path;
    return "";
}

std::string artefacts() {
    std::string dir = SENSOMARK_ARTEFACTS;
    mkdir(dir.c_str(), 0755);
    return dir;
}

// Runs headless Chromium with args for at most 90 s; its standard output.
std::string runChromium(const TempDir& dir, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/timeout",
                                     "90",
                                     chromium(),
                                     "--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--hide-scrollbars",
                                     "--no-first-run",
                                     "--user-data-dir=" + dir.file("profile")};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out, err;
    int rc = runProgram(argv, dir.path, &out, &err);
    EXPECT_EQ(rc, 0) << err;
    return out;
}

void screenshot(const TempDir& dir, const std::string& url, const std::string& file,
                const std::string& size, bool dark = false) {
    std::string path = artefacts() + "/" + file;
    unlink(path.c_str());
    std::vector<std::string> args = {"--screenshot=" + path, "--window-size=" + size};
    if (dark) args.push_back("--force-dark-mode");
    args.push_back(url);
    runChromium(dir, args);
    std::ifstream png(path, std::ios::binary);
    char magic[4] = {};
    png.read(magic, 4);
    EXPECT_EQ(std::string(magic + 1, 3), "PNG") << path;
}

// The <section> of the page that lists name.
std::string sectionOf(const std::string& dom, const std::string& name) {
    size_t at = dom.find("<span class=\"name\">" + name + "</span>");
    if (at == std::string::npos) return "";
    size_t start = dom.rfind("<section", at), end = dom.find("</section>", at);
    return dom.substr(start, end - start);
}

// The value shown for quantity key in section; "-" when none is shown.
std::string shownValue(const std::string& section, const std::string& key) {
    size_t at = section.find("data-quantity=\"" + key + "\"");
    if (at == std::string::npos) return "<no " + key + ">";
    std::string reading = section.substr(at, section.find("</div>", at) - at);
    std::smatch m;
    if (!std::regex_search(reading, m, std::regex("<data value=\"([^\"]*)\">([^<]*)</data>")))
        return "-";
    EXPECT_EQ(m[1], m[2]);
    return m[1];
}

std::vector<std::string> pathsOf(const std::string& section, const std::string& cls) {
    std::vector<std::string> paths;
    std::regex path("<path class=\"" + cls + "\" d=\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(section.begin(), section.end(), path);
         it != std::sregex_iterator(); ++it)
        paths.push_back((*it)[1]);
    return paths;
}

// A page with a full day of values, drawn from a history that the test fills.
std::string dayPage() {
    int64_t now = Sensor::clockNow();
    History history;
    Sensor cellar(nullptr, "/dev/ttyUSB0"), attic(nullptr, "/dev/ttyUSB1");
    std::vector<DeviceView> devices(2);
    devices[0].sensor = &cellar;
    devices[0].device = "/dev/ttyUSB0";
    devices[0].names = {"cellar", "garage"};
    devices[0].open = true;
    devices[1].sensor = &attic;
    devices[1].device = "/dev/ttyUSB1";
    devices[1].names = {"attic"};
    devices[1].reconnects = 3;
    const char* last[] = {"12.4", "71.5", "7.3"};
    for (int q = 0; q < 3; ++q) devices[0].readings[q] = makeReading(last[q], 4);
    srand(3);
    for (const Sensor* s : {&cellar, &attic}) {
        SensorHistory* ring = history.track(s);
        double base = s == &cellar ? 12 : 22;
        for (int64_t t = now - 86400; t <= now; t += 10) {
            // The attic's device was unplugged for two hours in the afternoon.
            if (s == &attic && t > now - 8 * 3600 && t < now - 6 * 3600) continue;
            double day = std::sin((t % 86400) * 2 * M_PI / 86400);
            double noise = (rand() % 21 - 10) / 100.0;
            int64_t minute = history.minuteOf(t);
            auto tenths = [](double v) { return std::round(v * 10) / 10; };
            ring->add(minute, TEMPERATURE, tenths(base + 3 * day + noise));
            ring->add(minute, HUMIDITY, tenths(65 - 10 * day + 8 * noise));
            ring->add(minute, DEWPOINT, tenths(base - 5 + 2 * day + noise));
        }
    }
    return renderStatusPage(devices, history, now, time(nullptr), "cellar-pi");
}

}  // namespace

TEST(StatusPageInBrowser, ShowsTheServedValuesAndChartsWithData) {
    if (chromium().empty())
        GTEST_SKIP() << "chromium is not installed (apt-get install chromium, or make deps as "
                        "root): the status page is not checked in a browser";
    TempDir dir;
    Pty pty;
    int port = freePort(), webPort = freePort();
    auto daemon = startDaemon(
        dir, configText(port, "metricsport = " + std::to_string(webPort) + "\n[sensors]\n" +
                                  pty.slavePath + " = cellar garage\n/nonexistent/x = attic\n"));

    // Values change with every line; the last one is repeated so that it stays fresh.
    Client client(port);
    for (int i = 0; i < 10; ++i)
        pty.write("temperature=" + std::to_string(18 + i) + ".5 humidity=" +
                  std::to_string(60 - i) + ".0 dewpoint=" + std::to_string(i - 5) + ".2\r\n");
    ASSERT_TRUE(eventually([&] { return client.query("cellar.3") == "valid=1;value=4.2;"; }));
    struct Feeder {
        std::atomic<bool> stop{false};
        std::thread thread;
        ~Feeder() {
            stop.store(true);
            thread.join();
        }
    } feeder;
    feeder.thread = std::thread([&] {
        while (!feeder.stop.load()) {
            pty.write("temperature=27.5 humidity=51.0 dewpoint=4.2\r\n");
            std::this_thread::sleep_for(500ms);  // the pace of a device, not a wait for an event
        }
    });

    std::string url = "http://127.0.0.1:" + std::to_string(webPort) + "/";
    std::string dom = runChromium(dir, {"--dump-dom", url});
    ASSERT_NE(dom.find("<html"), std::string::npos) << dom;
    std::ofstream(artefacts() + "/status-page.html") << dom;
    for (const char* name : {"cellar", "garage"}) {
        std::string section = sectionOf(dom, name);
        ASSERT_FALSE(section.empty()) << name;
        for (int q = 1; q <= 3; ++q) {
            std::string served = client.query(std::string(name) + "." + std::to_string(q));
            const char* key = q == 1 ? "temperature" : q == 2 ? "humidity" : "dewpoint";
            EXPECT_EQ("valid=1;value=" + shownValue(section, key) + ";", served) << name << key;
        }
        EXPECT_NE(section.find("<span class=\"state open\">open</span>"), std::string::npos);
        // Every chart shows the device's lines: a line over a band, or a dot
        // on a whisker while there is only one minute.
        auto lines = pathsOf(section, "line"), dots = pathsOf(section, "dot");
        EXPECT_EQ(lines.size() + dots.size(), 3u) << section;
        for (const std::string& d : lines) EXPECT_EQ(d.rfind("M", 0), 0u) << d;
        for (const std::string& d : dots) EXPECT_EQ(d.rfind("M", 0), 0u) << d;
        EXPECT_EQ(pathsOf(section, "band").size(), lines.size());
        EXPECT_EQ(pathsOf(section, "whisker").size(), dots.size());
    }
    std::string attic = sectionOf(dom, "attic");
    EXPECT_EQ(shownValue(attic, "temperature"), "-");
    EXPECT_TRUE(pathsOf(attic, "line").empty());
    EXPECT_TRUE(pathsOf(attic, "dot").empty());
    EXPECT_NE(attic.find("no valid reading in the last 24 hours"), std::string::npos);

    screenshot(dir, url, "status-phone.png", "390,844");
    screenshot(dir, url, "status-desktop.png", "1280,900");

    // A day of data, drawn by the same code, for the eye.
    std::string day = artefacts() + "/status-day.html";
    std::ofstream(day) << dayPage();
    screenshot(dir, "file://" + day, "status-day-phone.png", "390,844");
    screenshot(dir, "file://" + day, "status-day-phone-dark.png", "390,844", true);
    screenshot(dir, "file://" + day, "status-day-desktop.png", "1280,900");
}
