// Key/value configuration: syntax, defaults, integers, texts that outlive a reload, and reads
// concurrent with a load.
#include "cConfig.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "logCapture.h"
#include "testSupport.h"

using testsupport::LogCapture;
using testsupport::ScratchDir;
using testsupport::writeFile;

namespace {

class cConfigTest : public ::testing::Test {
protected:
    ScratchDir dir{"cconfig"};
    LogCapture log{"cConfig"};

    void load(const std::string& content) {
        writeFile(dir / "test.conf", content);
        ASSERT_TRUE(cConfig::load((dir / "test.conf").c_str()));
    }
    std::string get(const char* key) {
        const char* v = cConfig::getString(key, nullptr);
        return v ? v : "<absent>";
    }
};

}  // namespace

TEST_F(cConfigTest, SyntaxCommentsTrimmingAndBadLines) {
    load(
        "# comment = not a key\n"
        "! also a comment\n"
        "\n"
        "   \t\n"
        "  borl1d.device.name   =   Borl100  \n"
        "vexad.host=127.0.0.1\r\n"
        "empty.value =\n"
        "url = a=b=c\n"
        "key with space = v\n"
        "no equals sign here\n"
        " = value without key\n"
        "dup=first\n"
        "dup=second\n"
        "last.line.without.newline=yes");
    EXPECT_EQ(get("borl1d.device.name"), "Borl100");
    EXPECT_EQ(get("vexad.host"), "127.0.0.1");
    EXPECT_EQ(get("empty.value"), "");
    EXPECT_EQ(get("url"), "a=b=c");
    EXPECT_EQ(get("key with space"), "v");
    EXPECT_EQ(get("dup"), "second");
    EXPECT_EQ(get("last.line.without.newline"), "yes");
    EXPECT_EQ(get("# comment"), "<absent>");
    EXPECT_EQ(get("! also a comment"), "<absent>");
    EXPECT_EQ(get("no equals sign here"), "<absent>");
    EXPECT_TRUE(log.contains(":10: no '=' in line, skipped: no equals sign here"));
    EXPECT_TRUE(log.contains(":11: no key before '='"));
    EXPECT_EQ(log.priorityOf(log.messages().front()), log4cpp::Priority::WARN);
}

TEST_F(cConfigTest, LineWithAZeroByteIsSkipped) {
    // A zero byte inside a value would cut it short where the daemon reads it as C text; a
    // damaged file must not pass for a shorter value. Found by fuzz_config.
    const char text[] = "vexad.host = 10.0.0.1\0junk\nvexad.south.port = 5\r\0\0 00\nok = 1\n";
    load(std::string(text, sizeof text - 1));
    EXPECT_EQ(get("vexad.host"), "<absent>");
    EXPECT_EQ(get("vexad.south.port"), "<absent>");
    EXPECT_EQ(cConfig::getInt("vexad.south.port", 50000), 50000);
    EXPECT_EQ(get("ok"), "1");
    EXPECT_TRUE(log.contains(":1: zero byte in line, skipped"));
    EXPECT_TRUE(log.contains(":2: zero byte in line, skipped"));
}

TEST_F(cConfigTest, DefaultsForAbsentKeys) {
    load("present=1\n");
    const char* def = "the default";
    EXPECT_EQ(cConfig::getString("absent", def), def);  // the default itself comes back
    EXPECT_EQ(cConfig::getInt("absent", 50000), 50000);
    EXPECT_FALSE(log.contains("not an integer"));  // an absent key is no fault
}

