/* A host in plain C that links vorkand.dll through its import library and the
 * header's declarations, as a Windows application would. On 32-bit this
 * checks at link time that the import library resolves the header's __stdcall
 * symbols (_CT_open@4, ...); on 64-bit it also runs under Wine. */
#include <stdio.h>
#include <string.h>

#include "vorkand.h"

int main(void) {
  static const uint8_t key[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
  static const uint8_t plain[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  static const uint8_t cipher[8] = {0x85, 0xE8, 0x13, 0x54, 0x0F, 0x0A, 0xB4, 0x05};
  uint8_t out[8];
  uint8_t length = 0;
  uint8_t buffer[256];
  int failures = 0;

  if (DesEncrypt(out, plain, key) != 0x5413E885 || memcmp(out, cipher, 8) != 0) {
    puts("FAIL DesEncrypt");
    ++failures;
  }
  if (DesDecrypt(out, cipher, key) != 0x67452301 || memcmp(out, plain, 8) != 0) {
    puts("FAIL DesDecrypt");
    ++failures;
  }
  if (CT_open("COM5") != 0) {
    puts("FAIL CT_open(COM5)");
    ++failures;
  }
  /* Every other export is referenced once, with a value that is no handle. */
  if (CT_close(0) != -1 || CT_reset(0) != 0xFFFF || ICC_reset(0, &length, buffer) != 0xFFFF ||
      ICC_resetS(0, 1, &length, buffer) != 0xFFFF ||
      ICC_command(0, 4, plain, &length, buffer, 1, 0) != 0xFFFF ||
      ICC_commandS(0, 1, 4, plain, &length, buffer, 1, 0) != 0xFFFF ||
      ICC_tsi_api(0, 4, plain, &length, buffer) != 0xFFFF ||
      ICC_tsi_apiS(0, 1, 4, plain, &length, buffer) != 0xFFFF) {
    puts("FAIL a call on handle 0");
    ++failures;
  }
  if (failures == 0) puts("ok");
  return failures == 0 ? 0 : 1;
}
