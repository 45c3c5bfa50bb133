/*
 * vorkand: drive a smart-card reader on a serial port, and single-block DES.
 *
 * Every function uses the platform's system calling convention (__stdcall on
 * 32-bit Windows) and plain C types. No function throws: every outcome is the
 * return value. Only when the environment variable VORKAND_TRACE names a file
 * (or "-", standard error) at CT_open does the library append a trace of that
 * port's frames and calls to it, and write one line to standard error when the
 * trace cannot be written (see the README); the trace never changes a result.
 *
 * Status words returned by the reader and card calls:
 *   0x9000  success (also any reply the library does not recognise)
 *   0xFFFF  the reader sent no complete reply within 5 s of silence
 *   0x6200  the reader refused (status 70 01, or a power-up step out of form)
 *   0x6201  the reader answered out of form
 *   0x6FF0  the reader was still busy (70 03) when the library stopped polling
 *   0x6700  the APDU length is 252 to 255: nothing was sent
 *   other   the card's own SW1 * 256 + SW2
 *
 * A handle is open from a successful CT_open until CT_close. Calls on one
 * handle must not overlap. Reader and card calls on a value that is not an
 * open handle send nothing and return 0xFFFF. When a handle is closed while
 * another thread's call on it is under way, that call ends at once with 0xFFFF
 * instead of waiting out the 5 s (a PC/SC transmission already under way
 * finishes first), and CT_close returns once it has.
 */
#ifndef VORKAND_H
#define VORKAND_H

#include <stdint.h>

/* The library's version. The build reads it from here, so the shared
 * library, its pkg-config file and its CMake package carry the same one. */
#define VORKAND_VERSION_MAJOR 1
#define VORKAND_VERSION_MINOR 0
#define VORKAND_VERSION_PATCH 0
#define VORKAND_VERSION_STRING "1.0.0"

/* The status words of the library's own (see above); any other value a reader
 * or card call returns is the card's SW1 * 256 + SW2. */
#define VORKAND_SW_OK 0x9000          /* success, or a reply the library does not recognise */
#define VORKAND_SW_NO_REPLY 0xFFFF    /* no complete reply from the reader */
#define VORKAND_SW_REFUSED 0x6200     /* the reader refused */
#define VORKAND_SW_OUT_OF_FORM 0x6201 /* the reader's reply was out of form */
#define VORKAND_SW_BUSY 0x6FF0        /* the reader was still busy when polling stopped */
#define VORKAND_SW_TOO_LONG 0x6700    /* the APDU is too long to frame: nothing was sent */

/* The longest APDU a reader or card call sends: one of 252 to 255 bytes gets
 * VORKAND_SW_TOO_LONG. */
#define VORKAND_MAX_APDU 251

/* VORKAND_EXPORT(type): the result type of an export, with its visibility and
 * calling convention. On Windows the module definition file names the exports;
 * on ELF only these functions have default visibility. */
#if defined(_WIN32)
#if defined(_M_IX86) || defined(__i386__)
#define VORKAND_EXPORT(type) type __stdcall
#else
#define VORKAND_EXPORT(type) type
#endif
#else
#define VORKAND_EXPORT(type) __attribute__((visibility("default"))) type
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Closes a handle from CT_open. Sends nothing to the reader.
 * Returns 0 when the port was closed, -1 for any value that is not an open
 * handle of this library (0, negatives and handles already closed included):
 * such a value is never passed to the system. */
VORKAND_EXPORT(int32_t) CT_close(int32_t handle);

