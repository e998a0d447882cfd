// Unit tests of the configuration reader and its table, on files written to a
// temporary directory.
#include "iniparser.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "dictionary.h"

namespace {

// The table in order, one text per entry: "name" for a header, "key=value" otherwise.
std::vector<std::string> entries(const dictionary* d) {
    std::vector<std::string> out;
    for (int i = 0; i < d->n; ++i) {
        out.push_back(d->val[i] ? std::string(d->key[i]) + "=" + d->val[i] : d->key[i]);
    }
    return out;
}

class IniReader : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/inireader.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override {
        iniparser_freedict(d_);
        for (const std::string& f : files_) unlink(f.c_str());
        rmdir(dir_.c_str());
    }

    // Writes text (which may hold NUL bytes) to a new file and returns its path.
    std::string write(const std::string& text) {
        std::string path = dir_ + "/conf" + std::to_string(files_.size());
        FILE* f = fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (f == nullptr) return path;
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
        files_.push_back(path);
        return path;
    }
    // Parses text; the table lives until the next call or the end of the test.
    const dictionary* load(const std::string& text) {
        iniparser_freedict(d_);
        d_ = iniparser_load(write(text).c_str());
        EXPECT_NE(d_, nullptr);
        return d_;
    }

    std::string dir_;
    std::vector<std::string> files_;
    dictionary* d_ = nullptr;
};

TEST_F(IniReader, CommentsAndBlankLinesGiveAnEmptyTable) {
    const dictionary* d = load(
        "; semicolon\n# hash\n   ; indented\n\t# tab\n\n  \t \r\n\f\v\n; [main]\n# port = 1\n");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->n, 0);
}

TEST_F(IniReader, EmptyFileGivesAnEmptyTable) {
    const dictionary* d = load("");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->n, 0);
    EXPECT_EQ(iniparser_getnseckeys(d, "sensors"), 0);
}

TEST_F(IniReader, ValueForms) {
    struct Case {
        const char* line;
        const char* fullKey;
        const char* value;  // null: no entry
    };
    const Case cases[] = {
        {"port=4711", "main:port", "4711"},
        {"port = 4711", "main:port", "4711"},
        {"port = 4711 ; note", "main:port", "4711"},
        {"port = 4711# note", "main:port", "4711"},
        {"port = '4711'", "main:port", "4711"},
        {"port = \"4711\"", "main:port", "4711"},
        {"  port\t=\t4711 \t", "main:port", "4711"},
        {"port = 4711\r", "main:port", "4711"},
        {"port = \"a ; b # c\"", "main:port", "a ; b # c"},
        {"port = 'say \"hi\"'", "main:port", "say \"hi\""},
        {"port = \"it's\" ; note", "main:port", "it's"},
        {"port = \"x\" trailing", "main:port", "x"},
        {"port = \" padded \"", "main:port", " padded"},
        {"port = \"\"", "main:port", ""},
        {"port = ''", "main:port", ""},
        {"port = \"\" ; note", "main:port", ""},
        {"port = \"open", "main:port", "\"open"},
        {"port = a = b", "main:port", "a = b"},
        {"long key name = v", "main:long key name", "v"},
        {"/dev/ttyUSB0 = cellar  garage", "main:/dev/ttyUSB0", "cellar  garage"},
        {"port =", "main:port", nullptr},
        {"port =   \t", "main:port", nullptr},
        {"port = ; note", "main:port", nullptr},
        {"port = # note", "main:port", nullptr},
        {"port 4711", "main:port 4711", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const dictionary* d = load(std::string("[main]\n") + c.line + "\n");
        ASSERT_NE(d, nullptr);
        if (c.value == nullptr) {
            EXPECT_EQ(entries(d), std::vector<std::string>{"main"});
        } else {
            EXPECT_EQ(entries(d),
                      (std::vector<std::string>{"main", c.fullKey + std::string("=") + c.value}));
        }
    }
}

TEST_F(IniReader, LineWithoutKeyIsIgnored) {
    EXPECT_EQ(load("= 4711\n  =x\n")->n, 0);
}

TEST_F(IniReader, SectionHeaders) {
    struct Case {
        const char* header;
        const char* section;  // the header's entry; "" when the line is no header
        const char* fullKey;  // where "k = v" on the next line goes
    };
    const Case cases[] = {
        {"[main]", "main", "main:k"},
        {"  [main]", "main", "main:k"},
        {"[Sensors]", "Sensors", "Sensors:k"},
        {"[ main ]", " main ", " main :k"},
        {"[main] ; note", "main", "main:k"},
        {"[a]b]", "a", "a:k"},
        {"[]", "", ":k"},
        {"[main", "", ":k"},  // no closing "]": not a header
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header);
        const dictionary* d = load(std::string(c.header) + "\nk = v\n");
        std::vector<std::string> want;
        if (*c.section != '\0') want.push_back(c.section);
        want.push_back(c.fullKey + std::string("=v"));
        EXPECT_EQ(entries(d), want);
    }
}

