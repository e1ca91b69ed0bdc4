#include "console.hpp"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
// windows.h must come first.
#include <conio.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace frennick {

bool keepsWindowOpen(unsigned long consoleProcesses, bool outputIsConsole) {
  return consoleProcesses == 1 && outputIsConsole;
}

#ifdef _WIN32
namespace {

UINT savedCodePage = 0;

void restoreCodePage() noexcept {
  if (savedCodePage != 0) SetConsoleOutputCP(savedCodePage);
}

BOOL WINAPI restoreOnControlEvent(DWORD) {
  restoreCodePage();
  return FALSE;  // the other handlers, then the default one, go on
}

bool outputIsConsole() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

}  // namespace

ConsoleSession::ConsoleSession() noexcept {
  savedCodePage = GetConsoleOutputCP();  // 0 without a console
  if (savedCodePage == 0) return;
  SetConsoleCtrlHandler(restoreOnControlEvent, TRUE);
  // A console shows the UTF-8 messages as written; a pipe gets the bytes.
  SetConsoleOutputCP(CP_UTF8);
}

ConsoleSession::~ConsoleSession() { restoreCodePage(); }

void ConsoleSession::holdOwnWindow() noexcept {
  DWORD process = 0;
  if (keepsWindowOpen(GetConsoleProcessList(&process, 1), outputIsConsole())) {
    std::fputs("Press a key to close this window.\n", stdout);
    std::fflush(stdout);
    _getch();
  }
  restoreCodePage();
}

#else
ConsoleSession::ConsoleSession() noexcept {
  // A closed one is opened the wrong way round, so that using it fails as
  // it would have.
  for (int descriptor = 0; descriptor <= 2; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) == -1 && errno == EBADF) {
      const int opened =
          open("/dev/null", descriptor == 0 ? O_WRONLY : O_RDONLY);
      if (opened != descriptor && opened >= 0) close(opened);
    }
  }
  errno = 0;
}

ConsoleSession::~ConsoleSession() = default;

void ConsoleSession::holdOwnWindow() noexcept {}
#endif

int ConsoleSession::finish(int status) noexcept {
  const bool reported = std::fflush(stdout) == 0 && !std::ferror(stdout);
  holdOwnWindow();
  return reported ? status : 1;
}

}  // namespace frennick
