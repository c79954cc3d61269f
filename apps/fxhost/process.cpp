#include "apps/fxhost/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "apps/fxhost/interrupt.h"

extern char** environ;

namespace fxhost {
namespace {

// An anonymous temporary file (already unlinked).
int AnonymousFile() {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/fxhost-log-XXXXXX";
    const int fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0)
        unlink(pattern.c_str());
    return fd;
}

class SpawnSetup {
  public:
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
        // The child starts with default handling of the signals this program
        // catches or ignores (SIGPIPE in particular).
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGTERM);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
};

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, Pipe pipe) : program_(argv.at(0)) {
    int fds[2] = {-1, -1};
    if (pipe != Pipe::kNone && pipe2(fds, O_CLOEXEC) != 0)
        throw refhost::Error(std::string("cannot create a pipe: ") + std::strerror(errno));
    errorLog_ = AnonymousFile();

    SpawnSetup setup;
    if (pipe == Pipe::kStdin) {
        posix_spawn_file_actions_adddup2(&setup.actions, fds[0], 0);
        posix_spawn_file_actions_addopen(&setup.actions, 1, "/dev/null", O_WRONLY, 0);
    } else {
        posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
        if (pipe == Pipe::kStdout)
            posix_spawn_file_actions_adddup2(&setup.actions, fds[1], 1);
        else
            posix_spawn_file_actions_addopen(&setup.actions, 1, "/dev/null", O_WRONLY, 0);
    }
    if (errorLog_ >= 0)
        posix_spawn_file_actions_adddup2(&setup.actions, errorLog_, 2);

    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int err =
        posix_spawnp(&pid_, program_.c_str(), &setup.actions, &setup.attr, args.data(), environ);
    if (pipe == Pipe::kStdin) {
        close(fds[0]);
        in_ = fds[1];
    } else if (pipe == Pipe::kStdout) {
        close(fds[1]);
        out_ = fds[0];
    }
    if (err != 0) {
        pid_ = -1;
        CloseIn();
        CloseOut();
        if (errorLog_ >= 0)
            close(errorLog_);
        errorLog_ = -1;
        if (err == ENOENT)
            throw ProgramNotFound(program_ + " was not found on PATH");
        throw refhost::Error("cannot start " + program_ + ": " + std::strerror(err));
    }
}

ChildProcess::~ChildProcess() {
    Kill();
    if (errorLog_ >= 0)
        close(errorLog_);
}

void ChildProcess::CloseIn() {
    if (in_ >= 0)
        close(in_);
    in_ = -1;
}

void ChildProcess::CloseOut() {
    if (out_ >= 0)
        close(out_);
    out_ = -1;
}

int ChildProcess::Wait() {
    // Closing both pipes first: a writer sees its end of input, and a child
    // still writing to us is not left blocked on a full pipe.
    CloseIn();
    CloseOut();
    if (pid_ > 0) {
        int status = 0;
        pid_t r;
        do {
            r = waitpid(pid_, &status, 0);
        } while (r < 0 && errno == EINTR);
        pid_ = -1;
        if (r < 0)
            status_ = 127;
        else if (WIFEXITED(status))
            status_ = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            status_ = 128 + WTERMSIG(status);
        else
            status_ = 127;
    }
    return status_;
}

void ChildProcess::Kill() {
    if (pid_ > 0)
        kill(pid_, SIGKILL);
    Wait();
}

std::string ChildProcess::ErrorOutput() const {
    if (errorLog_ < 0)
        return "";
    const off_t size = lseek(errorLog_, 0, SEEK_END);
    constexpr off_t kKeep = 4096;
    const off_t from = size > kKeep ? size - kKeep : 0;
    std::string text(static_cast<size_t>(size - from), '\0');
    const ssize_t n = pread(errorLog_, text.data(), text.size(), from);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

bool WriteAll(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR && !Interrupted())
                continue;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

size_t ReadFull(int fd, void* data, size_t size) {
    auto* p = static_cast<char*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = read(fd, p + done, size - done);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR && !Interrupted())
                continue;
            if (errno == EINTR)
                throw Interruption();
            throw refhost::Error(std::string("cannot read from a pipe: ") + std::strerror(errno));
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

std::string RunAndCapture(const std::vector<std::string>& argv) {
    ChildProcess child(argv, ChildProcess::Pipe::kStdout);
    std::string out;
    char buf[4096];
    for (;;) {
        const size_t n = ReadFull(child.Out(), buf, sizeof buf);
        out.append(buf, n);
        if (n < sizeof buf)
            break;
    }
    const int status = child.Wait();
    if (status != 0)
        throw ProgramFailed(argv[0], status, child.ErrorOutput());
    return out;
}

ProgramFailed::ProgramFailed(const std::string& program, int status, std::string messages)
    : refhost::Error(program + " failed (exit code " + std::to_string(status) + ")" +
                     (messages.empty() ? std::string() : ":\n" + messages)),
      messages_(std::move(messages)) {}

}  // namespace fxhost
