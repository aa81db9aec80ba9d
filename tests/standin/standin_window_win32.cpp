#include "tests/standin/standin_window.h"

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace standin {
namespace {

// Set by the window procedure when the window receives the keyboard focus.
std::atomic<bool> g_focusReceived{false};

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SETFOCUS) g_focusReceived = true;
  return ::DefWindowProcW(window, message, wParam, lParam);
}

std::chrono::milliseconds FocusWait() {
  const char* text = std::getenv("QR_STANDIN_FOCUS_WAIT");
  return std::chrono::milliseconds(text != nullptr ? std::atoi(text) : 3000);
}

void DrainMessages() {
  MSG message;
  while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
}

}  // namespace

FocusWindow::FocusWindow(Journal journal) : m_journal(journal), m_thread([this] { Pump(); }) {}

FocusWindow::~FocusWindow() {
  m_stop = true;
  m_thread.join();
}

void FocusWindow::Pump() {
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = WindowProcedure;
  windowClass.hInstance = ::GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"QuorlinStandinWindow";
  ::RegisterClassW(&windowClass);
  HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"Quorlin", WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, CW_USEDEFAULT, 320, 200, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
  if (window == nullptr) {
    m_journal("window none error=" + std::to_string(::GetLastError()));
    return;
  }
  ::ShowWindow(window, SW_SHOWNOACTIVATE);
  ::UpdateWindow(window);

  // Pumping with an empty queue is what lets the runner's wait for the first idle return.
  const auto deadline = std::chrono::steady_clock::now() + FocusWait();
  bool focused = false;
  bool foreground = false;
  for (;;) {
    DrainMessages();
    focused = g_focusReceived || ::GetFocus() == window;
    foreground = ::GetForegroundWindow() == window;
    if (focused || std::chrono::steady_clock::now() >= deadline) break;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  char handle[32];
  std::snprintf(handle, sizeof handle, "%#llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window)));
  m_journal(std::string("window focus=") + (focused ? "yes" : "no") +
            " foreground=" + (foreground ? "yes" : "no") + " handle=" + handle);

  while (!m_stop) {
    DrainMessages();
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  ::DestroyWindow(window);
  DrainMessages();
}

}  // namespace standin
