// When Frennick keeps its console window open for the user to read it.
#include "console.hpp"

#include <gtest/gtest.h>

#include <cstdio>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace frennick {
namespace {

TEST(ConsoleWindow, StaysOpenOnlyWhenItIsFrennicksOwnAndShowsTheMessages) {
  struct Case {
    const char* started;
    unsigned long processes;  // attached to the console, Frennick included
    bool outputIsConsole;
    bool staysOpen;
  };
  constexpr Case kCases[] = {
      {"double-click or a cart dropped on it", 1, true, true},
      {"its own window, output to a file", 1, false, false},
      {"from cmd or PowerShell", 2, true, false},
      {"from a console, output redirected", 2, false, false},
      {"from a batch file in cmd", 3, true, false},
      {"with no console at all", 0, false, false},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(keepsWindowOpen(c.processes, c.outputIsConsole), c.staysOpen)
        << c.started;
  }
}

#ifndef _WIN32
TEST(ConsoleSession, AnOutputErrorBeforeTheLastFlushStillFailsTheRun) {
  // A terminal that went away mid-run: a line went out on its own and
  // failed, and the last flush has nothing left to fail on.
  std::fflush(stdout);
  const int kept = dup(1);
  const int full = open("/dev/full", O_WRONLY);
  if (full < 0) GTEST_SKIP() << "no /dev/full here";
  dup2(full, 1);
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  std::fputs("a line to a terminal that is gone\n", stdout);
  dup2(kept, 1);
  close(full);
  close(kept);
  ConsoleSession console;
  const int status = console.finish(0);
  std::clearerr(stdout);
  EXPECT_EQ(status, 1);
}
#endif

}  // namespace
}  // namespace frennick
