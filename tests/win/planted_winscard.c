/* A winscard.dll planted beside a host: loading it ends the process at once
 * with exit status 3, so a host or tool that loads it fails visibly. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) ExitProcess(3);
  return TRUE;
}
