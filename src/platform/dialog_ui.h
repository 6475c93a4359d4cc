#pragma once

#include <string>

// What stands in for the Win32 progress dialog where there is none: the shell
// (a terminal line, a GTK window) or a test implements it, and its address is
// the DialogHandle the core passes around. The core only calls it through the
// dialog operations of platform.h.
//
// Implementations are called from worker threads; each must do nothing once
// the dialog has ended, and must outlive every worker thread (the shells never
// destroy theirs).
class DialogUi {
 public:
  virtual void setText(int id, const std::string& text) = 0;
  virtual void setRange(int id, int low, int high) = 0;
  virtual void setPos(int id, int pos) = 0;
  virtual void messageBox(const std::string& text, const std::string& caption) = 0;
  virtual void end(int result) = 0;

 protected:
  ~DialogUi() = default;
};