/* Opens "COM1".."COM4" (ASCII case ignored, nothing else accepted) exclusively
 * and sets 9600 baud, even parity, 8 data bits, 1 stop bit, no flow control,
 * raw bytes. Sends nothing. The environment variable VORKAND_COMn, read at
 * each call, may map COMn to another kind of port:
 *   pcsc:NAME           the PC/SC reader named NAME, else the only one whose
 *                       name contains NAME (empty: the first listed)
 *   rfc2217://HOST:PORT a serial port server speaking Telnet COM-PORT-OPTION
 *   tcp://HOST:PORT     a server passing the line's bytes as they are
 * ([::1] for an IPv6 HOST). Otherwise COMn is the serial port: on POSIX the
 * device whose path the variable holds, else /dev/ttyS(n-1); on Windows the
 * system's COMn.
 * Returns the handle (never 0), or 0 when the name is refused, the port is
 * missing or already open, or its settings cannot be applied; nothing is left
 * open on failure. At most 256 ports are open at once: the 257th CT_open
 * returns 0 (and leaves its port closed) until a handle is closed. */
VORKAND_EXPORT(int32_t) CT_open(const char* port_name);

/* Resets the reader (one retry). Returns 0x9000, 0x6200, 0x6201 or 0xFFFF. */
VORKAND_EXPORT(int32_t) CT_reset(int32_t handle);

/* DES decryption of one 8-byte block under an 8-byte key (parity bits
 * ignored). The output may alias the input or the key. Returns output bytes
 * 0..3 as a little-endian integer. */
VORKAND_EXPORT(int32_t) DesDecrypt(uint8_t* output, const uint8_t* input, const uint8_t* key);

/* DES encryption; otherwise as DesDecrypt. */
VORKAND_EXPORT(int32_t) DesEncrypt(uint8_t* output, const uint8_t* input, const uint8_t* key);

/* Sends one command APDU to the card. Only the low bytes of apdu_length,
 * direction and protocol count. direction 1: the card returns data (mode 'O'),
 * else mode 'I'. protocol 0: T=0, else T=1. Polls while the reader is busy (at
 * most 10 times), resends once on 6D 00, fetches 61xx with one GET RESPONSE.
 * response_length is set to 0 first; on a data reply it gets the number of
 * data bytes (at most 250) written to response. Returns a status word. */
VORKAND_EXPORT(int32_t)
ICC_command(int32_t handle, int32_t apdu_length, const uint8_t* apdu, uint8_t* response_length,
            uint8_t* response, int32_t direction, int32_t protocol);

/* ICC_command with one ignored argument after the handle. */
VORKAND_EXPORT(int32_t)
ICC_commandS(int32_t handle, int32_t ignored, int32_t apdu_length, const uint8_t* apdu,
             uint8_t* response_length, uint8_t* response, int32_t direction, int32_t protocol);

/* Powers the card up and reads its answer-to-reset into atr (room for 252
 * bytes), its length into atr_length. On 0x9000 the protocol the library's
 * transparent exchange announces is set from the ATR (T=1 if TD1 offers it
 * first, else T=0). Returns 0x9000, 0x6200, 0x6201 or 0xFFFF. */
VORKAND_EXPORT(int32_t) ICC_reset(int32_t handle, uint8_t* atr_length, uint8_t* atr);

/* ICC_reset with one ignored argument after the handle. */
VORKAND_EXPORT(int32_t)
ICC_resetS(int32_t handle, int32_t ignored, uint8_t* atr_length, uint8_t* atr);

/* Sends one command APDU like ICC_command, with the direction taken from the
 * INS byte and the protocol from the last ATR or protocol switch. The APDU
 * 00 12 00 00 00 powers the card up again (as ICC_reset, ATR into response;
 * an ATR that would not fit the 250-byte response buffer gives 0x6201);
 * 80 14 00 00 01 XX switches the protocol when the card answers 90 00. */
VORKAND_EXPORT(int32_t)
ICC_tsi_api(int32_t handle, int32_t apdu_length, const uint8_t* apdu, uint8_t* response_length,
            uint8_t* response);

/* ICC_tsi_api with one ignored argument after the handle. */
VORKAND_EXPORT(int32_t)
ICC_tsi_apiS(int32_t handle, int32_t ignored, int32_t apdu_length, const uint8_t* apdu,
             uint8_t* response_length, uint8_t* response);

#ifdef __cplusplus
}
#endif

#endif /* VORKAND_H */
