#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace kelto::web {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int POLL_STEP_MS = 20;      // longest wait between deadline checks
constexpr int EXIT_POLLS_SHORT = 20;  // 1 ms waits for the exit before POLL_STEP_MS ones

struct Pipe {
    int read = -1;
    int write = -1;
};

bool openPipe(Pipe& p) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    p.read = fds[0];
    p.write = fds[1];
    return true;
}

void closeFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Starts the program with its standard output and error on the pipes' write
// ends; returns the pid, or -1 with `error` set.
pid_t spawn(const std::vector<std::string>& argv, const Pipe& out, const Pipe& err,
            std::string& error) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write, 1);
    posix_spawn_file_actions_adddup2(&actions, err.write, 2);

    // The server ignores SIGPIPE; the program gets the default actions and
    // an empty signal mask, in a group of its own so that it can be killed
    // with anything it starts.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        error = "cannot start " + argv[0] + ": " + std::strerror(rc);
        return -1;
    }
    return pid;
}

// One output stream being read: its pipe, what was kept, and the part of the
// last line not yet handed to the sink.
struct Stream {
    int fd;
    std::string* kept;
    const LineSink* sink;
    std::string partial;
    bool* truncated;
};

// Reads what is available; false at end of file.
bool drain(Stream& s) {
    char buf[4096];
    ssize_t n = read(s.fd, buf, sizeof buf);
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    if (n == 0) {
        if (s.sink && *s.sink && !s.partial.empty()) (*s.sink)(s.partial);
        s.partial.clear();
        return false;
    }
    size_t room = OUTPUT_LIMIT_BYTES - std::min(OUTPUT_LIMIT_BYTES, s.kept->size());
    s.kept->append(buf, std::min(room, static_cast<size_t>(n)));
    if (static_cast<size_t>(n) > room) *s.truncated = true;
    if (s.sink && *s.sink) {
        s.partial.append(buf, static_cast<size_t>(n));
        size_t start = 0, end;
        while ((end = s.partial.find('\n', start)) != std::string::npos) {
            (*s.sink)(s.partial.substr(start, end - start));
            start = end + 1;
        }
        s.partial.erase(0, start);
        if (s.partial.size() > OUTPUT_LIMIT_BYTES) s.partial.clear();
    }
    return true;
}

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(
        std::max<long long>(0, std::min<long long>(left.count(), POLL_STEP_MS)));
}

void kill(pid_t pid) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
}

void record(int waitStatus, RunResult& r) {
    if (WIFEXITED(waitStatus)) {
        r.exited = true;
        r.exitStatus = WEXITSTATUS(waitStatus);
    } else if (WIFSIGNALED(waitStatus)) {
        r.signal = WTERMSIG(waitStatus);
    }
}

// Reads both streams until the program has ended and both are closed, or
// until the deadline or an abort, when it is killed.
void supervise(pid_t pid, Stream out, Stream err, Clock::time_point deadline,
               const std::atomic<bool>* abort, RunResult& r) {
    bool outOpen = true, errOpen = true, ended = false;
    int exitPolls = 0;  // waits for the exit once both streams are closed
    int waitStatus = 0;
    while (!ended || outOpen || errOpen) {
        if (abort && abort->load()) r.aborted = true;
        if (Clock::now() >= deadline) r.timedOut = !r.aborted;
        if (r.aborted || r.timedOut) break;
        pollfd fds[2] = {{out.fd, POLLIN, 0}, {err.fd, POLLIN, 0}};
        int wait = msLeft(deadline);
        if (outOpen || errOpen) {
            if (poll(fds, 2, wait) < 0 && errno != EINTR) break;
            // A closed stream has fd -1, which poll() ignores.
            if (outOpen && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
                if (!(outOpen = drain(out))) out.fd = -1;
            if (errOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
                if (!(errOpen = drain(err))) err.fd = -1;
        }
        if (!ended) {
            ended = waitpid(pid, &waitStatus, WNOHANG) == pid;
            // Both streams closed but still running: it is normally ending
            // already, so the first waits are short.
            if (!ended && !outOpen && !errOpen)
                usleep(static_cast<useconds_t>(++exitPolls < EXIT_POLLS_SHORT ? 1 : wait) * 1000);
        }
    }
    if (!ended) {
        kill(pid);
        while (waitpid(pid, &waitStatus, 0) < 0 && errno == EINTR) {
        }
    }
    record(waitStatus, r);
}

}  // namespace

RunResult runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                     const LineSink& onOutLine, const std::atomic<bool>* abort) {
    RunResult r;
    auto start = Clock::now();
    Pipe out, err;
    if (argv.empty() || !openPipe(out) || !openPipe(err)) {
        r.startError = argv.empty() ? "no program given" : std::string("pipe: ") + strerror(errno);
        closeFd(out.read), closeFd(out.write), closeFd(err.read), closeFd(err.write);
        return r;
    }
    pid_t pid = spawn(argv, out, err, r.startError);
    closeFd(out.write);
    closeFd(err.write);
    if (pid > 0) {
        r.started = true;
        supervise(pid, Stream{out.read, &r.out, &onOutLine, {}, &r.truncated},
                  Stream{err.read, &r.err, nullptr, {}, &r.truncated}, start + limit, abort, r);
    }
    closeFd(out.read);
    closeFd(err.read);
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return r;
}

}  // namespace kelto::web
