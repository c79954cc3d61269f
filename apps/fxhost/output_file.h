// An output written under a temporary name beside its final path and moved
// into place only when complete, so a failed or interrupted run leaves
// nothing half-written behind.  An existing file is replaced only with force.
// The temporary file stays locked while its run lives; one that nothing
// holds was left by a run that was killed (kill -9, a crash, a power cut)
// and is removed, with a note, by the next run writing the same output.
#pragma once
#include <string>

namespace fxhost {

class OutputFile {
  public:
    // Refuses (refhost::Error) when `path` exists and `force` is off, removes
    // the stale temporary files of `path` (saying so on standard error), and
    // creates the temporary file ".<name>.fxhost-XXXXXX<extension>" beside it.
    OutputFile(const std::string& path, bool force);
    // Removes the temporary file unless it was committed, and unlocks it.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& Path() const { return path_; }
    const std::string& TempPath() const { return temp_; }
    // Moves the temporary file to the final path.  Without force, a file that
    // appeared there in the meantime is not replaced (refhost::Error).
    void Commit();

  private:
    std::string path_;
    std::string temp_;
    bool force_;
    bool committed_ = false;
    int lock_ = -1;  // the temporary file, open and locked
};

}  // namespace fxhost
