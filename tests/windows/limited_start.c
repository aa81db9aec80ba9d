/* Starts a program with the limited token linked to this process's full one, as the shell of a
 * user under UAC starts programs, waits for it and exits with its exit code. Wine gives every
 * process an administrator's full token; the runner's cases start it through this to run as a
 * user who is not elevated. The standard handles, working folder and environment pass on.
 *   limited_start.exe PROGRAM [ARGUMENT...] */
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

int wmain(int argc, wchar_t** argv) {
  HANDLE token = NULL;
  TOKEN_LINKED_TOKEN linked = {0};
  DWORD size = 0;
  STARTUPINFOW startup = {0};
  PROCESS_INFORMATION started = {0};
  DWORD exitCode = 1;
  /* Everything after this program's own name, as it was written. */
  wchar_t* line = GetCommandLineW();
  int quoted = 0;
  if (argc < 2) {
    fputs("usage: limited_start.exe PROGRAM [ARGUMENT...]\n", stderr);
    return 2;
  }
  for (; *line != L'\0' && (quoted || (*line != L' ' && *line != L'\t')); ++line)
    if (*line == L'"') quoted = !quoted;
  while (*line == L' ' || *line == L'\t') ++line;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ||
      !GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &size)) {
    fprintf(stderr, "limited_start: no linked token: %lu\n", (unsigned long)GetLastError());
    return 1;
  }
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  if (!CreateProcessAsUserW(linked.LinkedToken, NULL, line, NULL, NULL, TRUE, 0, NULL, NULL,
                            &startup, &started)) {
    fprintf(stderr, "limited_start: CreateProcessAsUserW failed: %lu\n",
            (unsigned long)GetLastError());
    return 1;
  }
  WaitForSingleObject(started.hProcess, INFINITE);
  GetExitCodeProcess(started.hProcess, &exitCode);
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  CloseHandle(linked.LinkedToken);
  CloseHandle(token);
  return (int)exitCode;
}
