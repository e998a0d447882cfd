// The status page of the real daemon in headless Chromium: the values of the
// query service, charts with data and a raised alert; screenshots (a phone in
// dark mode too) go to artefacts/ of the build folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <regex>

#include "testutil.h"

namespace {
std::string chromium() {
    for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
        if (access(path, X_OK) == 0) return path;
    return "";
}

// Headless Chromium with args, for at most 90 s; its standard output.
std::string runChromium(const TempDir& dir, std::vector<std::string> args) {
    std::string profile = "--user-data-dir=" + dir.file("profile"), out, err;
    args.insert(args.begin(), {"/usr/bin/timeout", "90", chromium(), "--headless", "--no-sandbox",
                               "--disable-gpu", "--hide-scrollbars", "--no-first-run", profile});
    EXPECT_EQ(runProgram(args, dir.path, &out, &err), 0) << err;
    return out;
}

// The paths of class cls in section that draw something.
int paths(const std::string& section, const std::string& cls) {
    return countMatches(section, "<path class=\"" + cls + "\" d=\"M");
}

// The <section> of the page that lists name.
std::string sectionOf(const std::string& dom, const std::string& name) {
    size_t at = dom.find("<span class=\"name\">" + name + "</span>");
    if (at == std::string::npos) return "";
    size_t start = dom.rfind("<section", at);
    return dom.substr(start, dom.find("</section>", at) - start);
}

// The value shown for quantity key in section; "-" when none is shown.
std::string shownValue(const std::string& section, const std::string& key) {
    std::smatch m;
    std::regex shown("data-quantity=\"" + key +
                     "\"[\\s\\S]*?(<data value=\"([^\"]*)\">([^<]*)</data>|</div>)");
    if (!std::regex_search(section, m, shown)) return "<no " + key + ">";
    EXPECT_EQ(m[2], m[3]);
    return m[2].matched ? m[2].str() : "-";
}
}  // namespace

TEST(StatusPageInBrowser, ShowsTheServedValuesChartsWithDataAndTheRaisedAlert) {
    if (chromium().empty()) GTEST_SKIP() << "chromium is not installed (apt-get install chromium)";
    TempDir dir;
    Pty pty;
    int port = freePort(), webPort = freePort();
    auto daemon = startDaemon(
        dir, configText(port, "metricsport = " + std::to_string(webPort) + "\n[sensors]\n" +
                                  pty.slavePath + " = cellar garage\n/nonexistent/x = attic\n" +
                                  "[alerts]\ngarage.temperature = above 25\n"));
    Client client(port);
    for (int i = 0; i < 10; ++i)
        pty.write("temperature=" + std::to_string(18 + i) + ".5 humidity=" +
                  std::to_string(60 - i) + ".0 dewpoint=" + std::to_string(i - 5) + ".2\r\n");
    ASSERT_TRUE(eventually([&] { return client.query("cellar.3") == "valid=1;value=4.2;"; }));
    std::atomic<bool> stop{false};  // repeats the last line at a device's pace: it stays fresh
    std::thread feeder([&] {
        for (; !stop; std::this_thread::sleep_for(500ms))
            pty.write("temperature=27.5 humidity=51.0 dewpoint=4.2\r\n");
    });

    std::string url = "http://127.0.0.1:" + std::to_string(webPort) + "/";
    std::string dom = runChromium(dir, {"--dump-dom", url});
    mkdir(SENSOMARK_ARTEFACTS, 0755);
    std::ofstream(SENSOMARK_ARTEFACTS "/status-page.html") << dom;
    for (const char* name : {"cellar", "garage"}) {
        std::string section = sectionOf(dom, name);
        for (int q = 1; q <= 3; ++q) {
            const char* key = q == 1 ? "temperature" : q == 2 ? "humidity" : "dewpoint";
            EXPECT_EQ("valid=1;value=" + shownValue(section, key) + ";",
                      client.query(name + ("." + std::to_string(q))))
                << name << key;
        }
        EXPECT_TRUE(has(section, "<span class=\"state open\">open</span>"));
        // Each chart draws a line over a band, or a dot on a whisker for a single minute.
        EXPECT_EQ(paths(section, "line") + paths(section, "dot"), 3) << section;
        EXPECT_EQ(paths(section, "band"), paths(section, "line"));
        EXPECT_EQ(paths(section, "whisker"), paths(section, "dot"));
    }
    // The alert at the top (its marks on the card are alertdaemon_test's).
    EXPECT_TRUE(has(dom, "<h2>1 alert raised</h2>")) << dom;
    std::string attic = sectionOf(dom, "attic");
    EXPECT_EQ(shownValue(attic, "temperature"), "-");
    EXPECT_EQ(paths(attic, "line") + paths(attic, "dot"), 0);

    for (auto [file, size, flag] : {std::tuple{"status-phone.png", "390,844", "--no-first-run"},
                                    {"status-phone-dark.png", "390,844", "--force-dark-mode"},
                                    {"status-desktop.png", "1280,900", "--no-first-run"}}) {
        std::string path = SENSOMARK_ARTEFACTS "/" + std::string(file);
        unlink(path.c_str());
        runChromium(dir, {"--screenshot=" + path, "--window-size=" + std::string(size), flag, url});
        EXPECT_EQ(readFile(path).find("PNG"), 1u) << path;
    }
    stop = true;
    feeder.join();
}
