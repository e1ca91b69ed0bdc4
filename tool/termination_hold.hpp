// No signal may cut a write of pages short (Ctrl-C, kill, hang-up, an
// alarm, a user signal...): a page torn between its pixel bytes and their
// colour bytes shows a damaged picture, and a second run cannot tell that
// it needs mending.
#pragma once

#ifndef _WIN32
#include <signal.h>
#endif

namespace frennick {

// Once, before the first write: a file size limit then makes a write fail
// with a message instead of killing the process halfway through a page, and
// on Windows the console's Ctrl-C, Ctrl-Break and close are made to wait for
// the write in progress.
void prepareTerminationHold() noexcept;

// While one lives, every signal that can be blocked waits. When it ends, one
// that came in the meantime ends the process, as killed by that signal, before
// anything else is written; nothing is printed.
class TerminationHold {
 public:
  TerminationHold() noexcept;
  ~TerminationHold();
  TerminationHold(const TerminationHold&) = delete;
  TerminationHold& operator=(const TerminationHold&) = delete;

 private:
#ifndef _WIN32
  sigset_t before_;  // the signal mask to put back
#endif
};

#ifdef _WIN32
// The console control handler: for Ctrl-C, Ctrl-Break and closing the
// console it returns only once no write is in progress, and from then on no
// write starts. Returns FALSE, leaving the end of the process to the
// default handler. Its own name so that tests can call it.
int __stdcall waitForTheWrite(unsigned long event) noexcept;
#endif

}  // namespace frennick
