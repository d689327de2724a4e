// Screenshots are the person watching the screen, not the host: the painting
// is taken on the main loop, at the moment the scenario asks, but the PNG
// encoding (tens of milliseconds on a quiet machine, a second with every core
// busy) runs on a thread of its own, so it never holds the host's main loop
// and the events due after it back. Written in the order taken.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ui/panel_painter.h"

namespace sim {

class ScreenshotWriter {
 public:
  ScreenshotWriter() = default;
  ScreenshotWriter(const ScreenshotWriter&) = delete;
  ScreenshotWriter& operator=(const ScreenshotWriter&) = delete;
  ~ScreenshotWriter();

  void write_later(PaintedWindowPtr painted, std::string path);
  // Waits until every picture handed over is written and stops the thread;
  // returns the paths that could not be written, with their error texts.
  struct Failed {
    std::string path, error;
  };
  std::vector<Failed> finish();

 private:
  struct Job {
    PaintedWindowPtr painted;
    std::string path;
  };
  void run();

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Job> jobs_;
  std::vector<Failed> failed_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace sim
