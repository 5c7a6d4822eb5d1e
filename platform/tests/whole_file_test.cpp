#include "platform/whole_file.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <system_error>
#include <thread>

#include "refused_threads.hpp"

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

// A pipe handed over in non-blocking mode (a parent set it on a pipe it
// shares) whose writer is slower than the reader: read to its end all the
// same, not failed at the first moment it is empty.
TEST(ReadWhole, NonBlockingPipeWaitsForItsWriter) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    ASSERT_EQ(::fcntl(p[0], F_SETFL, ::fcntl(p[0], F_GETFL) | O_NONBLOCK), 0);
    const std::string first = "[1,2,", second = "3]";
    ASSERT_EQ(::write(p[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));
    // The rest comes once the reader has emptied the pipe, and a while later.
    std::thread writer([&, out = p[1]] {
        int queued = 1;
        while (::ioctl(p[0], FIONREAD, &queued) == 0 && queued > 0) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(::write(out, second.data(), second.size()), static_cast<ssize_t>(second.size()));
        ::close(out);
    });
    auto got = platform::read_whole(p[0], std::uint64_t{1} << 20);
    writer.join();
    ::close(p[0]);
    ASSERT_TRUE(got.ok()) << got.error().message();
    EXPECT_EQ(got->text(), first + second);
}

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

// A temporary file of `n` pseudo-random bytes (zeros among them, so that a
// slice left unread shows as wrong bytes, not as a shorter text).
struct RandomFile {
    char path[32] = "/tmp/qm_slices_XXXXXX";
    std::string content;
    explicit RandomFile(std::size_t n) {
        std::mt19937_64 rng(n);
        content.resize(n);
        for (auto& c : content) c = static_cast<char>(rng());
        const int w = ::mkstemp(path);
        EXPECT_GE(w, 0);
        EXPECT_EQ(::write(w, content.data(), n), static_cast<ssize_t>(n));
        ::close(w);
    }
    ~RandomFile() { ::unlink(path); }
};

std::string read_given(const char* path, std::uint64_t budget, std::uint64_t size, unsigned processors, off_t start = 0,
                       std::string* error = nullptr) {
    const int fd = open_or_die(path);
    if (start != 0) ::lseek(fd, start, SEEK_SET);
    auto got = platform::read_whole_given(fd, budget, size, processors);
    // The descriptor ends where one sequential read would leave it.
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    ::close(fd);
    if (!got) {
        if (error) *error = got.error().message();
        return "<error>";
    }
    EXPECT_EQ(static_cast<std::size_t>(end), static_cast<std::size_t>(start) + got->size());
    return std::string(got->text());
}

// Sizes around the two-slice floor and around slice ends that are not page
// multiples, read by machines of 1 to 16 processors and from a position
// inside the file: always exactly the file's bytes from that position.
TEST(ReadWhole, SlicesGiveTheFileBytes) {
    for (const std::uint64_t n : {4 * kMiB - 1, 4 * kMiB, 4 * kMiB + 1, 7 * kMiB + 4095, 17 * kMiB + 3}) {
        RandomFile f(n);
        for (const unsigned processors : {1u, 4u, 5u, 8u, 16u}) {
            for (const off_t start : {off_t{0}, off_t{12345}}) {
                SCOPED_TRACE(std::to_string(n) + " bytes, " + std::to_string(processors) + " processors, from " +
                             std::to_string(start));
                EXPECT_TRUE(read_given(f.path, UINT64_MAX, n, processors, start) == f.content.substr(start));
            }
        }
    }
}

// The size taken before the read is stale: the file grew or shrank since.
// The bytes (or the budget's error) are those of the sequential read, with
// no stretch of the buffer that no read wrote taken for content.
TEST(ReadWhole, StaleSizeReadsAsTheSequentialLoop) {
    const std::uint64_t n = 9 * kMiB + 77;
    RandomFile f(n);
    struct Case {
        std::uint64_t size;  // as stat gave it
        std::uint64_t budget;
    };
    for (const Case& c :
         {Case{n - 1, UINT64_MAX}, Case{n - 3 * kMiB, UINT64_MAX}, Case{n + 1, UINT64_MAX},
          Case{n + 5 * kMiB, UINT64_MAX}, Case{2 * n, UINT64_MAX}, Case{n - 3 * kMiB, n - 1}, Case{n - 3 * kMiB, n}}) {
        SCOPED_TRACE("size " + std::to_string(c.size) + ", budget " + std::to_string(c.budget));
        std::string seq_error, par_error;
        const std::string sequential = read_given(f.path, c.budget, c.size, 1, 0, &seq_error);
        const std::string parallel = read_given(f.path, c.budget, c.size, 8, 0, &par_error);
        EXPECT_TRUE(parallel == sequential);
        EXPECT_EQ(par_error, seq_error);
        if (c.budget >= n) {
            EXPECT_TRUE(parallel == f.content);
        }
    }
}

// No thread can start (a process limit of one): the caller reads every
// slice itself, with the same bytes and no failure. Runs in a child
// process, which gives up root's exemption from the limit.
TEST(ReadWhole, RefusedThreadsLeaveTheReadToTheCaller) {
    RandomFile f(11 * kMiB + 5);
    const int fd = open_or_die(f.path);
    const int code = test_support::exit_code_without_threads([&] {
        auto got = platform::read_whole_given(fd, UINT64_MAX, f.content.size(), 8);
        return !got ? 13 : got->text() == f.content ? 0 : 14;
    });
    ::close(fd);
    EXPECT_EQ(code, 0) << "10 setuid, 11 setrlimit, 12 a thread started, 13 error, 14 wrong bytes";
}

}  // namespace
