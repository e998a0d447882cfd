// The configuration reader and its table, on files written to a temporary
// directory.
#include "iniparser.h"

#include <gtest/gtest.h>

#include <climits>

#include "testutil.h"

using Lines = std::vector<std::string>;
namespace {

// The table read from text (which may hold NUL bytes), freed on destruction.
struct Loaded {
    explicit Loaded(const std::string& text) {
        dir.write("c.conf", text);
        d = iniparser_load(dir.file("c.conf").c_str());
    }
    ~Loaded() { iniparser_freedict(d); }
    // The table in order, one text per entry: "name" for a header, "key=value" otherwise.
    Lines entries() const {
        Lines out;
        for (int i = 0; d != nullptr && i < d->n; ++i)
            out.push_back(d->val[i] ? std::string(d->key[i]) + "=" + d->val[i] : d->key[i]);
        return out;
    }
    TempDir dir;
    dictionary* d = nullptr;
};
}  // namespace

TEST(IniReader, EveryLineFormGivesItsEntries) {
    const std::string longValue(1023 - 4, 'x');  // "a = " and this fill one read of 1023
    struct Case {
        std::string text;
        Lines entries;
    } cases[] = {
        {"", {}},
        {"; semicolon\n# hash\n   ; indented\n\t# tab\n\n  \t \r\n\f\v\n; [main]\n# port = 1\n",
         {}},
        // Values: blanks around key and value and comments after it go; quotes keep what
        // they hold but the blanks at its end.
        {"[m]\na=1\nb = 2 ; note\nc = 3# note\n  d\t=\t4 \t\ne = 5\r\nf = a = b\nlong key = v\n",
         {"m", "m:a=1", "m:b=2", "m:c=3", "m:d=4", "m:e=5", "m:f=a = b", "m:long key=v"}},
        {"a = '1'\nb = \"2\"\nc = \"x ; y # z\"\nd = 'say \"hi\"'\ne = \"it's\" ; note\n"
         "f = \"x\" trailing\ng = \" padded \"\nh = \"open\ni = \"\"\nj = ''\nk = \"\" ; note\n",
         {":a=1", ":b=2", ":c=x ; y # z", ":d=say \"hi\"", ":e=it's", ":f=x", ":g= padded",
          ":h=\"open", ":i=", ":j=", ":k="}},
        {"/dev/ttyUSB0 = a  b\n", {":/dev/ttyUSB0=a  b"}},
        // A key without a value, or a line without "=" or without key, is no entry.
        {"[main]\nport =\nport =   \t\nport = ; note\nport = # note\nport 4711\n", {"main"}},
        {"= 4711\n  =x\n", {}},
        // Headers.
        {"  [main]\nk = v\n", {"main", "main:k=v"}},
        {"[ main ]\nk = v\n", {" main ", " main :k=v"}},
        {"[main] ; note\nk = v\n", {"main", "main:k=v"}},
        {"[a]b]\nk = v\n", {"a", "a:k=v"}},
        {"[]\nk = v\n", {":k=v"}},
        {"[main\nk = v\n", {"main", "main:k=v"}},  // no "]": the name runs to the line end
        {"[main = x\r\n", {"main = x"}},
        {"[\nk = v\n", {":k=v"}},  // "[" alone names nothing
        // Keys before any header, repeated keys and repeated headers.
        {"port = 1\n[main]\nport = 2\n", {":port=1", "main", "main:port=2"}},
        {"[s]\n/dev/a = one\n/dev/b = two\n/dev/a = three\n",
         {"s", "s:/dev/a=three", "s:/dev/b=two"}},
        {"[s]\na = 1\n[main]\np = 2\n[s]\nb = 3\n", {"s", "s:a=1", "main", "main:p=2", "s:b=3"}},
        // Lines are read in pieces of 1023 characters; the rest is a line of its own.
        {"a = " + longValue + "b = 2\n", {":a=" + longValue, ":b=2"}},
        {"a = " + longValue + "\nb = 2\n", {":a=" + longValue, ":b=2"}},
        {"; " + std::string(1021, 'c') + "k = v\n", {":k=v"}},
        {std::string("a = 1\0junk = 9\n\0b = 2\nc = 3\n", 27),
         {":a=1", ":c=3"}},  // NUL ends a line
    };
    for (const Case& c : cases) {
        Loaded loaded(c.text);
        ASSERT_NE(loaded.d, nullptr) << c.text;
        EXPECT_EQ(loaded.entries(), c.entries) << c.text;
    }
}

