// The demo product's background program. It only waits, so that tests can
// see whether a process that an installer started outlives the setup run.
// An optional first argument shortens the wait (seconds, at most 600).
#include <windows.h>

#include <cwchar>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
  const unsigned long kMaxSeconds = 600;
  unsigned long seconds = kMaxSeconds;
  if (commandLine && *commandLine) {
    unsigned long asked = wcstoul(commandLine, nullptr, 10);
    if (asked > 0 && asked < kMaxSeconds) seconds = asked;
  }
  ::Sleep(seconds * 1000);
  return 0;
}
