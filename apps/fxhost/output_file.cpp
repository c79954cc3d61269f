#include "apps/fxhost/output_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

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

// Removes the temporary files "<prefix>XXXXXX<ext>" in `dir` that no run
// holds locked.
void RemoveStale(const std::string& dir, const std::string& prefix, const std::string& ext) {
    DIR* d = opendir(dir.empty() ? "." : dir.c_str());
    if (d == nullptr)
        return;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() != prefix.size() + 6 + ext.size() ||
            name.compare(0, prefix.size(), prefix) ||
            name.compare(name.size() - ext.size(), ext.size(), ext))
            continue;
        const std::string path = dir + name;
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            unlink(path.c_str()) == 0)
            std::cerr << "fxhost: removed " << path << ", left by a run that was killed\n";
        close(fd);
    }
    closedir(d);
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
    const std::string prefix = "." + name + ".fxhost-";
    RemoveStale(dir, prefix, ext);
    // Another run may take a new file for stale between its creation and its
    // lock; then it is gone from the folder and another one is made.
    for (;;) {
        std::string pattern = dir + prefix + "XXXXXX" + ext;
        const int fd = mkostemps(pattern.data(), static_cast<int>(ext.size()), O_CLOEXEC);
        if (fd < 0)
            throw refhost::Error("cannot write " + path + ": " + std::strerror(errno));
        // (A file system without locks keeps every temporary file.)
        struct stat held, named;
        const bool taken =
            flock(fd, LOCK_EX) == 0 && fstat(fd, &held) == 0 &&
            (stat(pattern.c_str(), &named) != 0 ? errno == ENOENT : named.st_ino != held.st_ino);
        if (!taken) {
            fchmod(fd, DefaultMode());
            lock_ = fd;
            temp_ = pattern;
            return;
        }
        close(fd);
    }
}

OutputFile::~OutputFile() {
    if (!committed_)
        unlink(temp_.c_str());
    close(lock_);
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
