#include "apps/fxhost/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace fxhost {

Progress::Progress(int64_t total, bool enabled)
    : total_(total), enabled_(enabled), start_(std::chrono::steady_clock::now()), last_(start_) {}

bool Progress::ErrorIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

void Progress::Update(int64_t done) {
    if (!enabled_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_ < std::chrono::milliseconds(100))
        return;
    last_ = now;
    Draw(done);
}

void Progress::Finish(int64_t done) {
    if (!enabled_)
        return;
    Draw(done);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void Progress::Draw(int64_t done) {
    drawn_ = true;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double fps = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    std::string line = "\r";
    char buf[96];
    if (total_ > 0) {
        constexpr int kWidth = 24;
        const int64_t shown = std::min(done, total_);
        const int filled = static_cast<int>(kWidth * shown / total_);
        line += "[" + std::string(filled, '#') + std::string(kWidth - filled, '-') + "] ";
        std::snprintf(buf, sizeof buf, "%lld/%lld frames", static_cast<long long>(done),
                      static_cast<long long>(total_));
    } else {
        std::snprintf(buf, sizeof buf, "%lld frames", static_cast<long long>(done));
    }
    line += buf;
    std::snprintf(buf, sizeof buf, "  %.1f fps", fps);
    line += buf;
    if (total_ > 0 && fps > 0) {
        const auto left = static_cast<long long>(
            static_cast<double>(std::max<int64_t>(total_ - done, 0)) / fps + 0.5);
        std::snprintf(buf, sizeof buf, "  %lld:%02lld left", left / 60, left % 60);
        line += buf;
    }
    line += "\x1b[K";  // clear the rest of the line
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace fxhost
