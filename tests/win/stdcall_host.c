/* A 32-bit host's check of the calling convention of every export: each is
 * found by name and by ordinal (the same address), then called through both
 * with the stack aligned to 4 bytes only (ESP = 4 and 12 mod 16 at the call),
 * as hosts built by old compilers call. The callee must remove its arguments:
 * ESP after the call equals ESP before the arguments were pushed. The calls
 * need no reader (an unopened handle, an unmapped port, the DES vectors).
 * Prints one line per export; exits 0 when all hold. 32-bit builds only. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Pushes n 32-bit arguments (last first) so that ESP is `skew` mod 16 at the
 * call, calls fn, stores its EAX in *ret and returns ESP after the call minus
 * ESP before the pushes: 0 when the callee removed exactly its arguments. */
int vk_call(const void* fn, const uint32_t* args, int n, int skew, uint32_t* ret);
__asm__(
    ".text\n"
    ".globl _vk_call\n"
    "_vk_call:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %ebx\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  movl 12(%ebp), %esi\n"
    "  movl 16(%ebp), %ecx\n"
    "  andl $-16, %esp\n"
    "  leal (,%ecx,4), %edx\n"
    "  addl 20(%ebp), %edx\n"
    "  negl %edx\n"
    "  andl $15, %edx\n"
    "  subl %edx, %esp\n"
    "  movl %esp, %edi\n"
    "1:\n"
    "  testl %ecx, %ecx\n"
    "  jz 2f\n"
    "  decl %ecx\n"
    "  pushl (%esi,%ecx,4)\n"
    "  jmp 1b\n"
    "2:\n"
    "  call *8(%ebp)\n"
    "  movl 24(%ebp), %ecx\n"
    "  movl %eax, (%ecx)\n"
    "  movl %esp, %eax\n"
    "  subl %edi, %eax\n"
    "  leal -12(%ebp), %esp\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebx\n"
    "  popl %ebp\n"
    "  ret\n");

static const uint8_t kKey[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
static const uint8_t kPlain[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
static const uint8_t kCipher[8] = {0x85, 0xE8, 0x13, 0x54, 0x0F, 0x0A, 0xB4, 0x05};
static uint8_t g_out[8];
static uint8_t g_length;
static uint8_t g_buffer[260];
static const uint8_t kApdu[5] = {0x00, 0xB0, 0x00, 0x00, 0x00};

#define U(p) ((uint32_t)(uintptr_t)(p))
#define UNOPENED 0x1234u

struct Export {
  const char* name;
  WORD ordinal;
  int argc;
  uint32_t args[8];
};

int main(void) {
  const struct Export exports[] = {
      {"CT_close", 1, 1, {UNOPENED}},
      {"CT_open", 2, 1, {U("COM9")}},
      {"CT_reset", 3, 1, {UNOPENED}},
      {"DesDecrypt", 4, 3, {U(g_out), U(kCipher), U(kKey)}},
      {"DesEncrypt", 5, 3, {U(g_out), U(kPlain), U(kKey)}},
      {"ICC_command", 6, 7, {UNOPENED, 5, U(kApdu), U(&g_length), U(g_buffer), 0, 1}},
      {"ICC_commandS", 7, 8, {UNOPENED, 0, 5, U(kApdu), U(&g_length), U(g_buffer), 0, 1}},
      {"ICC_reset", 8, 3, {UNOPENED, U(&g_length), U(g_buffer)}},
      {"ICC_resetS", 9, 4, {UNOPENED, 0, U(&g_length), U(g_buffer)}},
      {"ICC_tsi_api", 10, 5, {UNOPENED, 5, U(kApdu), U(&g_length), U(g_buffer)}},
      {"ICC_tsi_apiS", 11, 6, {UNOPENED, 0, 5, U(kApdu), U(&g_length), U(g_buffer)}},
  };
  const char* path = getenv("VORKAND_DLL");
  HMODULE module = LoadLibraryA(path != NULL ? path : "vorkand.dll");
  if (module == NULL) {
    printf("FAIL LoadLibrary: %lu\n", (unsigned long)GetLastError());
    return 1;
  }
  int failures = 0;
  for (size_t i = 0; i < sizeof exports / sizeof exports[0]; ++i) {
    const struct Export* e = &exports[i];
    const void* by_name = (const void*)GetProcAddress(module, e->name);
    const void* by_ordinal = (const void*)GetProcAddress(module, MAKEINTRESOURCEA(e->ordinal));
    if (by_name == NULL || by_name != by_ordinal) {
      printf("FAIL %s: by name %p, by ordinal %u %p\n", e->name, by_name, e->ordinal, by_ordinal);
      ++failures;
      continue;
    }
    const void* pointers[2] = {by_name, by_ordinal};
    int bad = 0;
    for (int p = 0; p < 2; ++p) {
      for (int skew = 4; skew <= 12; skew += 8) {
        uint32_t ret = 0;
        memset(g_out, 0, sizeof g_out);
        const int drift = vk_call(pointers[p], e->args, e->argc, skew, &ret);
        if (drift != 0) {
          printf("FAIL %s (%s, ESP = %d mod 16): ESP moved by %d bytes\n", e->name,
                 p == 0 ? "by name" : "by ordinal", skew, drift);
          ++bad;
        }
        if (e->ordinal == 5 && (ret != 0x5413E885u || memcmp(g_out, kCipher, 8) != 0)) {
          printf("FAIL %s: wrong result 0x%08lX\n", e->name, (unsigned long)ret);
          ++bad;
        }
        if (e->ordinal == 4 && memcmp(g_out, kPlain, 8) != 0) {
          printf("FAIL %s: wrong result\n", e->name);
          ++bad;
        }
      }
    }
    if (bad == 0)
      printf("ok   %s (%d arguments, ordinal %u): the callee removes them\n", e->name, e->argc,
             e->ordinal);
    failures += bad;
  }
  FreeLibrary(module);
  return failures == 0 ? 0 : 1;
}
