// Module paths: backslashes, letter case ignored one level at a time, and path parts that could
// climb out of their directory.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "shell/paths.h"

namespace {

class ModulePath : public ::testing::Test {
protected:
    void SetUp() override {
        char scratch[] = "/tmp/paths_test_XXXXXX";
        ASSERT_NE(mkdtemp(scratch), nullptr);
        root = scratch;
        saved = std::filesystem::current_path();
        std::filesystem::current_path(root);
    }
    void TearDown() override {
        std::filesystem::current_path(saved);
        std::filesystem::remove_all(root);
    }
    static void Write(const std::string &path, const std::string &content) {
        std::filesystem::path file(path);
        if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << content;
    }
    // The file's whole content, or "(none)" when it does not open.
    static std::string Read(const char *path) {
        FILE *file = OpenModuleFile(path, "rb");
        if (file == nullptr) return "(none)";
        std::string content;
        for (int c; (c = std::fgetc(file)) != EOF;) content += static_cast<char>(c);
        std::fclose(file);
        return content;
    }
    static std::string Resolve(const char *path) {
        char resolved[256];
        if (!ResolveModulePath(path, resolved, sizeof resolved)) return "(too long)";
        return resolved;
    }

    std::filesystem::path root, saved;
};

TEST_F(ModulePath, BackslashesAndLetterCaseAtEveryLevel) {
    Write("KVZSV/Acme/KvzSvShp.Cfg", "ship");
    EXPECT_EQ(Read("kvzsv\\ACME\\KVZSVSHP.CFG"), "ship");
    EXPECT_EQ(Read("KVZSV/Acme/KvzSvShp.Cfg"), "ship");
    EXPECT_EQ(Resolve("kvzsv\\acme\\kvzsvshp.cfg"), "KVZSV/Acme/KvzSvShp.Cfg");
    EXPECT_EQ(Read((root.string() + "\\kvzsv\\acme\\kvzsvshp.cfg").c_str()), "ship");
    EXPECT_EQ(Read("kvzsv\\\\acme\\.\\kvzsvshp.cfg"), "ship");
    EXPECT_EQ(Read("kvzsv\\acme\\missing.cfg"), "(none)");
    EXPECT_EQ(Read("nowhere\\acme\\kvzsvshp.cfg"), "(none)");
    EXPECT_EQ(Read("kvzsv\\acme"), "(none)"); // a directory is no file
}

TEST_F(ModulePath, ExactSpellingWinsThenTheFirstInByteOrder) {
    Write("dir/page.htm", "lower");
    Write("dir/Page.htm", "mixed");
    Write("dir/PAGE.HTM", "upper");
    EXPECT_EQ(Read("dir\\Page.htm"), "mixed");
    EXPECT_EQ(Read("dir\\page.htm"), "lower");
    EXPECT_EQ(Read("dir\\pAGE.htm"), "upper"); // "PAGE.HTM" sorts first
}

TEST_F(ModulePath, WritingCreatesTheFileInTheDirectoryAsSpelledOnDisk) {
    std::filesystem::create_directory("KVZSVTMP");
    Write("KVZSVTMP/Old.txt", "old");
    FILE *file = OpenModuleFile("kvzsvtmp\\SVWT123456", "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("page", file);
    std::fclose(file);
    EXPECT_EQ(Read("KVZSVTMP/SVWT123456"), "page");
    // An existing file in another spelling is the one written, as it was on the old system.
    file = OpenModuleFile("kvzsvtmp\\old.TXT", "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("new", file);
    std::fclose(file);
    EXPECT_EQ(Read("KVZSVTMP/Old.txt"), "new");
    EXPECT_FALSE(std::filesystem::exists("KVZSVTMP/old.TXT"));
}

TEST_F(ModulePath, DotDotIsFollowedSoCallersCheckTheirParts) {
    Write("kvzsvw/page.htm", "shared");
    Write("secret.txt", "secret");
    EXPECT_EQ(Read("kvzsvw\\..\\secret.txt"), "secret");

    EXPECT_TRUE(IsSafePathPart("ACME"));
    EXPECT_TRUE(IsSafePathPart("a.b"));
    EXPECT_FALSE(IsSafePathPart(nullptr));
    EXPECT_FALSE(IsSafePathPart(""));
    EXPECT_FALSE(IsSafePathPart(".."));
    EXPECT_FALSE(IsSafePathPart("a..b"));
    EXPECT_FALSE(IsSafePathPart("a/b"));
    EXPECT_FALSE(IsSafePathPart("a\\b"));
    EXPECT_FALSE(IsSafePathPart("/etc"));
}

TEST_F(ModulePath, ResultThatDoesNotFitIsRefused) {
    char small[8];
    EXPECT_FALSE(ResolveModulePath("kvzsvw\\page.htm", small, sizeof small));
    EXPECT_TRUE(ResolveModulePath("a\\b", small, sizeof small));
    EXPECT_STREQ(small, "a/b");
    EXPECT_EQ(OpenModuleFile(nullptr, "rb"), nullptr);
}

} // namespace
