#include "platform/Defaults.h"

#include "TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

mode_t modeOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 0777;
}

class DefaultsTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("cfg/norvell/defaults.json");
};

TEST_F(DefaultsTest, AbsentKeyDiffersFromEmptyText) {
    platform::Defaults d(path);
    EXPECT_FALSE(d.hasObject("serverAddress"));
    EXPECT_EQ(d.stringForKey("serverAddress"), std::nullopt);
    EXPECT_EQ(d.integerForKey("serverAddress"), std::nullopt);
    EXPECT_EQ(d.string("serverAddress"), "");
    EXPECT_EQ(d.integer("serverAddress"), 0);

    ASSERT_TRUE(d.setString("serverAddress", ""));
    EXPECT_TRUE(d.hasObject("serverAddress"));
    EXPECT_EQ(d.stringForKey("serverAddress"), std::optional<std::string>(""));

    platform::Defaults again(path);
    EXPECT_TRUE(again.hasObject("serverAddress"));
    EXPECT_FALSE(again.hasObject("username"));

    ASSERT_TRUE(again.removeObject("serverAddress"));
    platform::Defaults third(path);
    EXPECT_FALSE(third.hasObject("serverAddress"));
}

TEST_F(DefaultsTest, IntegersAndTextsConvertBothWays) {
    platform::Defaults d(path);
    d.setInteger("ProtcolSelAuto", 1);
    d.setInteger("big", -9000000000LL);
    d.setString("regionNumber", "12");
    d.setString("plus", "+7");
    d.setString("neg", "-3");
    d.setString("junk", "4x");
    d.setString("spaced", " 4");
    d.setString("huge", "99999999999999999999");
    d.setString("Region", "日本");

    platform::Defaults r(path); // everything survives a re-read with its type
    EXPECT_EQ(r.integerForKey("ProtcolSelAuto"), 1);
    EXPECT_EQ(r.stringForKey("ProtcolSelAuto"), "1");
    EXPECT_EQ(r.integerForKey("big"), -9000000000LL);
    EXPECT_EQ(r.integerForKey("regionNumber"), 12);
    EXPECT_EQ(r.stringForKey("regionNumber"), "12");
    EXPECT_EQ(r.integerForKey("plus"), 7);
    EXPECT_EQ(r.integerForKey("neg"), -3);
    EXPECT_EQ(r.integerForKey("junk"), std::nullopt);
    EXPECT_EQ(r.integerForKey("spaced"), std::nullopt);
    EXPECT_EQ(r.integerForKey("huge"), std::nullopt);
    EXPECT_EQ(r.string("Region"), "日本");
    EXPECT_EQ(r.integerForKey("Region"), std::nullopt);

    r.setString("ProtcolSelAuto", "0"); // a key may change type
    EXPECT_EQ(r.integerForKey("ProtcolSelAuto"), 0);
}

TEST_F(DefaultsTest, ValuesWrittenByHandReadAsExpected) {
    std::filesystem::create_directories(dir.file("cfg/norvell"));
    writeText(path, R"({"t": true, "f": 1.9, "arr": [1], "obj": {}, "n": null, "u": 18446744073709551615})");
    platform::Defaults d(path);
    EXPECT_EQ(d.integerForKey("t"), 1);
    EXPECT_EQ(d.stringForKey("t"), "1");
    EXPECT_EQ(d.integerForKey("f"), 1);
    EXPECT_EQ(d.stringForKey("arr"), std::nullopt);
    EXPECT_EQ(d.integerForKey("obj"), std::nullopt);
    EXPECT_TRUE(d.hasObject("n"));
    EXPECT_EQ(d.stringForKey("n"), std::nullopt);
    EXPECT_EQ(d.integerForKey("u"), std::nullopt);
    EXPECT_EQ(d.stringForKey("u"), "18446744073709551615");
}

TEST_F(DefaultsTest, FileIsPrivateAndWiderModesAreTightened) {
    platform::Defaults d(path);
    ASSERT_TRUE(d.setString("password", "secret"));
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(modeOf(dir.file("cfg/norvell")), 0700u);

    ::chmod(path.c_str(), 0644);
    platform::Defaults reopened(path);
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(reopened.string("password"), "secret");
    // No temporary file is left next to it.
    size_t entries = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.file("cfg/norvell"))) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
}

TEST_F(DefaultsTest, CorruptFileIsKeptAsideAndStoreStartsEmpty) {
    std::filesystem::create_directories(dir.file("cfg/norvell"));
    for (const std::string& bad : {std::string("{\"username\": \"al"), std::string("[1,2]"), std::string(""),
                                   std::string("\xff\xfe{}")}) {
        SCOPED_TRACE(bad);
        writeText(path, bad);
        platform::Defaults d(path);
        EXPECT_FALSE(d.hasObject("username"));
        EXPECT_EQ(readText(path + ".corrupt"), bad);
        EXPECT_FALSE(std::filesystem::exists(path));
        ASSERT_TRUE(d.setString("username", "bob"));
        EXPECT_EQ(readText(path + ".corrupt"), bad); // the user's bytes are still there
        EXPECT_EQ(platform::Defaults(path).string("username"), "bob");
        std::filesystem::remove(path);
    }
}

TEST_F(DefaultsTest, InvalidUtf8ValueDoesNotBlockSaving) {
    platform::Defaults d(path);
    EXPECT_TRUE(d.setString("username", std::string("a\xff\xfe", 3)));
    EXPECT_TRUE(d.setString("Region", "日本"));
    platform::Defaults r(path);
    EXPECT_EQ(r.string("Region"), "日本");
    EXPECT_TRUE(r.hasObject("username"));
}

TEST_F(DefaultsTest, ConcurrentWritersNeitherTearTheFileNorLoseKeys) {
    platform::Defaults a(path), b(path);
    std::atomic<bool> done{false};
    std::atomic<int> tornReads{0};
    std::thread reader([&] {
        for (int i = 0; i < 20000 && !done; ++i) {
            std::string text = readText(path);
            if (text.empty()) continue; // not created yet
            if (nlohmann::json::parse(text, nullptr, false).is_discarded()) ++tornReads;
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            platform::Defaults& d = (t % 2) ? a : b;
            for (int i = 0; i < 40; ++i)
                d.setInteger("k" + std::to_string(t) + "_" + std::to_string(i), i);
        });
    }
    for (auto& w : writers)
        w.join();
    done = true;
    reader.join();

    EXPECT_EQ(tornReads.load(), 0);
    platform::Defaults check(path);
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 40; ++i)
            EXPECT_EQ(check.integerForKey("k" + std::to_string(t) + "_" + std::to_string(i)), i)
                << t << "/" << i;
    EXPECT_FALSE(std::filesystem::exists(path + ".corrupt"));
}

TEST_F(DefaultsTest, ReloadSeesOtherWriters) {
    platform::Defaults a(path), b(path);
    a.setString("Region", "韓国");
    EXPECT_FALSE(b.hasObject("Region"));
    b.reload();
    EXPECT_EQ(b.string("Region"), "韓国");
}

TEST(DefaultsStandard, LivesUnderXdgConfigHome) {
    TempDir dir;
    ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    platform::Defaults& s = platform::Defaults::standard();
    EXPECT_EQ(s.filePath(), dir.path() + "/norvell/tavrovpn/defaults.json");
    EXPECT_EQ(&s, &platform::Defaults::standard());
    ASSERT_TRUE(s.setInteger("SaveAccount", 1));
    EXPECT_EQ(modeOf(s.filePath()), 0600u);
    s.removeObject("SaveAccount");
}

} // namespace
