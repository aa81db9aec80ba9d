#include "tools/mkpatch/progress.h"

#include <unistd.h>

#include <cstdio>

namespace mkpatch {

Progress::Progress(bool enabled) : enabled_(enabled), terminal_(isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() { end_line(); }

void Progress::end_line() {
  if (lineOpen_) std::fputc('\n', stderr);
  lineOpen_ = false;
}

void Progress::stage(const std::string& name) {
  if (!enabled_) return;
  end_line();
  stage_ = name;
  shown_ = -1;
  if (terminal_) {
    std::fprintf(stderr, "%s...", name.c_str());
    lineOpen_ = true;
  } else {
    std::fprintf(stderr, "%s...\n", name.c_str());
  }
  std::fflush(stderr);
}

void Progress::update(size_t done, size_t total) {
  if (!enabled_ || total == 0) return;
  int percent = static_cast<int>(done * 100.0 / static_cast<double>(total));
  if (terminal_) {
    if (percent == shown_) return;
    shown_ = percent;
    constexpr int kWidth = 40;
    int filled = percent * kWidth / 100;
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%", stage_.c_str(), filled,
                 "########################################", kWidth - filled, "", percent);
    lineOpen_ = true;
  } else {
    int tenth = percent / 10;
    if (tenth == shown_) return;
    shown_ = tenth;
    std::fprintf(stderr, "%s: %d%%\n", stage_.c_str(), tenth * 10);
  }
  std::fflush(stderr);
}

}  // namespace mkpatch
