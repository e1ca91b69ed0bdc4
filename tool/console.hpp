// The console and the standard streams around a run: what a user sees,
// and that the exit status tells the truth about it.
#pragma once

namespace frennick {

// Whether to keep the console window open after the last message until a
// key is pressed: only when the window is Frennick's own (started from
// Explorer by a double-click or by dropping a cart on it, so that the
// console lists no other process) and the messages go to it.
bool keepsWindowOpen(unsigned long consoleProcesses, bool outputIsConsole);

// Lives for the whole of main. On POSIX, makes sure the three standard
// descriptors are open, so that the cart never gets one of them and no
// message can land in it. On Windows, shows messages in UTF-8 and puts the
// console's own code page back on every way out, Ctrl-C included.
class ConsoleSession {
 public:
  ConsoleSession() noexcept;
  ~ConsoleSession();
  ConsoleSession(const ConsoleSession&) = delete;
  ConsoleSession& operator=(const ConsoleSession&) = delete;

  // The exit status for a run that ended with `status`: 1 when its messages
  // could not all be written (standard output full or closed). On Windows,
  // waits for a key first if the window is Frennick's own.
  int finish(int status) noexcept;

 private:
  void holdOwnWindow() noexcept;
};

}  // namespace frennick
