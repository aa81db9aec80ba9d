// Progress of a long patch creation on standard error: a bar on a terminal, else a line per tenth.
#ifndef TOOLS_MKPATCH_PROGRESS_H
#define TOOLS_MKPATCH_PROGRESS_H

#include <cstddef>
#include <string>

namespace mkpatch {

class Progress {
 public:
  explicit Progress(bool enabled);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void stage(const std::string& name);  // a step without a measure ("sorting OLD")
  void update(size_t done, size_t total);

 private:
  void end_line();

  bool enabled_;
  bool terminal_;
  bool lineOpen_ = false;
  std::string stage_;
  int shown_ = -1;  // last percentage (terminal) or tenth (log) shown
};

}  // namespace mkpatch

#endif
