// The alert rules and the Grafana dashboard of packaging/: the rules' promtool
// unit tests, every query of the dashboard as PromQL, and every sensomark_ name
// of both against a scrape of the real daemon with a device and an MQTT broker.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "brokerutil.h"

using json = nlohmann::json;

namespace {
const std::string PACKAGING = SENSOMARK_SOURCE_DIR "/packaging/";
const std::string RULES = PACKAGING + "prometheus/sensomark.rules.yml";
const std::string RULE_TESTS = PACKAGING + "prometheus/sensomark.rules.test.yml";
const std::string DASHBOARD = PACKAGING + "grafana/sensomark.json";

#define SKIP_WITHOUT_PROMTOOL()                                                           \
    if (std::string out; runProgram({"/bin/sh", "-c", "command -v promtool"}, "/", &out)) \
    GTEST_SKIP() << "promtool is not installed (apt-get install prometheus)"

// promtool's exit code for args; its output goes to *out.
int promtool(std::vector<std::string> args, std::string* out) {
    args.insert(args.begin(), {"/usr/bin/env", "promtool"});
    return runProgram(args, "/", out, out);
}

json dashboard() {
    return json::parse(readFile(DASHBOARD));
}

// Calls visit with node and every object below it.
template <typename F>
void eachObject(const json& node, F visit) {
    if (node.is_object()) visit(node);
    if (node.is_structured())
        for (const json& child : node) eachObject(child, visit);
}

// The PromQL of the dashboard's queries: each panel target's expression and the
// series selector of each variable's label_values(), with Grafana's variables
// replaced by values of their kind.
std::vector<std::string> dashboardQueries(const json& board) {
    static const std::regex labelValues(R"(label_values\((.+), *\w+\))"),
        builtIn(R"(\$__\w+|\$\{__[^}]*\})"), variable(R"(\$\w+|\$\{[^}]*\})");
    std::vector<std::string> queries;
    eachObject(board, [&](const json& object) {
        std::smatch match;
        std::string query = object.value("expr", "");
        if (object.value("type", "") == "query") {
            query = object.value("definition", "");
            EXPECT_TRUE(std::regex_match(query, match, labelValues)) << query;
            query = match[1];
        }
        if (!query.empty())
            queries.push_back(
                std::regex_replace(std::regex_replace(query, builtIn, "5m"), variable, "x"));
    });
    return queries;
}
}  // namespace

TEST(AlertRules, PassPromtoolsCheckAndTheirUnitTests) {
    SKIP_WITHOUT_PROMTOOL();
    std::string out;
    EXPECT_EQ(promtool({"check", "rules", RULES}, &out), 0) << out;
    EXPECT_EQ(promtool({"test", "rules", RULE_TESTS}, &out), 0) << out;
}

TEST(Dashboard, QueriesAreAcceptedByPromtool) {
    SKIP_WITHOUT_PROMTOOL();
    json board = dashboard();
    std::vector<std::string> queries = dashboardQueries(board);
    ASSERT_GE(queries.size(), 10u);
    // As recording rules; a JSON string is a YAML string too.
    std::string rules = "groups:\n  - name: dashboard\n    rules:\n";
    for (size_t i = 0; i < queries.size(); ++i)
        rules += "      - record: query_" + std::to_string(i) +
                 "\n        expr: " + json(queries[i]).dump() + "\n";
    TempDir dir;
    dir.write("dashboard.rules.yml", rules);
    std::string out;
    EXPECT_EQ(promtool({"check", "rules", dir.file("dashboard.rules.yml")}, &out), 0)
        << out << rules;
}

TEST(Dashboard, ReadsItsDataSourceAndSensorsFromVariables) {
    json board = dashboard();
    std::map<std::string, json> variables;
    for (const json& v : board["templating"]["list"]) variables[v["name"]] = v;
    EXPECT_EQ(variables["datasource"].value("type", ""), "datasource");
    EXPECT_EQ(variables["datasource"].value("query", ""), "prometheus");
    // A query bound to one data source's uid breaks on every other Grafana.
    size_t bound = 0;
    eachObject(board, [&](const json& object) {
        if (!object.contains("datasource")) return;
        EXPECT_EQ(object["datasource"].value("uid", ""), "${datasource}") << object.dump();
        ++bound;
    });
    EXPECT_GT(bound, board["panels"].size());
}

// ---- Against the real daemon

TEST(AlertsAndDashboard, NameOnlyMetricsTheDaemonServes) {
    SKIP_WITHOUT_MOSQUITTO();
    TempDir dir;
    Broker broker(dir);
    std::string link = dir.file("ttySIM");
    Process sim({SENSOMARK_SIM, "--link", link, "--interval", "100", "--quiet"}, dir.path);
    ASSERT_TRUE(sim.waitFor("device /dev/")) << sim.output();
    int metricsPort = freePort();
    auto daemon =
        startDaemon(dir, configText(freePort(), "metricsport = " + std::to_string(metricsPort) +
                                                    "\n[sensors]\n" + link + " = cellar\n" +
                                                    mqttSection(broker.port, "t")));
    std::string metrics;  // every family with a sample: fresh values, MQTT connected
    ASSERT_TRUE(eventually(
        [&] {
            metrics = scrape(metricsPort);
            return has(metrics, "\nsensomark_dewpoint_celsius{") &&
                   has(metrics, "\nsensomark_mqtt_connected 1\n");
        },
        10s))
        << metrics << daemon->output();
    std::set<std::string> served;
    std::istringstream lines(metrics);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '#')
            served.insert(line.substr(0, line.find_first_of("{ ")));

    // Every name of the sensomark_ families the rules and the dashboard select.
    const std::string text = readFile(RULES) + readFile(DASHBOARD);
    static const std::regex name(R"(\bsensomark_\w+)");
    size_t names = 0;
    for (std::sregex_iterator it(text.begin(), text.end(), name), end; it != end; ++it, ++names)
        EXPECT_TRUE(served.count(it->str())) << it->str() << "\n" << metrics;
    EXPECT_GE(names, 20u);
}
