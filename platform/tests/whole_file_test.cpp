#include "platform/whole_file.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

namespace {

int open_or_die(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) ADD_FAILURE() << path;
    return fd;
}

// A regular file, a pipe and an endless device against budgets below, at
// and above what they deliver: the bytes, or the budget's error.
TEST(ReadWhole, DeliversUpToTheBudget) {
    char path[] = "/tmp/qm_whole_XXXXXX";
    const int w = ::mkstemp(path);
    ASSERT_GE(w, 0);
    const std::string content(200000, 'q');
    ASSERT_EQ(::write(w, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(w);
    struct Case {
        const char* what;
        std::uint64_t budget;
        bool ok;
    };
    for (const Case& c : {Case{"file", 200000, true}, Case{"file", 199999, false}, Case{"pipe", 200000, true},
                          Case{"pipe", 199999, false}, Case{"zero", 1 << 20, false}}) {
        SCOPED_TRACE(std::string(c.what) + " " + std::to_string(c.budget));
        int fd = -1;
        std::thread writer;
        if (std::string(c.what) == "file") {
            fd = open_or_die(path);
        } else if (std::string(c.what) == "zero") {
            fd = open_or_die("/dev/zero");
        } else {
            int p[2];
            ASSERT_EQ(::pipe(p), 0);
            fd = p[0];
            writer = std::thread([&content, out = p[1]] {
                std::size_t done = 0;
                while (done < content.size()) {
                    const ssize_t n = ::write(out, content.data() + done, content.size() - done);
                    if (n <= 0) break;
                    done += static_cast<std::size_t>(n);
                }
                ::close(out);
            });
        }
        auto got = platform::read_whole(fd, c.budget);
        ::close(fd);
        if (writer.joinable()) writer.join();
        ASSERT_EQ(got.ok(), c.ok);
        if (c.ok) {
            EXPECT_EQ(got->text(), content);
        } else {
            EXPECT_EQ(got.error().message(), platform::too_large_for_memory(c.budget).message());
            EXPECT_EQ(got.error().message(),
                      "too large to read into memory (more than " + std::to_string(c.budget) + " bytes)");
        }
    }
    ::unlink(path);
}

}  // namespace
