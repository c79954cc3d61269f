#include "apps/fxhost/output_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "apps/fxhost/options.h"
#include "refhost/refhost.h"

namespace fxhost {
namespace {

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

mode_t DefaultMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace

OutputFile::OutputFile(const std::string& path, bool force) : path_(path), force_(force) {
    if (path.empty())
        throw refhost::Error("no output file given");
    if (!force && Exists(path))
        throw refhost::Error(path + " already exists; use --force to overwrite it");
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string ext = Extension(name);
    std::string pattern = dir + "." + name + ".fxhost-XXXXXX" + ext;
    const int fd = mkostemps(pattern.data(), static_cast<int>(ext.size()), O_CLOEXEC);
    if (fd < 0)
        throw refhost::Error("cannot write " + path + ": " + std::strerror(errno));
    fchmod(fd, DefaultMode());
    close(fd);
    temp_ = pattern;
}

OutputFile::~OutputFile() {
    if (!committed_)
        unlink(temp_.c_str());
}

void OutputFile::Commit() {
    if (force_) {
        if (rename(temp_.c_str(), path_.c_str()) != 0)
            throw refhost::Error("cannot write " + path_ + ": " + std::strerror(errno));
    } else if (renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, path_.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno == EEXIST)
            throw refhost::Error(path_ + " appeared while rendering; use --force to overwrite it");
        // File systems without the no-replace rename: a hard link refuses an
        // existing name as well.
        if (link(temp_.c_str(), path_.c_str()) != 0) {
            if (errno == EEXIST)
                throw refhost::Error(path_ +
                                     " appeared while rendering; use --force to overwrite it");
            throw refhost::Error("cannot write " + path_ + ": " + std::strerror(errno));
        }
        unlink(temp_.c_str());
    }
    committed_ = true;
}

}  // namespace fxhost