TEST(IniReader, GettersReadValuesLikeStrtolOrGiveTheDefault) {
    const std::string nines(23, '9');
    const std::string values[] = {"4711",        "0x10", "010",      "-5",         "+7",
                                  "12abc",       "abc",  "''",       "0x7fffffff", "2147483648",
                                  "-2147483649", nines,  "-" + nines};
    const int wants[] = {4711, 16, 8, -5, 7, 12, 0, 0, INT_MAX, INT_MAX, INT_MIN, INT_MAX, INT_MIN};
    for (size_t i = 0; i < std::size(values); ++i) {
        Loaded loaded("[main]\nport = " + values[i] + "\n");
        EXPECT_EQ(iniparser_getint(loaded.d, "main:port", 4000), wants[i]) << values[i];
        EXPECT_STREQ(iniparser_getstring(loaded.d, "main:port", nullptr),
                     i == 7 ? "" : values[i].c_str());
    }
    Loaded loaded("[Main]\nPort = 5000\n");
    for (const char* absent : {"main:port", "Main:port", "Main:Port ", "Main", "absent"}) {
        EXPECT_EQ(iniparser_getint(loaded.d, absent, 4000), 4000) << absent;
        EXPECT_STREQ(iniparser_getstring(loaded.d, absent, "def"), "def") << absent;
    }
    EXPECT_EQ(iniparser_getint(loaded.d, "Main:Port", 4000), 5000);
    EXPECT_EQ(iniparser_getstring(loaded.d, "absent", nullptr), nullptr);
}

TEST(IniReader, SectionKeysComeInTableOrder) {
    Loaded loaded(
        "[sensors]\n/dev/b = 1\n[sensors2]\n/dev/x = 9\n[sensorsold]\n/dev/y = 9\n"
        "[sensors:z]\n[Sensors]\n/dev/q = 1\n[sensors]\n/dev/a = 2\n/dev/c = 3\n");
    const dictionary* d = loaded.d;
    auto keys = [&](const char* section) {
        Lines out;
        for (int i = 0; i < iniparser_getnseckeys(d, section); ++i)
            out.push_back(iniparser_getseckeyname(d, section, i));
        return out;
    };
    EXPECT_EQ(keys("sensors"), (Lines{"sensors:/dev/b", "sensors:/dev/a", "sensors:/dev/c"}));
    EXPECT_EQ(keys("sensors2"), Lines{"sensors2:/dev/x"});
    EXPECT_EQ(keys("Sensors"), Lines{"Sensors:/dev/q"});
    for (int beyond : {3, -1, INT_MIN})
        EXPECT_EQ(iniparser_getseckeyname(d, "sensors", beyond), nullptr);
    for (const char* none : {"sensors:z", "sensor", "absent"})
        EXPECT_EQ(iniparser_getnseckeys(d, none), 0);
    EXPECT_EQ(iniparser_getseckeyname(d, "absent", 0), nullptr);
    EXPECT_EQ(iniparser_getnseckeys(Loaded("k = 1\n").d, ""), 1);
}

TEST(IniReader, KeepsTheFirstPlaceOfEveryKeyPastTheFirst128) {
    std::string text;
    Lines want;
    for (int i = 0; i < 300; ++i) {
        text += "k" + std::to_string(i) + " = " + std::to_string(i * 2) + "\n";
        want.push_back(":k" + std::to_string(i) + "=" + std::to_string(i * 2));
    }
    want[7] = ":k7=seven";
    EXPECT_EQ(Loaded(text + "k7 = seven\n").entries(), want);
}

// ---- Error paths ----

TEST(IniReader, UnreadablePathGivesNullAndANullTableHasNoSections) {
    TempDir dir;
    EXPECT_EQ(iniparser_load(dir.file("missing.conf").c_str()), nullptr);
    // A directory opens but holds no lines: it was found, and its table is empty.
    dictionary* d = iniparser_load(dir.path.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(iniparser_getnseckeys(d, "sensors"), 0);
    iniparser_freedict(d);
    EXPECT_EQ(iniparser_load(nullptr), nullptr);
    EXPECT_EQ(iniparser_getnseckeys(nullptr, "sensors"), -1);
    EXPECT_EQ(iniparser_getseckeyname(nullptr, "sensors", 0), nullptr);
    iniparser_freedict(nullptr);
}
