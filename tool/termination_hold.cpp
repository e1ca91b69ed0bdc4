#include "termination_hold.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#endif
#ifdef __linux__
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#endif

namespace frennick {

#ifdef _WIN32
namespace {

// Held by the main thread for each write. A console event, handled on a
// thread of its own, takes it and never gives it back, so the write in
// progress ends and no other write starts; then the default handler ends
// the process.
SRWLOCK writing = SRWLOCK_INIT;

}  // namespace

BOOL WINAPI waitForTheWrite(DWORD event) noexcept {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ||
      event == CTRL_CLOSE_EVENT) {
    AcquireSRWLockExclusive(&writing);
  }
  return FALSE;
}

void prepareTerminationHold() noexcept {
  SetConsoleCtrlHandler(waitForTheWrite, TRUE);
}

TerminationHold::TerminationHold() noexcept {
  AcquireSRWLockExclusive(&writing);
}

TerminationHold::~TerminationHold() { ReleaseSRWLockExclusive(&writing); }

#else
namespace {

#ifdef __linux__
// The kernel's own call: the C library's sigprocmask quietly leaves out the
// two signals it keeps for its threads (32 and 33), and with no handler
// either of them ends the process mid-write. This program has one thread
// and no use for them. The kernel leaves KILL and STOP out by itself.
constexpr std::size_t kKernelSignalSetBytes = (_NSIG - 1) / 8;

void setKernelMask(int how, const void* set, void* before) noexcept {
  syscall(SYS_rt_sigprocmask, how, set, before, kKernelSignalSetBytes);
}
#endif

// Every signal that can be blocked: any of them may end the process (USR1,
// ALRM, PIPE, real-time ones...), not only the usual four.
sigset_t everySignal() noexcept {
  sigset_t set;
  sigfillset(&set);
#ifdef __linux__
  static_assert(sizeof set >= kKernelSignalSetBytes);
  std::memset(&set, 0xFF, kKernelSignalSetBytes);
#endif
  return set;
}

}  // namespace

void prepareTerminationHold() noexcept {
  // Writes never make the cart longer; a limit below its size is a failure
  // to report like any other.
  std::signal(SIGXFSZ, SIG_IGN);
}

// Blocked signals stay pending: the kernel does not cut the write short for
// them. Putting the mask back delivers a pending one with the action it had,
// which for most is to end the process; an ignored one never became pending.
TerminationHold::TerminationHold() noexcept {
  static const sigset_t hold = everySignal();
#ifdef __linux__
  setKernelMask(SIG_BLOCK, &hold, &before_);
#else
  sigprocmask(SIG_BLOCK, &hold, &before_);
#endif
}

TerminationHold::~TerminationHold() {
#ifdef __linux__
  setKernelMask(SIG_SETMASK, &before_, nullptr);
#else
  sigprocmask(SIG_SETMASK, &before_, nullptr);
#endif
}
#endif

}  // namespace frennick
