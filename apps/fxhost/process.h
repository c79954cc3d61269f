// Child processes with pipes, for the ffmpeg tools.  A child is started with
// posix_spawnp (looked up on PATH), its standard error is kept in an
// anonymous temporary file so its messages can be reported when it fails,
// and a child still running when its object dies is killed and reaped.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

#include "refhost/refhost.h"

namespace fxhost {

// The program to start does not exist on PATH.
class ProgramNotFound : public refhost::Error {
  public:
    using refhost::Error::Error;
};

class ChildProcess {
  public:
    enum class Pipe { kNone, kStdin, kStdout };

    // argv[0] is the program.  With kStdin the parent writes the child's
    // standard input through In(); with kStdout it reads its standard output
    // through Out().  The other standard stream is /dev/null.
    ChildProcess(const std::vector<std::string>& argv, Pipe pipe);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    int In() const { return in_; }
    int Out() const { return out_; }
    void CloseIn();
    void CloseOut();

    // Waits for the child; its exit code, or 128 + signal number.
    int Wait();
    // Kills the child (if it still runs) and reaps it.
    void Kill();
    // What the child wrote to its standard error (the last few kilobytes).
    std::string ErrorOutput() const;
    const std::string& Program() const { return program_; }

  private:
    std::string program_;
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int errorLog_ = -1;
    int status_ = -1;
};

// Writes all bytes; false when the reader has gone (or on another error).
bool WriteAll(int fd, const void* data, size_t size);
// Reads exactly `size` bytes.  Returns the count read: `size`, or less at the
// end of the stream.  Throws refhost::Error on a read error.
size_t ReadFull(int fd, void* data, size_t size);

// A program ran and ended with a non-zero exit code.
class ProgramFailed : public refhost::Error {
  public:
    ProgramFailed(const std::string& program, int status, std::string messages);
    const std::string& Messages() const { return messages_; }

  private:
    std::string messages_;
};

// Runs a program to completion and returns its standard output; throws
// ProgramFailed with its messages when it fails.
std::string RunAndCapture(const std::vector<std::string>& argv);

}  // namespace fxhost
