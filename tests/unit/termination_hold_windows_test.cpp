// The console control handler waits for the write in progress and keeps the
// next one from starting; the default handler then ends the process.
#include <gtest/gtest.h>
#include <windows.h>

#include "termination_hold.hpp"

namespace frennick {
namespace {

DWORD WINAPI pressCtrlC(void*) {
  return static_cast<DWORD>(waitForTheWrite(CTRL_C_EVENT));
}

DWORD WINAPI startAWrite(void*) {
  const TerminationHold hold;
  return 0;
}

TEST(ConsoleControl, CtrlCWaitsForTheWriteAndStopsTheNext) {
  // Other console events pass straight on.
  EXPECT_EQ(waitForTheWrite(CTRL_LOGOFF_EVENT), FALSE);

  HANDLE handler = nullptr;
  {
    const TerminationHold writing;
    handler = CreateThread(nullptr, 0, pressCtrlC, nullptr, 0, nullptr);
    ASSERT_NE(handler, nullptr);
    EXPECT_EQ(WaitForSingleObject(handler, 300), WAIT_TIMEOUT)
        << "the handler returned while a write was in progress";
  }
  ASSERT_EQ(WaitForSingleObject(handler, 10000), WAIT_OBJECT_0);
  DWORD handled = 1;
  GetExitCodeThread(handler, &handled);
  EXPECT_EQ(handled, static_cast<DWORD>(FALSE)) << "the process must end";
  CloseHandle(handler);

  HANDLE next = CreateThread(nullptr, 0, startAWrite, nullptr, 0, nullptr);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(WaitForSingleObject(next, 300), WAIT_TIMEOUT)
      << "a write started after Ctrl-C";
  // The thread stays blocked; the test process ends around it.
}

}  // namespace
}  // namespace frennick
