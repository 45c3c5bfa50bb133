/* A small PC/SC client for the end-to-end test: connects to the first reader
 * whose name contains READER, checks the protocol pcscd chose and the ATR,
 * then sends each APDU and checks its answer.
 *
 *   pcsc_client READER T0|T1 ATR STEP...
 *
 * ATR is hex, or '-' for any. A STEP is APDU=EXPECT, APDU in hex, or @N for an
 * N-byte APDU 00 D6 00 00 FF 00 .. (too long for the reader). EXPECT is
 *   HEX        exactly this answer (data and SW1 SW2)
 *   #N+SW      N data bytes 00 01 02 .. then SW (4 hex digits)
 *   +SW        some data bytes, then SW
 *   !S         SCardTransmit fails, within S seconds
 * The step signal:PID:FILE= sends SIGUSR1 to PID (the simulator then falls
 * silent) and waits up to 2 s for FILE to appear (the simulator's word that
 * it is silent now).
 * Exit status 0 when every check holds, 1 otherwise, 2 on a usage error. */
#include <reader.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <winscard.h>

#define MAX_BUFFER 4096

static int failures = 0;

static void fail(const char* what, const char* detail) {
  printf("FAIL %s: %s\n", what, detail);
  ++failures;
}

static size_t from_hex(const char* text, unsigned char* out, size_t room) {
  size_t n = 0;
  while (text[0] != '\0' && text[1] != '\0' && n < room) {
    unsigned int byte = 0;
    if (sscanf(text, "%2x", &byte) != 1) break;
    out[n++] = (unsigned char)byte;
    text += 2;
  }
  return n;
}

static void to_hex(const unsigned char* bytes, size_t n, char* out) {
  out[0] = '\0';
  for (size_t i = 0; i < n; ++i) sprintf(out + 2 * i, "%02X", bytes[i]);
}

