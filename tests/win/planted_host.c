/* A host in a folder that also holds a planted winscard.dll (planted_winscard.c,
 * which ends any process that loads it with exit status 3). It first runs itself
 * with "plain", where LoadLibraryA("winscard.dll") must load the planted one:
 * otherwise the check proves nothing. Then it opens a PC/SC port through
 * vorkand.dll, which loads WinSCard: the process must survive, and the
 * winscard.dll it has loaded must be the one in the system folder. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "vorkand.h"

static int run_plain(void) {
  char self[MAX_PATH];
  char command[MAX_PATH + 16];
  STARTUPINFOA startup;
  PROCESS_INFORMATION process;
  DWORD status = 0;
  if (GetModuleFileNameA(NULL, self, MAX_PATH) == 0) return -1;
  snprintf(command, sizeof command, "\"%s\" plain", self);
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  if (!CreateProcessA(self, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
    return -1;
  WaitForSingleObject(process.hProcess, 30000);
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return (int)status;
}

int main(int argc, char** argv) {
  char loaded[MAX_PATH];
  char system[MAX_PATH];
  HMODULE module;
  int32_t handle;
  int plain;
  if (argc > 1 && strcmp(argv[1], "plain") == 0) {
    LoadLibraryA("winscard.dll");
    return 0;
  }
  plain = run_plain();
  if (plain != 3) {
    printf("FAIL the planted winscard.dll did not load with a plain LoadLibraryA (status %d)\n",
           plain);
    return 1;
  }
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
  printf("ok winscard.dll from %s\n", loaded);
  return 0;
}
