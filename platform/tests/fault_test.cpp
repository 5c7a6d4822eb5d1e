#include "platform/fault.hpp"
#include "platform/mmap.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// A child maps a file, the file is cut to nothing, and the child reads the
// mapping, from one thread or from several at once: it must end with the
// message, once, and the exit code, not a signal.
TEST(Fault, ReadingPastAShrunkMappingExitsCleanly) {
    for (const unsigned readers : {1u, 8u}) {
        char path[] = "/tmp/qm_fault_XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        const std::string page(1 << 16, 'x');
        ASSERT_EQ(::write(fd, page.data(), page.size()), static_cast<ssize_t>(page.size()));
        int err_pipe[2];
        ASSERT_EQ(::pipe(err_pipe), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::dup2(err_pipe[1], 2);
            platform::exit_cleanly_on_sigbus();
            auto* p = static_cast<volatile char*>(mmap(nullptr, page.size(), PROT_READ, MAP_SHARED, fd, 0));
            if (p == MAP_FAILED) _exit(90);
            if (ftruncate(fd, 0) != 0) _exit(91);
            std::atomic<unsigned> ready{0};
            auto read_all = [&](unsigned k) {
                ready.fetch_add(1);
                while (ready.load() < readers) {
                }
                char sum = 0;
                for (std::size_t i = k * 4096; i < page.size(); i += 4096) sum += p[i];
                return sum;
            };
            std::vector<std::thread> others;
            for (unsigned k = 1; k < readers; ++k) others.emplace_back([&, k] { (void)read_all(k); });
            const char sum = read_all(0);
            _exit(sum == 0 ? 92 : 93);  // reached only if no fault was raised
        }
        ::close(err_pipe[1]);
        std::string err;
        char buf[256];
        ssize_t n;
        while ((n = ::read(err_pipe[0], buf, sizeof buf)) > 0) err.append(buf, static_cast<std::size_t>(n));
        ::close(err_pipe[0]);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ::close(fd);
        ::unlink(path);
        ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), platform::kInputShrankExitCode) << readers << " readers";
        EXPECT_EQ(err, platform::kInputShrankMessage) << readers << " readers";
    }
}

// With recovery on, a registered map that loses its pages reads zeros from
// the cut on and says so; the process goes on.
TEST(Fault, RegisteredMapReadsZerosPastTheCutAndIsMarked) {
    char path[] = "/tmp/qm_fault_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string bytes(1 << 16, 'x');
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    platform::File f(fd);
    auto m = platform::MemoryMap::map_file(f);
    ASSERT_TRUE(m);
    platform::exit_cleanly_on_sigbus();
    platform::recover_shrunk_input_maps(true);
    EXPECT_FALSE(m->shrank());
    ASSERT_EQ(ftruncate(fd, 8192), 0);
    std::size_t xs = 0, zeros = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) (m->data()[i] == 'x' ? xs : zeros) += 1;
    platform::recover_shrunk_input_maps(false);
    EXPECT_EQ(xs, 8192u);
    EXPECT_EQ(zeros, bytes.size() - 8192);
    EXPECT_TRUE(m->shrank());
    ::unlink(path);
}

// A bus error that is no read past a file's end is left to its default
// course, even when it names an address inside a registered map: a signal
// sent by a process (here one the child sends itself with the map's first
// byte as its address) must neither end the run as a shrunk input nor turn
// the map's pages into zeros.
TEST(Fault, OtherBusErrorsTakeTheirDefaultCourse) {
    char path[] = "/tmp/qm_fault_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string bytes(1 << 16, 'x');
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const struct rlimit no_core { 0, 0 };
        ::setrlimit(RLIMIT_CORE, &no_core);
        platform::File f(fd);
        auto m = platform::MemoryMap::map_file(f);
        if (!m) _exit(90);
        platform::exit_cleanly_on_sigbus();
        platform::recover_shrunk_input_maps(true);
        siginfo_t info;
        std::memset(&info, 0, sizeof info);
        info.si_signo = SIGBUS;
        info.si_code = SI_QUEUE;
        info.si_addr = const_cast<std::uint8_t*>(m->data());
        ::syscall(SYS_rt_tgsigqueueinfo, ::getpid(), ::syscall(SYS_gettid), SIGBUS, &info);
        _exit(m->data()[0] == 'x' ? 91 : 92);  // reached only if the signal was caught
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ::close(fd);
    ::unlink(path);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exited with " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGBUS);
}

}  // namespace
