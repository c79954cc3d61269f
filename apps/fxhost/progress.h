// A one-line progress bar on standard error for long renders: frames done,
// frames per second and the time left.  Drawn only on a terminal.
#pragma once
#include <chrono>
#include <cstdint>

namespace fxhost {

class Progress {
  public:
    // `total` 0 when the frame count is not known.  `enabled` false draws nothing.
    Progress(int64_t total, bool enabled);
    // Redraws (at most ten times a second) after `done` frames.
    void Update(int64_t done);
    // Draws the final state and ends the line.
    void Finish(int64_t done);

    // Standard error is a terminal.
    static bool ErrorIsTerminal();

  private:
    void Draw(int64_t done);
    int64_t total_;
    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_, last_;
};

}  // namespace fxhost
