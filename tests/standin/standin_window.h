// The stand-in's window on Windows: a top-level window titled "Quorlin", as the runner looks
// it up, shown without taking the activation itself, so that any focus it gets came from outside.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace standin {

class FocusWindow {
 public:
  using Journal = void (*)(const std::string& line);
  // Opens the window on its own thread, which pumps its messages until destruction. The thread
  // journals one line: "window none error=<code>" when no window could be made (no display),
  // otherwise, once it got the focus or after QR_STANDIN_FOCUS_WAIT milliseconds (default 3000),
  // "window focus=<yes|no> foreground=<yes|no> handle=<window handle in hex>".
  explicit FocusWindow(Journal journal);
  FocusWindow(const FocusWindow&) = delete;
  FocusWindow& operator=(const FocusWindow&) = delete;
  // Waits for that line, then closes the window.
  ~FocusWindow();

 private:
  void Pump();

  Journal m_journal;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

}  // namespace standin
