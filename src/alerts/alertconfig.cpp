// Reading and checking the keys of section [alerts].
#include "alertconfig.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "iniparser.h"
#include "syserror.h"
#include "tool.h"

namespace {

const char SECTION[] = "alerts";
const size_t MAX_DURATION_DIGITS = 9;

// Sets *error to the log line of a problem with key and returns false.
bool fail(std::string* error, const std::string& key, const std::string& text) {
    *error = "invalid [alerts] key '" + key + "': " + text;
    return false;
}

bool parseLimit(const std::string& text, double* limit) {
    return parseDecimal(text, true, limit);
}

// One RULE (words split at blanks) into *rule; false with *why.
bool parseRule(const std::vector<std::string>& words, AlertRule* rule, std::string* why) {
    if (words.empty()) {
        *why = "an empty rule";
        return false;
    }
    std::string text;
    for (const std::string& w : words) text += (text.empty() ? "" : " ") + w;
    auto bad = [&](const std::string& what) {
        *why = "'" + text + "': " + what;
        return false;
    };
    if (words[0] != "above" && words[0] != "below")
        return bad("a rule starts with above or below, not '" + words[0] + "'");
    rule->above = words[0] == "above";
    if (words.size() < 2) return bad("above and below need a limit");
    if (!parseLimit(words[1], &rule->limit)) return bad("'" + words[1] + "' is not a number");
    rule->limitText = words[1];
    bool hasFor = false, hasClear = false;
    for (size_t i = 2; i < words.size(); i += 2) {
        const std::string& word = words[i];
        if (word != "for" && word != "clear")
            return bad("'" + word + "' where for or clear may follow");
        bool& seen = word == "for" ? hasFor : hasClear;
        if (seen) return bad(word + " given twice");
        seen = true;
        if (i + 1 >= words.size()) return bad(word + " needs a value");
        const std::string& value = words[i + 1];
        if (word == "for" && !parseDuration(value, &rule->forS))
            return bad("'" + value + "' is not a duration (a whole number with s, m or h)");
        if (word == "clear") {
            if (!parseLimit(value, &rule->clear)) return bad("'" + value + "' is not a number");
            rule->clearText = value;
        }
    }
    if (!hasClear) {
        rule->clear = rule->limit;
        rule->clearText = rule->limitText;
    }
    if (rule->above ? rule->clear > rule->limit : rule->clear < rule->limit)
        return bad("the clear level " + rule->clearText + " is " +
                   (rule->above ? "above" : "below") + " the limit " + rule->limitText);
    rule->text = text;
    return true;
}

// Key NAME.QUANTITY with its value: the rules, appended to *rules.
bool parseRules(const std::string& key, const std::string& value,
                const std::set<std::string>& sensorNames, std::vector<AlertRule>* rules,
                std::string* error) {
    size_t dot = key.rfind('.');
    if (dot == std::string::npos)
        return fail(error, key, "not notify, stale or a sensor name with a quantity");
    AlertRule rule;
    rule.name = key.substr(0, dot);
    if (sensorNames.count(rule.name) == 0)
        return fail(error, key, "no sensor is named '" + rule.name + "' under [sensors]");
    const Quantity* quantity = quantityOfKey(key.substr(dot + 1));
    if (quantity == nullptr)
        return fail(
            error, key,
            "unknown quantity '" + key.substr(dot + 1) + "' (temperature, humidity or dewpoint)");
    rule.quantity = quantity->type;
    // Every piece between commas is a rule: "above 70," has an empty one.
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        size_t comma = value.find(',', start);
        parts.push_back(value.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    std::set<std::string> texts;
    for (const std::string& part : parts) {
        std::vector<std::string> words;
        stringTokenize(part, words, " \t");
        AlertRule parsed = rule;
        std::string why;
        if (!parseRule(words, &parsed, &why)) return fail(error, key, why);
        if (!texts.insert(parsed.text).second)
            return fail(error, key, "'" + parsed.text + "' given twice");
        rules->push_back(parsed);
    }
    return true;
}

// The notify program: an executable regular file, its path made absolute
// (the daemon changes to "/").
bool checkNotify(const std::string& value, std::string* path, std::string* error) {
    if (value.empty()) return fail(error, "notify", "needs the path of a program");
    *path = value;
    char cwd[PATH_MAX];
    if (value[0] != '/' && getcwd(cwd, sizeof(cwd)) != nullptr)
        *path = std::string(cwd) + "/" + value;
    struct stat st;
    if (stat(path->c_str(), &st) != 0)
        return fail(error, "notify", "'" + value + "': " + errorText(errno));
    if (!S_ISREG(st.st_mode) || (st.st_mode & 0111) == 0)
        return fail(error, "notify", "'" + value + "' is not an executable regular file");
    return true;
}

}  // namespace

bool parseDuration(const std::string& text, int64_t* seconds) {
    if (text.size() < 2 || text.size() > MAX_DURATION_DIGITS + 1) return false;
    std::string digits = text.substr(0, text.size() - 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
    int64_t unit = 0;
    switch (text.back()) {
        case 's':
            unit = 1;
            break;
        case 'm':
            unit = 60;
            break;
        case 'h':
            unit = 3600;
            break;
        default:
            return false;
    }
    *seconds = std::stoll(digits) * unit;
    return true;
}

bool parseAlertConfig(const std::vector<std::pair<std::string, std::string>>& keys,
                      const std::set<std::string>& sensorNames, AlertConfig* config,
                      std::string* error) {
    AlertConfig c;
    for (const auto& [key, value] : keys) {
        if (key == "notify") {
            if (!checkNotify(value, &c.notify, error)) return false;
        } else if (key == "stale") {
            if (!parseDuration(value, &c.staleS) || c.staleS == 0)
                return fail(
                    error, key,
                    "'" + value + "' is not a duration above 0 (a whole number with s, m or h)");
            c.staleText = value;
        } else if (!parseRules(key, value, sensorNames, &c.rules, error)) {
            return false;
        }
    }
    *config = std::move(c);
    return true;
}

std::unique_ptr<AlertConfig> readAlertSection(const dictionary* d,
                                              const std::set<std::string>& sensorNames,
                                              std::string* error) {
    error->clear();
    // A header is stored as an entry without a value: present but null.
    static const char absent[] = "";
    if (d == nullptr || dictionary_get(d, SECTION, absent) == absent) return nullptr;
    std::vector<std::pair<std::string, std::string>> keys;
    int count = iniparser_getnseckeys(d, SECTION);
    for (int i = 0; i < count; ++i) {
        const char* key = iniparser_getseckeyname(d, SECTION, i);
        keys.emplace_back(key + sizeof(SECTION), iniparser_getstring(d, key, ""));
    }
    auto config = std::make_unique<AlertConfig>();
    if (!parseAlertConfig(keys, sensorNames, config.get(), error)) return nullptr;
    return config;
}
