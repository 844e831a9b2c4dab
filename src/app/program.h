#pragma once

#include <cstdint>

namespace wuqu {

class MainWindow;
namespace catalogue {
struct DownloadState;
}

// Points at which a caller can look into a run of the program.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  // The download state exists; the window does not yet.
  virtual void StateCreated(const catalogue::DownloadState&) {}
  // The window is up and its message loop about to run.
  virtual void WindowShown(MainWindow&) {}
  // The window has closed and the download state has been released.
  virtual void StateReleased(const catalogue::DownloadState&) {}
};

// The whole program: creates the download state, shows the window, runs its
// message loop until the window closes, releases the state and gives the
// exit code, always 0. Uses the running QApplication if there is one.
int RunProgram(int argc, char** argv, RunObserver* observer = nullptr);

// 编辑框EX1's handler of a mouse press: empties the box. The press position
// that comes with the event is not used.
void ClearTrackNumber(MainWindow& window, std::int32_t x, std::int32_t y);

}  // namespace wuqu
