#include "e2e_harness.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace e2e {

QmRun run_qm(const std::vector<std::string>& args, const std::string& stdin_data,
             const std::vector<std::pair<std::string, std::string>>& env, const std::string& cwd, int timeout_s,
             bool hold_stdin) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (::pipe(in_pipe) || ::pipe(out_pipe) || ::pipe(err_pipe)) std::abort();

    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        bool replaced = false;
        for (const auto& [k, v] : env) replaced |= kv.rfind(k + "=", 0) == 0;
        if (!replaced) envs.push_back(kv);
    }
    for (const auto& [k, v] : env) envs.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : envs) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string bin = QM_BINARY;
    std::vector<std::string> argv_s{bin};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argv_s) argv.push_back(s.data());
    argv.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in_pipe[0], 0);
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) ::close(fd);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(127);
        ::execve(bin.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    // The child may stop reading early; a write to its closed stdin must not kill us.
    std::signal(SIGPIPE, SIG_IGN);

    QmRun r;
    std::size_t written = 0;
    int in_fd = in_pipe[1];
    bool in_done = stdin_data.empty();  // all written
    if (in_done && !hold_stdin) {
        ::close(in_fd);
        in_fd = -1;
    }
    bool out_open = true, err_open = true;
    timespec start;
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    while (out_open || err_open) {
        pollfd fds[3];
        int n = 0;
        int out_i = -1, err_i = -1, in_i = -1;
        if (out_open) {
            out_i = n;
            fds[n++] = {out_pipe[0], POLLIN, 0};
        }
        if (err_open) {
            err_i = n;
            fds[n++] = {err_pipe[0], POLLIN, 0};
        }
        if (in_fd >= 0 && !in_done) {
            in_i = n;
            fds[n++] = {in_fd, POLLOUT, 0};
        }
        ::poll(fds, static_cast<nfds_t>(n), 1000);
        timespec now;
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec > timeout_s) {
            ::kill(pid, SIGKILL);
            ADD_FAILURE() << "qm timed out";
            break;
        }
        char buf[65536];
        auto drain = [&](int idx, int fd, std::string& into, bool& open) {
            if (idx < 0 || !(fds[idx].revents & (POLLIN | POLLHUP | POLLERR))) return;
            ssize_t k = ::read(fd, buf, sizeof buf);
            if (k > 0) into.append(buf, static_cast<std::size_t>(k));
            else if (k == 0 || errno != EINTR) open = false;
        };
        drain(out_i, out_pipe[0], r.out, out_open);
        drain(err_i, err_pipe[0], r.err, err_open);
        if (in_i >= 0 && (fds[in_i].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t k = ::write(in_fd, stdin_data.data() + written, stdin_data.size() - written);
            if (k > 0) written += static_cast<std::size_t>(k);
            in_done = k < 0 || written == stdin_data.size();
            if (in_done && !hold_stdin) {
                ::close(in_fd);
                in_fd = -1;
            }
        }
    }
    if (in_fd >= 0) ::close(in_fd);
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

void check_case(const QmCase& c) {
    SCOPED_TRACE("case: " + c.name);
    TempDir dir;
    for (const auto& [name, content] : c.files) dir.write(name, content);
    QmRun r = run_qm(c.args, c.stdin_data, c.env, dir.path());
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.code, c.code);
}

}  // namespace e2e