TEST_F(IniReader, UnterminatedHeaderWithEqualsIsAKeyLine) {
    EXPECT_EQ(entries(load("[main = x\n")), std::vector<std::string>{":[main=x"});
}

TEST_F(IniReader, SectionNameCaseIsKept) {
    const dictionary* d = load("[Sensors]\n/dev/ttyUSB0 = a\n[Main]\nPort = 5000\n");
    EXPECT_EQ(iniparser_getnseckeys(d, "sensors"), 0);
    EXPECT_EQ(iniparser_getnseckeys(d, "Sensors"), 1);
    EXPECT_STREQ(iniparser_getseckeyname(d, "Sensors", 0), "Sensors:/dev/ttyUSB0");
    EXPECT_EQ(iniparser_getint(d, "main:port", 4000), 4000);
    EXPECT_EQ(iniparser_getint(d, "Main:Port", 4000), 5000);
}

TEST_F(IniReader, RepeatedKeyKeepsFirstPlaceAndLastValue) {
    const dictionary* d = load("[sensors]\n/dev/a = one\n/dev/b = two\n/dev/a = three\n");
    EXPECT_EQ(entries(d),
              (std::vector<std::string>{"sensors", "sensors:/dev/a=three", "sensors:/dev/b=two"}));
}

TEST_F(IniReader, RepeatedHeadersFormOneSection) {
    const dictionary* d = load("[sensors]\na = 1\n[main]\np = 2\n[sensors]\nb = 3\n");
    EXPECT_EQ(entries(d), (std::vector<std::string>{"sensors", "sensors:a=1", "main", "main:p=2",
                                                    "sensors:b=3"}));
    EXPECT_EQ(iniparser_getnseckeys(d, "sensors"), 2);
    EXPECT_STREQ(iniparser_getseckeyname(d, "sensors", 1), "sensors:b");
}

TEST_F(IniReader, KeysBeforeAnyHeaderGetAnEmptySection) {
    const dictionary* d = load("port = 1\n[main]\nport = 2\n");
    EXPECT_EQ(entries(d), (std::vector<std::string>{":port=1", "main", "main:port=2"}));
    EXPECT_EQ(iniparser_getnseckeys(d, ""), 1);
}

TEST_F(IniReader, LongLineIsReadIn1023CharacterPieces) {
    // 1023 characters fill one read; the rest of the line is a line of its own.
    std::string value(1023 - 4, 'x');
    const dictionary* d = load("a = " + value + "b = 2\n");
    EXPECT_EQ(entries(d), (std::vector<std::string>{":a=" + value, ":b=2"}));

    // A line of exactly 1023 characters leaves only its newline for the next read.
    d = load("a = " + value + "\nb = 2\n");
    EXPECT_EQ(entries(d), (std::vector<std::string>{":a=" + value, ":b=2"}));

    // The rest of a long comment is no comment.
    d = load("; " + std::string(1021, 'c') + "k = v\n");
    EXPECT_EQ(entries(d), std::vector<std::string>{":k=v"});
}

