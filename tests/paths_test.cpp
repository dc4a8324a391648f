// Module paths: backslashes, letter case ignored one level at a time, and path parts that could
// climb out of their directory.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "shell/filecache.h"
#include "shell/paths.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Every test runs twice: on the disk, and with the cache of the host (in memory, kept current
// with inotify), which must find the same files.
class ModulePath : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        char scratch[] = "/tmp/paths_test_XXXXXX";
        ASSERT_NE(mkdtemp(scratch), nullptr);
        root = scratch;
        saved = std::filesystem::current_path();
        std::filesystem::current_path(root);
        if (GetParam()) {
            ASSERT_TRUE(EnableFileCache());
        }
    }
    void TearDown() override {
        DisableFileCache();
        std::filesystem::current_path(saved);
        std::filesystem::remove_all(root);
    }
    // Writes a file, as the operator would between two requests.
    static void Write(const std::string &path, const std::string &content) {
        std::filesystem::path file(path);
        if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << content;
        NextRequest();
    }
    // What the host does at the start of every request.
    static void NextRequest() { RefreshFileCache(); }
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

TEST_P(ModulePath, BackslashesAndLetterCaseAtEveryLevel) {
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

TEST_P(ModulePath, ExactSpellingWinsThenTheFirstInByteOrder) {
    Write("dir/page.htm", "lower");
    Write("dir/Page.htm", "mixed");
    Write("dir/PAGE.HTM", "upper");
    EXPECT_EQ(Read("dir\\Page.htm"), "mixed");
    EXPECT_EQ(Read("dir\\page.htm"), "lower");
    EXPECT_EQ(Read("dir\\pAGE.htm"), "upper"); // "PAGE.HTM" sorts first
}

TEST_P(ModulePath, WritingCreatesTheFileInTheDirectoryAsSpelledOnDisk) {
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

TEST_P(ModulePath, DotDotIsFollowedSoCallersCheckTheirParts) {
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

TEST_P(ModulePath, ResultThatDoesNotFitIsRefused) {
    char small[8];
    EXPECT_FALSE(ResolveModulePath("kvzsvw\\page.htm", small, sizeof small));
    EXPECT_TRUE(ResolveModulePath("a\\b", small, sizeof small));
    EXPECT_STREQ(small, "a/b");
    EXPECT_EQ(OpenModuleFile(nullptr, "rb"), nullptr);
}

TEST_P(ModulePath, ReadableFilesAreFilesThatOpen) {
    Write("www/KVZSV/Acme/icon.png", "png");
    Write("www/KVZSV/Acme/locked.png", "png");
    chmod("www/KVZSV/Acme/locked.png", 0);
    NextRequest();
    EXPECT_TRUE(ModuleFileReadable("www\\kvzsv\\ACME\\ICON.PNG"));
    EXPECT_FALSE(ModuleFileReadable("www\\kvzsv\\ACME"));
    EXPECT_FALSE(ModuleFileReadable("www\\kvzsv\\ACME\\missing.png"));
    // Root reads every file whatever its mode.
    EXPECT_EQ(ModuleFileReadable("www\\kvzsv\\ACME\\locked.png"), geteuid() == 0);
    chmod("www/KVZSV/Acme/locked.png", 0644);
    NextRequest();
    EXPECT_TRUE(ModuleFileReadable("www\\kvzsv\\ACME\\locked.png"));
    // The answers asked again and again follow what the operator does between requests.
    std::filesystem::remove("www/KVZSV/Acme/icon.png");
    Write("www/KVZSV/Acme/missing.png", "png");
    NextRequest();
    EXPECT_FALSE(ModuleFileReadable("www\\kvzsv\\ACME\\ICON.PNG"));
    EXPECT_TRUE(ModuleFileReadable("www\\kvzsv\\ACME\\missing.png"));
    std::filesystem::remove_all("www/KVZSV/Acme");
    std::filesystem::create_directories("www/KVZSV/ACME/missing.png");  // a directory now
    NextRequest();
    EXPECT_FALSE(ModuleFileReadable("www\\kvzsv\\ACME\\missing.png"));
}

// What the operator adds, changes, renames or removes is what the next request finds.
TEST_P(ModulePath, ChangesToTheTreeShowInTheNextRequest) {
    Write("kvzsvw/page.htm", "first");
    EXPECT_EQ(Read("kvzsvw\\PAGE.HTM"), "first");
    EXPECT_EQ(Read("kvzsvw\\acme\\page.htm"), "(none)");

    Write("kvzsvw/page.htm", "second, longer than the first");
    EXPECT_EQ(Read("kvzsvw\\PAGE.HTM"), "second, longer than the first");
    Write("kvzsvw/ACME/Page.htm", "the store's own");
    EXPECT_EQ(Read("kvzsvw\\acme\\page.htm"), "the store's own");

    // Replaced by a rename, as editors and installers do.
    Write("kvzsvw/new.tmp", "renamed into place");
    std::filesystem::rename("kvzsvw/new.tmp", "kvzsvw/page.htm");
    NextRequest();
    EXPECT_EQ(Read("kvzsvw\\page.htm"), "renamed into place");

    // A better spelling appears: the exact one wins from then on.
    Write("kvzsvw/PAGE.HTM", "upper");
    EXPECT_EQ(Read("kvzsvw\\PAGE.HTM"), "upper");
    EXPECT_EQ(Read("kvzsvw\\Page.Htm"), "upper");

    // A whole directory moved away and another put in its place.
    std::filesystem::rename("kvzsvw/ACME", "kvzsvw/OLD");
    NextRequest();
    EXPECT_EQ(Read("kvzsvw\\acme\\page.htm"), "(none)");
    Write("kvzsvw/acme/page.htm", "a new store directory");
    EXPECT_EQ(Read("kvzsvw\\ACME\\page.htm"), "a new store directory");
    EXPECT_EQ(Read("kvzsvw\\old\\page.htm"), "the store's own");

    std::filesystem::remove_all("kvzsvw");
    NextRequest();
    EXPECT_EQ(Read("kvzsvw\\page.htm"), "(none)");
    Write("KVZSVW/page.htm", "back");
    EXPECT_EQ(Read("kvzsvw\\page.htm"), "back");
}

// A file read from memory behaves as one read from the disk: seeks, reads past the end.
TEST_P(ModulePath, OpenFilesSeekAndReadAsOnDisk) {
    std::string text;
    for (int i = 0; i < 3000; ++i) text += static_cast<char>('a' + i % 26);
    Write("kvzsvw/big.htm", text);
    FILE *file = OpenModuleFile("kvzsvw\\big.htm", "rb");
    ASSERT_NE(file, nullptr);
    char buffer[5000];
    EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, file), text.size());
    EXPECT_TRUE(std::feof(file));
    ASSERT_EQ(std::fseek(file, 2990, SEEK_SET), 0);
    EXPECT_EQ(std::ftell(file), 2990);
    EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, file), 10u);
    EXPECT_EQ(std::string(buffer, 10), text.substr(2990));
    ASSERT_EQ(std::fseek(file, 26, SEEK_SET), 0);
    EXPECT_EQ(std::fgetc(file), 'a');
    EXPECT_NE(std::fseek(file, -1, SEEK_SET), 0);
    // Changing the file does not change what an open reader sees from its start.
    Write("kvzsvw/big.htm", "short");
    ASSERT_EQ(std::fseek(file, 0, SEEK_SET), 0);
    EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, file), GetParam() ? text.size() : 5u);
    std::fclose(file);
    EXPECT_EQ(Read("kvzsvw\\big.htm"), "short");
}

INSTANTIATE_TEST_SUITE_P(Disk, ModulePath, ::testing::Values(false));
INSTANTIATE_TEST_SUITE_P(Memory, ModulePath, ::testing::Values(true));

} // namespace