static double now_s(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* The full name of the first reader containing `part`, waiting up to 5 s
 * for it to show a card. */
static int find_reader(SCARDCONTEXT context, const char* part, char* name, size_t room) {
  char readers[MAX_BUFFER];
  DWORD length = sizeof readers;
  LONG rv = SCardListReaders(context, NULL, readers, &length);
  if (rv != SCARD_S_SUCCESS) {
    fail("SCardListReaders", pcsc_stringify_error(rv));
    return 0;
  }
  for (const char* r = readers; *r != '\0'; r += strlen(r) + 1) {
    if (strstr(r, part) != NULL && strlen(r) < room) {
      strcpy(name, r);
      SCARD_READERSTATE state;
      memset(&state, 0, sizeof state);
      state.szReader = name;
      state.dwCurrentState = SCARD_STATE_UNAWARE;
      const double deadline = now_s() + 5.0;
      while (now_s() < deadline) {
        rv = SCardGetStatusChange(context, 500, &state, 1);
        if (rv == SCARD_S_SUCCESS && (state.dwEventState & SCARD_STATE_PRESENT)) return 1;
        state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
      }
      fail("card present", name);
      return 0;
    }
  }
  fail("reader", part);
  return 0;
}

static void check_attributes(SCARDHANDLE card, const unsigned char* atr, size_t atr_length) {
  unsigned char value[MAX_BUFFER_SIZE]; /* pcscd takes no larger attribute buffer */
  DWORD length = sizeof value;
  LONG rv = SCardGetAttrib(card, SCARD_ATTR_ATR_STRING, value, &length);
  if (rv != SCARD_S_SUCCESS) {
    fail("SCARD_ATTR_ATR_STRING", pcsc_stringify_error(rv));
  } else if (length != atr_length || memcmp(value, atr, atr_length) != 0) {
    fail("SCARD_ATTR_ATR_STRING", "differs from the status ATR");
  }
  length = sizeof value;
  rv = SCardGetAttrib(card, SCARD_ATTR_VENDOR_NAME, value, &length);
  if (rv != SCARD_S_SUCCESS) {
    fail("SCARD_ATTR_VENDOR_NAME", pcsc_stringify_error(rv));
  } else if (length != 8 || memcmp(value, "vorkand", 8) != 0) {
    fail("SCARD_ATTR_VENDOR_NAME", "not \"vorkand\"");
  }
}

static void run_step(SCARDHANDLE card, DWORD protocol, const char* step) {
  if (strncmp(step, "signal:", 7) == 0) {
    char mark[MAX_BUFFER];
    const char* colon = strchr(step + 7, ':');
    const char* eq = strrchr(step, '=');
    if (colon == NULL || eq == NULL || eq <= colon || (size_t)(eq - colon) > sizeof mark) {
      fail("step", step);
      return;
    }
    memcpy(mark, colon + 1, (size_t)(eq - colon - 1));
    mark[eq - colon - 1] = '\0';
    if (kill((pid_t)atol(step + 7), SIGUSR1) != 0) fail("signal", step);
    const double deadline = now_s() + 2.0;
    while (access(mark, F_OK) != 0 && now_s() < deadline) usleep(5000);
    if (access(mark, F_OK) != 0) fail("simulator silent", mark);
    return;
  }
  char apdu_text[MAX_BUFFER];
  const char* eq = strchr(step, '=');
  if (eq == NULL || (size_t)(eq - step) >= sizeof apdu_text) {
    fail("step", step);
    return;
  }
  memcpy(apdu_text, step, (size_t)(eq - step));
  apdu_text[eq - step] = '\0';
  const char* expect = eq + 1;

  unsigned char apdu[MAX_BUFFER];
  size_t apdu_length;
  if (apdu_text[0] == '@') {
    apdu_length = (size_t)atoi(apdu_text + 1);
    if (apdu_length > sizeof apdu) apdu_length = sizeof apdu;
    memset(apdu, 0, apdu_length);
    const unsigned char head[] = {0x00, 0xD6, 0x00, 0x00, 0xFF};
    memcpy(apdu, head, apdu_length < sizeof head ? apdu_length : sizeof head);
  } else {
    apdu_length = from_hex(apdu_text, apdu, sizeof apdu);
  }

  unsigned char answer[MAX_BUFFER];
  DWORD answer_length = sizeof answer;
  const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
  const double started = now_s();
  const LONG rv = SCardTransmit(card, pci, apdu, (DWORD)apdu_length, NULL, answer, &answer_length);
  const double took = now_s() - started;

  char got[2 * MAX_BUFFER + 1];
  if (expect[0] == '!') {
    const double limit = atof(expect + 1);
    if (rv == SCARD_S_SUCCESS) {
      to_hex(answer, answer_length, got);
      fail(apdu_text, "expected an error, got an answer");
      printf("     answer %s\n", got);
    } else if (took > limit) {
      char detail[128];
      snprintf(detail, sizeof detail, "error after %.1f s, more than %.1f s", took, limit);
      fail(apdu_text, detail);
    } else {
      printf("ok   %.40s -> error \"%s\" (0x%08lX) after %.1f s\n", apdu_text,
             pcsc_stringify_error(rv), (unsigned long)rv, took);
    }
    return;
  }
  if (rv != SCARD_S_SUCCESS) {
    fail(apdu_text, pcsc_stringify_error(rv));
    return;
  }
  to_hex(answer, answer_length, got);

  int good;
  if (expect[0] == '#' || expect[0] == '+') {
    long data = -1;
    const char* sw = strchr(expect, '+') + 1;
    if (expect[0] == '#') data = strtol(expect + 1, NULL, 10);
    good = answer_length >= 2 && strcmp(got + 2 * (answer_length - 2), sw) == 0 &&
           (data < 0 ? answer_length > 2 : (long)answer_length == data + 2);
    for (long i = 0; good && i < data; ++i) good = answer[i] == (unsigned char)i;
  } else {
    good = strcmp(got, expect) == 0;
  }
  if (good) {
    printf("ok   %s -> %.24s%s (%lu bytes)\n", apdu_text, got, answer_length > 12 ? "..." : "",
           (unsigned long)answer_length);
  } else {
    fail(apdu_text, "unexpected answer");
    printf("     expected %s\n     got      %s\n", expect, got);
  }
}

int main(int argc, char** argv) {
  if (argc < 4 || (strcmp(argv[2], "T0") != 0 && strcmp(argv[2], "T1") != 0)) {
    fprintf(stderr, "usage: pcsc_client READER T0|T1 ATR|- STEP...\n");
    return 2;
  }
  SCARDCONTEXT context;
  LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, NULL, NULL, &context);
  if (rv != SCARD_S_SUCCESS) {
    printf("FAIL SCardEstablishContext: %s\n", pcsc_stringify_error(rv));
    return 1;
  }
  char reader[MAX_BUFFER];
  if (!find_reader(context, argv[1], reader, sizeof reader)) return 1;

  SCARDHANDLE card;
  DWORD protocol = 0;
  rv = SCardConnect(context, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                    &card, &protocol);
  if (rv != SCARD_S_SUCCESS) {
    printf("FAIL SCardConnect %s: %s\n", reader, pcsc_stringify_error(rv));
    return 1;
  }
  const DWORD wanted = strcmp(argv[2], "T1") == 0 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
  if (protocol != wanted) fail("active protocol", argv[2]);

  char name[MAX_BUFFER];
  DWORD name_length = sizeof name;
  DWORD state = 0;
  DWORD status_protocol = 0;
  unsigned char atr[MAX_ATR_SIZE];
  DWORD atr_length = sizeof atr;
  rv = SCardStatus(card, name, &name_length, &state, &status_protocol, atr, &atr_length);
  if (rv != SCARD_S_SUCCESS) {
    fail("SCardStatus", pcsc_stringify_error(rv));
  } else {
    char atr_text[2 * MAX_ATR_SIZE + 1];
    to_hex(atr, atr_length, atr_text);
    printf("reader \"%s\", protocol T=%d, ATR %s\n", name,
           status_protocol == SCARD_PROTOCOL_T1 ? 1 : 0, atr_text);
    if (strcmp(argv[3], "-") != 0 && strcmp(atr_text, argv[3]) != 0) fail("ATR", argv[3]);
    if (status_protocol != wanted) fail("SCardStatus protocol", argv[2]);
    check_attributes(card, atr, atr_length);
  }

  for (int i = 4; i < argc; ++i) run_step(card, protocol, argv[i]);

  SCardDisconnect(card, SCARD_LEAVE_CARD);
  SCardReleaseContext(context);
  return failures == 0 ? 0 : 1;
}
