#include "cli/input.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "e2e_harness.hpp"

namespace cli {
namespace {

TEST(MemoryAllows, HalfOfAvailableOrFourGiB) {
    EXPECT_TRUE(memory_allows_given(500, 1001));
    EXPECT_TRUE(memory_allows_given(500, 1000));
    EXPECT_FALSE(memory_allows_given(501, 1000));
    EXPECT_TRUE(memory_allows_given(0, 0));
    EXPECT_FALSE(memory_allows_given(1, 1));
    EXPECT_TRUE(memory_allows_given(4294967296ull, std::nullopt));
    EXPECT_FALSE(memory_allows_given(4294967297ull, std::nullopt));
    EXPECT_FALSE(memory_allows(UINT64_MAX));
}

TEST(Loaders, ReadTheSameBytes) {
    e2e::TempDir dir;
    const std::string content = "{\"a\":[1,2,3]}\n";
    const std::string path = dir.write("doc.json", content);
    auto mapped = open_mapped_file(path);
    ASSERT_TRUE(mapped.ok());
    EXPECT_TRUE(mapped.value().is_mapped());
    EXPECT_EQ(mapped.value().text(), content);
    auto loaded = load_input_file(path);
    ASSERT_TRUE(loaded.ok());
    EXPECT_FALSE(loaded.value().is_mapped());  // a small file is read whole
    EXPECT_EQ(loaded.value().text(), content);
}

TEST(Loaders, EmptyFileIsAnEmptyDocument) {
    e2e::TempDir dir;
    const std::string path = dir.write("empty.json", "");
    auto mapped = open_mapped_file(path);
    ASSERT_TRUE(mapped.ok());
    EXPECT_TRUE(mapped.value().bytes().empty());
    auto loaded = load_input_file(path);
    ASSERT_TRUE(loaded.ok());
    EXPECT_TRUE(loaded.value().bytes().empty());
}

TEST(Loaders, ReportTheSystemError) {
    e2e::TempDir dir;
    for (auto* load : {&open_mapped_file, &load_input_file}) {
        auto missing = load(dir.path() + "/nope.json");
        ASSERT_FALSE(missing.ok());
        EXPECT_EQ(missing.error().message(), "No such file or directory (os error 2)");
        auto directory = load(dir.path());
        ASSERT_FALSE(directory.ok());
        EXPECT_EQ(directory.error().message(), "Is a directory (os error 21)");
    }
}

TEST(Loaders, PipeIsReadToItsEnd) {
    e2e::TempDir dir;
    const std::string fifo = dir.path() + "/pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string content(100000, 'x');
    std::thread writer([&] {
        FILE* f = std::fopen(fifo.c_str(), "w");
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    });
    auto in = open_mapped_file(fifo);
    writer.join();
    ASSERT_TRUE(in.ok());
    EXPECT_EQ(in.value().text(), content);
}

}  // namespace
}  // namespace cli
