/* A host program built against the installed library, driving a virtual card
 * in a PC/SC reader through COM1 (VORKAND_COM1=pcsc:<reader>): the typical use,
 * then the card goes away mid-session.
 *
 * Usage: vicc_host ATR_HEX CARD_PID
 *   ATR_HEX   the ATR that PC/SC reports for the card
 *   CARD_PID  the card's process: it is stopped to take the card away
 *        vicc_host --other        (run by the first: another program)
 *        vicc_host --no-service   CT_open("COM1") must fail: no pcscd */
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <vorkand.h>

static int failures;

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void to_hex(const uint8_t* bytes, int length, char* out) {
  out[0] = '\0';
  for (int i = 0; i < length; ++i) sprintf(out + 2 * i, "%02X", bytes[i]);
}

static void check(int ok, const char* what, const char* detail) {
  printf("%s %s%s%s\n", ok ? "ok  " : "FAIL", what, detail[0] ? ": " : "", detail);
  if (!ok) ++failures;
}

/* Sends one hex APDU through ICC_tsi_api; checks the status word, and the data
 * when `data` is given (NULL: any data of `data_length` bytes, -1: any). */
static void apdu(int32_t h, const char* what, const char* hex, int32_t sw, const char* data,
                 int data_length) {
  uint8_t bytes[260], response[256], length = 0;
  int n = 0;
  for (; hex[2 * n] != '\0'; ++n) {
    unsigned value;
    sscanf(hex + 2 * n, "%2x", &value);
    bytes[n] = (uint8_t)value;
  }
  int32_t got = ICC_tsi_api(h, n, bytes, &length, response);
  char text[600], detail[700];
  to_hex(response, length, text);
  snprintf(detail, sizeof detail, "%s -> %s %04X", hex, text, (unsigned)got);
  int ok = got == sw;
  if (data != NULL) ok = ok && strcmp(text, data) == 0;
  if (data == NULL && data_length >= 0) ok = ok && length == data_length;
  check(ok, what, detail);
}

/* Another program on the same card while this one holds it: its power-up is
 * refused. */
static int other_program(void) {
  int32_t h = CT_open("COM1");
  uint8_t atr[252], atr_length = 0;
  int ok = h != 0 && CT_reset(h) == 0x9000 && ICC_reset(h, &atr_length, atr) == 0x6200;
  if (h != 0) ok = ok && CT_close(h) == 0;
  return ok ? 0 : 1;
}

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "--other") == 0) return other_program();
  if (argc == 2 && strcmp(argv[1], "--no-service") == 0) return CT_open("COM1") == 0 ? 0 : 1;
  if (argc != 3) {
    fputs("usage: vicc_host ATR_HEX CARD_PID\n", stderr);
    return 2;
  }
  char detail[700];
  int32_t h = CT_open("COM1");
  check(h != 0, "CT_open(COM1)", "");
  if (h == 0) return 1;
  check(CT_open("COM1") == 0, "a second CT_open of the same reader is refused", "");

  check(CT_reset(h) == 0x9000, "CT_reset", "");
  uint8_t atr[252], atr_length = 0;
  int32_t sw = ICC_reset(h, &atr_length, atr);
  char atr_hex[600];
  to_hex(atr, atr_length, atr_hex);
  snprintf(detail, sizeof detail, "%04X, ATR %s (PC/SC reports %s)", (unsigned)sw, atr_hex,
           argv[1]);
  check(sw == 0x9000 && strcasecmp(atr_hex, argv[1]) == 0, "ICC_reset", detail);

  char other[600];
  snprintf(other, sizeof other, "'%s' --other", argv[0]);
  check(system(other) == 0, "another program's power-up is refused while this one holds the card",
        "");
  check(CT_open("COM2") == 0, "CT_open(COM2): a reader name no reader has", "");

  apdu(h, "SELECT the EF 2F01", "00A4000C022F01", 0x9000, "", 0);
  apdu(h, "READ BINARY", "00B0000005", 0x9000, "48656C6C6F", 5);
  apdu(h, "an unknown instruction gives the card's status word", "00FF000000", 0x6D00, "", 0);
  apdu(h, "GET CHALLENGE", "0084000008", 0x9000, NULL, 8);
  apdu(h, "the protocol switch to T=0 is refused (the card offers T=1 only)", "801400000100",
       0x6A86, "", 0);
  apdu(h, "the protocol switch to T=1 is accepted", "801400000101", 0x9000, "", 0);
  apdu(h, "READ BINARY past the end", "00B0000000", 0x6282, "48656C6C6F2C20776F726C64", 12);

  /* The card goes away. While PC/SC sees it leave, a command may fail in
   * transit (no reply, FFFF); once PC/SC knows, every call is refused at once
   * with the refusal of a serial reader without a card. */
  kill((pid_t)atoi(argv[2]), SIGKILL);
  uint8_t response[256], length;
  const uint8_t select[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
  double started = now(), slowest = 0;
  sw = 0;
  while (now() - started < 10) {
    double before = now();
    sw = ICC_tsi_api(h, sizeof select, select, &length, response);
    if (now() - before > slowest) slowest = now() - before;
    if (sw != 0x9000 && sw != 0xFFFF) break;
    usleep(50000);
  }
  snprintf(detail, sizeof detail, "%04X after %.2f s, the slowest call took %.3f s", (unsigned)sw,
           now() - started, slowest);
  check(sw == 0x6200 && slowest < 1.0, "the card removed: SELECT", detail);
  sw = ICC_tsi_api(h, sizeof select, select, &length, response);
  snprintf(detail, sizeof detail, "%04X", (unsigned)sw);
  check(sw == 0x6200, "the next SELECT", detail);
  sw = ICC_reset(h, &atr_length, atr);
  snprintf(detail, sizeof detail, "%04X", (unsigned)sw);
  check(sw == 0x6200, "ICC_reset without a card", detail);
  check(CT_reset(h) == 0x9000, "CT_reset: the reader is still there", "");
  check(CT_close(h) == 0, "CT_close", "");
  check(CT_close(h) == -1, "CT_close again", "");
  return failures == 0 ? 0 : 1;
}
