/* A host in a folder that also holds vorkand.dll, vorkand.exe and a planted
 * winscard.dll (planted_winscard.c, which ends any process that loads it with
 * exit status 3). Each check runs in a child process of its own:
 *   plain    LoadLibraryA("winscard.dll") must load the planted one, or the
 *            other checks prove nothing;
 *   library  a PC/SC open through vorkand.dll loads WinSCard: the process
 *            survives, and the winscard.dll it holds is the system's;
 *   tool     vorkand.exe readers, which lists the PC/SC readers, survives.
 * Under Wine the test sets WINEDLLOVERRIDES=winscard=n,b, so that a native
 * winscard.dll is preferred to the built-in one, as Windows would find a
 * planted one first. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "vorkand.h"

/* The exit status of `command` run from this program's folder, -1 when it
 * could not be started. */
static int run(const char* program, const char* arguments) {
  char self[MAX_PATH];
  char path[MAX_PATH];
  char command[2 * MAX_PATH];
  STARTUPINFOA startup;
  PROCESS_INFORMATION process;
  DWORD status = 0;
  char* slash;
  if (GetModuleFileNameA(NULL, self, MAX_PATH) == 0) return -1;
  strcpy(path, self);
  slash = strrchr(path, '\\');
  if (program != NULL && slash != NULL) strcpy(slash + 1, program);
  snprintf(command, sizeof command, "\"%s\" %s", program != NULL ? path : self, arguments);
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  if (!CreateProcessA(program != NULL ? path : self, command, NULL, NULL, FALSE, 0, NULL, NULL,
                      &startup, &process))
    return -1;
  WaitForSingleObject(process.hProcess, 60000);
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return (int)status;
}

static int library(void) {
  char loaded[MAX_PATH];
  char system[MAX_PATH];
  HMODULE module;
  int32_t handle;
  SetEnvironmentVariableA("VORKAND_COM1", "pcsc:no such reader");
  handle = CT_open("COM1");
  if (handle != 0) CT_close(handle);
  module = GetModuleHandleA("winscard.dll");
  if (module == NULL) {
    puts("FAIL vorkand.dll did not load WinSCard at all");
    return 1;
  }
  if (GetModuleFileNameA(module, loaded, MAX_PATH) == 0 ||
      GetSystemDirectoryA(system, MAX_PATH) == 0 ||
      _strnicmp(loaded, system, strlen(system)) != 0) {
    printf("FAIL winscard.dll loaded from %s, not from %s\n", loaded, system);
    return 1;
  }
  printf("ok vorkand.dll loaded winscard.dll from %s\n", loaded);
  return 0;
}

int main(int argc, char** argv) {
  int status;
  int failures = 0;
  if (argc > 1 && strcmp(argv[1], "plain") == 0) {
    LoadLibraryA("winscard.dll");
    return 0;
  }
  if (argc > 1 && strcmp(argv[1], "library") == 0) return library();

  status = run(NULL, "plain");
  if (status != 3) {
    printf("FAIL a plain LoadLibraryA did not load the planted winscard.dll (status %d)\n", status);
    return 1;
  }
  status = run(NULL, "library");
  if (status != 0) {
    printf("FAIL the PC/SC open through vorkand.dll (status %d%s)\n", status,
           status == 3 ? ": the planted winscard.dll was loaded" : "");
    ++failures;
  }
  status = run("vorkand.exe", "readers");
  if (status == 3 || status < 0) {
    printf("FAIL vorkand.exe readers (status %d%s)\n", status,
           status == 3 ? ": the planted winscard.dll was loaded" : "");
    ++failures;
  } else {
    printf("ok vorkand.exe readers (status %d)\n", status);
  }
  return failures == 0 ? 0 : 1;
}