TEST_F(IniReader, NulByteEndsTheLine) {
    const dictionary* d = load(std::string("a = 1\0junk = 9\n\0b = 2\nc = 3\n", 27));
    EXPECT_EQ(entries(d), (std::vector<std::string>{":a=1", ":c=3"}));
}

TEST_F(IniReader, GetIntReadsLikeStrtolWithBase0AndSaturates) {
    struct Case {
        const char* value;
        int want;
    };
    const Case cases[] = {
        {"4711", 4711},
        {"0x10", 16},
        {"010", 8},
        {"-5", -5},
        {"+7", 7},
        {"12abc", 12},
        {"abc", 0},
        {"''", 0},
        {"0x7fffffff", INT_MAX},
        {"2147483648", INT_MAX},
        {"-2147483649", INT_MIN},
        {"99999999999999999999999", INT_MAX},
        {"-99999999999999999999999", INT_MIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const dictionary* d = load(std::string("[main]\nport = ") + c.value + "\n");
        EXPECT_EQ(iniparser_getint(d, "main:port", 4000), c.want);
    }
}

TEST_F(IniReader, GetIntGivesDefaultWhenAbsent) {
    const dictionary* d = load("[main]\nport = 1\n");
    EXPECT_EQ(iniparser_getint(d, "main:Port", 4000), 4000);
    EXPECT_EQ(iniparser_getint(d, "main", 4000), 4000);  // a header has no value
    EXPECT_EQ(iniparser_getint(d, nullptr, 4000), 4000);
    EXPECT_EQ(iniparser_getint(nullptr, "main:port", 4000), 4000);
}

TEST_F(IniReader, GetStringGivesDefaultWhenAbsent) {
    const dictionary* d = load("[main]\nlogfile = /tmp/x.log\n");
    EXPECT_STREQ(iniparser_getstring(d, "main:logfile", "def"), "/tmp/x.log");
    EXPECT_STREQ(iniparser_getstring(d, "main:logFile", "def"), "def");
    EXPECT_STREQ(iniparser_getstring(d, "main", "def"), "def");
    EXPECT_STREQ(iniparser_getstring(d, nullptr, "def"), "def");
    EXPECT_STREQ(iniparser_getstring(nullptr, "main:logfile", "def"), "def");
    EXPECT_EQ(iniparser_getstring(d, "absent", nullptr), nullptr);
}

TEST_F(IniReader, SectionKeysComeInTableOrder) {
    const dictionary* d = load(
        "[sensors]\n/dev/b = 1\n[sensors2]\n/dev/x = 9\n[sensorsold]\n/dev/y = 9\n"
        "[sensors:z]\n[sensors]\n/dev/a = 2\n/dev/c = 3\n");
    ASSERT_EQ(iniparser_getnseckeys(d, "sensors"), 3);
    EXPECT_STREQ(iniparser_getseckeyname(d, "sensors", 0), "sensors:/dev/b");
    EXPECT_STREQ(iniparser_getseckeyname(d, "sensors", 1), "sensors:/dev/a");
    EXPECT_STREQ(iniparser_getseckeyname(d, "sensors", 2), "sensors:/dev/c");
    EXPECT_EQ(iniparser_getseckeyname(d, "sensors", 3), nullptr);
    EXPECT_EQ(iniparser_getseckeyname(d, "sensors", -1), nullptr);
    EXPECT_EQ(iniparser_getseckeyname(d, "sensors", INT_MIN), nullptr);
    EXPECT_EQ(iniparser_getnseckeys(d, "sensors2"), 1);
    EXPECT_EQ(iniparser_getnseckeys(d, "sensors:z"), 0);
    EXPECT_EQ(iniparser_getnseckeys(d, "sensor"), 0);
    EXPECT_EQ(iniparser_getnseckeys(d, "absent"), 0);
    EXPECT_EQ(iniparser_getseckeyname(d, "absent", 0), nullptr);
}

TEST_F(IniReader, WorkedExample) {
    const dictionary* d = load(
        "; sensors of the house\n"
        "[main]\n"
        "port = 4711\n"
        "logfile = /var/log/house.log\n"
        "loglevel = stat\n"
        "[sensors]\n"
        "/dev/ttyUSB0 = cellar  garage\n"
        "/dev/ttyUSB1 = attic ; upstairs\n");
    EXPECT_EQ(entries(d),
              (std::vector<std::string>{
                  "main", "main:port=4711", "main:logfile=/var/log/house.log", "main:loglevel=stat",
                  "sensors", "sensors:/dev/ttyUSB0=cellar  garage", "sensors:/dev/ttyUSB1=attic"}));
    EXPECT_EQ(iniparser_getint(d, "main:port", 4000), 4711);
    EXPECT_STREQ(iniparser_getstring(d, "main:loglevel", ""), "stat");
    ASSERT_EQ(iniparser_getnseckeys(d, "sensors"), 2);
    EXPECT_STREQ(iniparser_getseckeyname(d, "sensors", 0) + 8, "/dev/ttyUSB0");
    EXPECT_STREQ(iniparser_getstring(d, iniparser_getseckeyname(d, "sensors", 1), nullptr),
                 "attic");
}

// ---- Error paths ----

TEST_F(IniReader, UnreadablePathGivesNull) {
    EXPECT_EQ(iniparser_load((dir_ + "/missing.conf").c_str()), nullptr);
    EXPECT_EQ(iniparser_load(dir_.c_str()), nullptr);  // a directory opens but cannot be read
    EXPECT_EQ(iniparser_load(nullptr), nullptr);
}

TEST_F(IniReader, NullTableHasNoSections) {
    EXPECT_EQ(iniparser_getnseckeys(nullptr, "sensors"), -1);
    EXPECT_EQ(iniparser_getseckeyname(nullptr, "sensors", 0), nullptr);
    iniparser_freedict(nullptr);
}

// ---- The table ----

TEST(Dictionary, KeepsOrderAndGrowsPast128Entries) {
    dictionary* d = dictionary_new();
    EXPECT_EQ(d->size, 128);
    for (int i = 0; i < 1000; ++i) {
        dictionary_set(d, ("k" + std::to_string(i)).c_str(), std::to_string(i * 2).c_str());
    }
    dictionary_set(d, "k7", "seven");
    dictionary_set(d, "header", nullptr);
    ASSERT_EQ(d->n, 1001);
    EXPECT_EQ(d->size, 1024);
    for (int i = 0; i < 1000; ++i) {
        std::string key = "k" + std::to_string(i);
        EXPECT_EQ(d->key[i], key);
        EXPECT_STREQ(dictionary_get(d, key.c_str(), nullptr),
                     i == 7 ? "seven" : std::to_string(i * 2).c_str());
    }
    EXPECT_EQ(dictionary_get(d, "header", "def"), nullptr);
    EXPECT_EQ(d->key[1001], nullptr);
    dictionary_del(d);
}

TEST(Dictionary, LookupIsExactAndCaseSensitive) {
    dictionary* d = dictionary_new();
    dictionary_set(d, "main:port", "1");
    dictionary_set(d, "Main:port", "2");
    EXPECT_STREQ(dictionary_get(d, "main:port", "x"), "1");
    EXPECT_STREQ(dictionary_get(d, "Main:port", "x"), "2");
    EXPECT_STREQ(dictionary_get(d, "main:port ", "x"), "x");
    EXPECT_STREQ(dictionary_get(d, "main:por", "x"), "x");
    EXPECT_EQ(d->hash[0], dictionary_hash("main:port"));
    dictionary_set(d, "main:port", dictionary_get(d, "main:port", nullptr));  // self-assignment
    EXPECT_STREQ(dictionary_get(d, "main:port", "x"), "1");
    dictionary_del(d);
}

}  // namespace