TEST_F(cConfigTest, IntegersAndWhatIsNoInteger) {
    struct Case {
        const char* text;
        int expected;  // -999 = the default, with a warning
    };
    const Case cases[] = {
        {"50000", 50000},
        {"-7", -7},
        {"+12", 12},
        {"0x1F", 31},
        {"0X1f", 31},
        {"-0x10", -16},
        {"050000", 50000},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"2147483648", -999},
        {"99999999999999999999", -999},
        {"0x100000000", -999},
        {"12abc", -999},
        {"abc", -999},
        {"", -999},
        {"0x", -999},
        {"1 2", -999},
        {"1.5", -999},
    };
    std::string content;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        content += "k" + std::to_string(i) + " = " + cases[i].text + "\n";
    load(content);
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        std::string key = "k" + std::to_string(i);
        log.clear();
        EXPECT_EQ(cConfig::getInt(key.c_str(), -999), cases[i].expected) << cases[i].text;
        bool warned = log.contains("is not an integer, using -999");
        EXPECT_EQ(warned, cases[i].expected == -999) << cases[i].text;
    }
}

TEST_F(cConfigTest, TextsStayValidAcrossLoads) {
    load("a=first\nb=kept\nc=gone\n");
    const char* a1 = cConfig::getString("a", nullptr);
    const char* c1 = cConfig::getString("c", nullptr);
    ASSERT_NE(a1, nullptr);
    ASSERT_NE(c1, nullptr);

    load("a=second\nb=kept\n");
    EXPECT_STREQ(a1, "first");  // old pointers still hold the old texts
    EXPECT_STREQ(c1, "gone");
    EXPECT_EQ(get("a"), "second");
    EXPECT_EQ(get("b"), "kept");
    EXPECT_EQ(get("c"), "<absent>");  // a reload replaces the key set
}

TEST_F(cConfigTest, FailedLoadKeepsKeys) {
    load("a=1\n");
    EXPECT_FALSE(cConfig::load((dir / "missing.conf").c_str()));
    EXPECT_FALSE(cConfig::load(dir.path().c_str()));  // a directory cannot be read
    EXPECT_FALSE(cConfig::load(nullptr));
    EXPECT_EQ(get("a"), "1");
}

TEST_F(cConfigTest, OnlyRegularFilesOfAtMostOneMebibyteAreRead) {
    load("a=1\n");
    ASSERT_EQ(mkfifo((dir / "fifo.conf").c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", (dir / "zero.conf").c_str()), 0);
    std::string full = "b=2\n" + std::string(1048576 - 4, '#');
    writeFile(dir / "full.conf", full);
    writeFile(dir / "over.conf", full + "\n");
    ASSERT_EQ(symlink("full.conf", (dir / "link.conf").c_str()), 0);
    struct Case {
        const char* file;
        const char* why;  // nullptr: loads
    };
    const Case cases[] = {
        {"fifo.conf", "a FIFO, not a regular file"},  // never blocks in open
        {"zero.conf", "a character device, not a regular file"},
        {"over.conf", "larger than 1048576 bytes"},
        {"missing.conf", "No such file or directory"},
        {"", "a directory, not a regular file"},
        {"full.conf", nullptr},
        {"link.conf", nullptr},  // a link to a regular file is read
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::string why;
        EXPECT_EQ(cConfig::load((dir / c.file).c_str(), &why), c.why == nullptr);
        EXPECT_EQ(why, c.why ? c.why : "");
    }
    EXPECT_EQ(get("b"), "2");
    EXPECT_EQ(cConfig::keys(), std::vector<std::string>{"b"});
}

TEST_F(cConfigTest, ReadsDuringLoadsAreSafe) {
    writeFile(dir / "one.conf", "x=1\ny=one\n");
    writeFile(dir / "two.conf", "x=2\ny=two\n");
    ASSERT_TRUE(cConfig::load((dir / "one.conf").c_str()));
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            std::string y = cConfig::getString("y", "?");
            int x = cConfig::getInt("x", 0);
            EXPECT_TRUE(y == "one" || y == "two") << y;
            EXPECT_TRUE(x == 1 || x == 2) << x;
        }
    });
    for (int i = 0; i < 200; ++i)
        cConfig::load((dir / (i % 2 ? "one.conf" : "two.conf")).c_str());
    stop = true;
    reader.join();
}
