// An output written under a temporary name beside its final path and moved
// into place only when complete, so a failed or interrupted run leaves
// nothing half-written behind.  An existing file is replaced only with force.
#pragma once
#include <string>

namespace fxhost {

class OutputFile {
  public:
    // Refuses (refhost::Error) when `path` exists and `force` is off, and
    // creates the temporary file ".<name>.fxhost-XXXXXX<extension>" beside it.
    OutputFile(const std::string& path, bool force);
    // Removes the temporary file unless it was committed.
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
};

}  // namespace fxhost
