#include "platform/file_kind.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace platform {
namespace {

TEST(OpenFileKind, TellsFilesDirectoriesPipesAndDevices) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("qm-file-kind-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string file = (dir / "f").string();
    std::ofstream(file) << "x";
    const std::string fifo = (dir / "p").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    auto kind_of = [](const std::string& path) {
        auto f = open_read(path);
        EXPECT_TRUE(f.ok()) << path;
        auto k = open_file_kind(f.value());
        EXPECT_TRUE(k.ok()) << path;
        return k.value();
    };
    EXPECT_EQ(kind_of(file), OpenFileKind::Regular);
    EXPECT_EQ(kind_of(dir.string()), OpenFileKind::Directory);
    EXPECT_EQ(kind_of("/dev/null"), OpenFileKind::Other);
    // Opening a FIFO for reading blocks until a writer appears; open it
    // non-blocking through the descriptor directly.
    File p(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK));
    ASSERT_TRUE(p.is_open());
    EXPECT_EQ(open_file_kind(p).value(), OpenFileKind::Pipe);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace platform
