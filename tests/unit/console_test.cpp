// When Frennick keeps its console window open for the user to read it.
#include "console.hpp"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace frennick
