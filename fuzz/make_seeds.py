#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/: a handful of readable cases per
harness, laid out the way the harnesses read their input (integers are taken
from the end of the input, byte strings from the front). Files named
finding-* are the inputs of past findings, kept as they were found; this
script leaves them alone."""
import hashlib
import os
import sys


class Seed:
    def __init__(self):
        self.front = bytearray()
        self.back = []  # in the order the harness reads them

    def int(self, value, lo, hi):
        span = hi - lo
        raw = value - lo
        assert 0 <= raw <= span
        n = 0
        while n < 8 and (span >> (8 * n)) > 0:
            n += 1
        for i in reversed(range(n)):
            self.back.append((raw >> (8 * i)) & 0xFF)
        return self

    def u8(self, v):
        return self.int(v, 0, 255)

    def u32(self, v):
        return self.int(v, 0, 2**32 - 1)

    def i32(self, v):
        return self.int(v, -(2**31), 2**31 - 1)

    def bool(self, v):
        return self.u8(1 if v else 0)

    def bytes(self, b):
        self.front += bytes(b)
        return self

    def data(self):
        return bytes(self.front) + bytes(reversed(self.back))


def h(s):
    return bytes.fromhex(s.replace(" ", ""))


# --- exchange: flags, start, [hang-up ms], stale, frame, then arrivals --------
def exchange(arrivals, start=1000, stale=b"", hang_up=None, wrap=False, write_fails=False):
    s = Seed()
    flags = (0x20 if hang_up is not None else 0) | (0x40 if wrap else 0)
    flags |= 0x1F if write_fails else 0
    s.u8(flags)
    if wrap:
        s.int(start, 0, 12000)
    else:
        s.u32(start)
    if hang_up is not None:
        s.int(hang_up, 0, 20000)
    s.int(len(stale), 0, 8).bytes(stale)
    frame = h("80 00 04 80 62 00 00 00")
    s.int(len(frame), 4, 12).bytes(frame)
    for gap, chunk in arrivals:
        s.u8(255).int(gap, 0, 7000)  # a gap from the input, not the table
        s.int(len(chunk), 1, 300).bytes(chunk)
    return s.data()


status_ok = h("80 00 02 90 00 00")
exchange_seeds = {
    "one_arrival": exchange([(20, status_ok)]),
    "split_2s": exchange([(20, status_ok[:3]), (2000, status_ok[3:])]),
    "stray_byte": exchange([(5, status_ok + b"\x55")], stale=b"\x70\x03"),
    "length0": exchange([(1, h("00 92 00 92"))]),
    "trickle_4s": exchange([(4000, status_ok[i:i + 1]) for i in range(6)]),
    "full_256": exchange([(3, b"\x00\x4f\xfc" + bytes(120)), (3, bytes(133))]),
    "over_256": exchange([(3, b"\x00\x4f\xfc" + bytes(120)), (3, bytes(134))]),
    "silence_edge": exchange([(5000, status_ok[:2]), (5000, status_ok[2:])], wrap=True, start=3),
    "hang_up": exchange([(10, status_ok[:4])], hang_up=700),
    "write_fails": exchange([(10, status_ok)], write_fails=True),
}


# --- card: op, head, APDU length, direction, protocol, prefix, APDU, replies --
def reply(kind, head_pick=0, mode=None, trailer=0, extra=None, body=b""):
    """Returns a function that lays out one scripted reply."""
    def lay(s):
        s.int(kind, 0, 255).u8(head_pick)
        if head_pick & 0x20:
            s.u8(mode or 0)
        s.u8(trailer)
        if kind == 5:
            s.u8(extra)
        if kind == 9:
            s.u8(extra >> 8).u8(extra & 0xFF)
        if kind in (7, 8):
            if head_pick & 0x40:
                s.int(252 - len(body), 0, 3)
            else:
                s.int(len(body), 0, 252)
            s.bytes(body)
        if kind >= 10:
            s.int(len(body), 4, 256).bytes(body)
    return lay


NONE, BUSY, REFUSED, OK, RESEND, MORE, BLOCK, DATA, ATR = range(9)


def card(op, apdu=b"", replies=(), head=0x00, direction=0, protocol=0, length=None, prefix=0,
         switch_to=0):
    s = Seed()
    s.u8(op).bool(head == 0x40)
    s.i32(len(apdu) if length is None else length)
    s.bool(True).int(direction, 0, 1)
    s.bool(True).int(protocol, 0, 1)
    s.u8(prefix)
    if prefix == 2:
        s.u8(switch_to)
    # The harness always reads L bytes for the APDU; a prefix overwrites the first.
    s.bytes(apdu if not prefix else bytes(length))
    for r in replies:
        r(s)
    return s.data()


read_binary = h("00 B0 00 00 04")
atr_t1 = h("3B F0 11 22 33 81")
long_atr = h("3B 00") + bytes(250)
card_seeds = {
    "reset_ok": card(0, replies=[reply(OK)]),
    "reset_retry_refused": card(0, replies=[reply(REFUSED), reply(REFUSED)]),
    "power_up_t1": card(1, replies=[reply(OK), reply(OK), reply(ATR, body=atr_t1)]),
    "command_busy_then_data": card(2, read_binary, [reply(BUSY)] * 9 +
                                   [reply(DATA, head_pick=0x10, body=h("12 34 90 00"))],
                                   direction=1),
    "command_more_data": card(2, read_binary, [reply(MORE, extra=0x1C),
                                               reply(DATA, head_pick=0x10, body=bytes(28) + h("90 00"))]),
    "tsi_resend_block_error": card(3, read_binary, [reply(RESEND), reply(BLOCK, head_pick=2),
                                                    reply(DATA, body=h("61 10"))]),
    "tsi_protocol_switch": card(3, b"", [reply(DATA, head_pick=0x10, body=h("90 00"))], prefix=2, head=0x40,
                                length=6, switch_to=1),
    "tsi_reset_request_long_atr": card(3, b"", [reply(OK), reply(OK),
                                               reply(ATR, head_pick=0x40, body=long_atr)],
                                       prefix=1, length=5),
    "command_wrong_length": card(2, bytes(252), [], length=0x1234FC),
}


# --- des: key and block pairs -------------------------------------------------
des_seeds = {
    "fips_example": h("0123456789ABCDEF 4E6F772069732074"),
    "weak_keys": h("0101010101010101 0000000000000000 FEFEFEFEFEFEFEFE FFFFFFFFFFFFFFFF"),
    "parity_ignored": h("0022446688AACCEE 0123456789ABCDEF 0123456789ABCDEF 0123456789ABCDEF"),
}


# The telnet harness: one byte that picks where the stream is split, then what
# a serial port server sends.
telnet_seeds = {
    "server_opening": h("00 FF FB 03 FF FD 03 FF FB 01 FF FE 01 FF FD 00 FF FB 00 FF FD 2C"
                        " FF FA 2C 6B 00 FF F0"),
    "line_settings_acks": h("03 FF FA 2C 65 00 00 25 80 FF F0 FF FA 2C 66 08 FF F0 FF FA 2C 67 03 FF F0"
                            " FF FA 2C 68 01 FF F0 FF FA 2C 69 01 FF F0 FF FA 2C 70 01 FF F0"),
    "reply_with_escapes": h("05 40 4F 05 FF FF 01 FF F1 FF FF FF FA 2C 6A FF FF FF F0 90 00 00"),
    "refusals": h("01 FF FC 00 FF FE 2C FF FD 18 FF FB 05"),
    "interrupted_subnegotiation": h("02 FF FA 2C 65 00 FF FB 03 41 FF FA 2C") + bytes(40) + h("FF F0"),
}


# The mapping harness: the whole input is a port name and a mapping; read
# from both ends, it also scripts a PC/SC reader list and the name wanted.
mapping_seeds = {
    "rfc2217": b"rfc2217://readerhost:7000",
    "tcp_ipv4": b"tcp://127.0.0.7:4001",
    "rfc2217_ipv6": b"rfc2217://[::1]:7000",
    "rfc2217s": b"rfc2217s://Reader-1.example:65535",
    "tls_v4_in_v6": b"tls://[::ffff:127.0.0.1]:1",
    "port_zero": b"tcp://host:0",
    "port_too_big": b"tcp://host:65536",
    "leading_zero": b"tcp://host:07000",
    "no_port": b"rfc2217://[::1]",
    "trailing": b"tcp://host:7000/",
    "com_name": b"com4",
    "pcsc_names": b"pcsc:\x02Virtual PCD 00 00\x00Virtual PCD 00 01\x00PCD 00 01\x03",
}


# The secret harness: the input is a frame, and past its first byte an APDU.
secret_seeds = {
    "verify_t1": h("00 49 0D 00 20 00 81 08 31 32 33 34 FF FF FF FF 00"),
    "change_reference_t0": h("40 49 15 80 24 00 81 10 31 32 33 34 FF FF FF FF 35 36 37 38 FF FF FF FF 00"),
    "reset_retry_counter_short_frame": h("00 49 20 00 2C 00 81 08 31 32"),
    "verify_no_data": h("00 49 05 00 20 00 81 00 00"),
    "read_binary": h("00 4F 05 00 B0 00 00 10 00"),
    "reader_command": h("80 00 04 80 62 00 00 00"),
}


# The PC/SC harness reads, per frame: the head, the kind of frame (and its
# bytes), then what each PC/SC call answers.
def pcsc_seed(steps):
    s = Seed()
    for step in steps:
        step(s)
    return s.data()


def frame(kind, head_t1=True):
    return lambda s: s.bool(head_t1).u8(kind)


def ok(s):
    s.u8(0)


def protocol_t1(s):
    s.u8(0)


def status_atr(atr):
    return lambda s: (s.u8(0), s.int(len(atr), 0, 40).bytes(atr), s.u8(0))


def card(apdu, answer_len, answer=b""):
    def lay(s):
        s.bool(True).u8(6).int(len(apdu), 0, 251).bytes(apdu).bool(True)
        s.u8(0).u8(0).int(answer_len, 0, 260).bytes(answer)
    return lay


def long_card(apdu, answer_len):
    def lay(s):
        s.bool(True).u8(6).int(len(apdu), 0, 251).bytes(apdu).bool(True)
        s.u8(0).u8(255).int(answer_len, 0, 65538)
    return lay


def get_response(le):
    return lambda s: s.bool(True).u8(5).u8(0x00).u8(le).bool(True)


atr_t1 = h("3B 95 13 81 01 80 73 FF 01 00 0B")
power_up = [frame(1), ok, protocol_t1, frame(2), status_atr(atr_t1), frame(3), status_atr(atr_t1)]
pcsc_seeds = {
    "power_up": pcsc_seed(power_up),
    "select": pcsc_seed(power_up + [card(h("00 A4 00 00 02 3F 00"), 2, h("90 00"))]),
    "long_answer": pcsc_seed(power_up + [long_card(h("00 B0 00 00 00"), 700), get_response(0),
                                         get_response(0), get_response(0)]),
    "switch_protocol": pcsc_seed(power_up + [lambda s: s.bool(True).u8(4).u8(1).bool(False),
                                             status_atr(atr_t1), ok, protocol_t1]),
    "reset_then_refused": pcsc_seed(power_up + [frame(0), lambda s: s.u8(200).u8(0x20)]),
}


# The replay harness: trace text, a zero byte, then bytes that steer the replay.
replay_seeds = {
    "session": b"""0.000010 COM1 3 open vorkand 1.0.0, serial port /dev/pts/4, 9600 baud 8E1, no flow control
0.000200 COM1 3 > 80 00 04 80 62 00 00 00
0.001000 COM1 3 < 80 00 02 90 00 00
0.002000 COM1 3 call CT_reset -> 9000
0.003000 COM1 3 > 00 49 0D 00 20 00 81 08 ** ** ** ** ** ** ** ** 00
0.004000 COM1 3 < 00 49 02 90 00 00
0.005000 COM1 3 > 40 4F 05 00 B0 00 00 10 00
0.006000 COM1 3 < 40 4F 03 41
5.006000 COM1 3 end silence: no complete reply within 5 s
\x00\x02\x11""",
    "two_ports_and_endings": b"""1.000000 COM2 4 > 80 00 04 80 60 00 00 00
1.000100 COM1 5 > 80 00 04 80 62 00 00 00
1.000200 com2 6 < 80 00 02 90 00
1.000300 COM2 6 end hang-up: the line closed
1.000400 COM2 7 > 00 4F 05 00 B0 00 00 00 00
1.000500 COM2 7 < 00 4F FF 00 00 00
1.000600 COM2 7 end overlong: more than 256 bytes
not a trace line
1.000700 COM2 7 > 80 00 04 80 61 00 00 00
\x00\x01\x00\x05""",
    "bad_frame": b"0.1 COM1 1 > 80 0G\n",
}


# The ATR harness: the input is an ATR, and as text, the words of `atr HEX`.
atr_seeds = {
    "simulated_t0": h("3B 95 11 80 01 76 6F 72 6B 61 64"),
    "t1_tck": h("3B F0 11 22 33 81 31 FE 45 80 31 C0 73 BE 21 00 82 90 00 5E"),
    "compact_tlv_status": h("3B 8C 80 01 00 31 C0 64 08 44 03 01 00 90 00 F1"),
    "truncated": h("3F F3 11 22"),
    "text": b"3B 95:11\n80 01 76 6F 72 6B 61 64",
    "text_lone_digit": b"3B 9 5",
}


# vorkand-serve's frame reader: the number of piece sizes, the sizes, then
# what a client sends.
serve_frame_seeds = {
    "two_frames": h("00 80 00 04 80 62 00 00 00 40 4F 05 00 B0 00 00 00 00"),
    "split_pieces": h("02 01 03 80 00 04 80 60 00 00 00"),
    "overlong": h("00 40 49 FC 00"),
    "longest_apdu": h("01 07 40 49 FB") + bytes(range(251)) + h("00"),
}


def write(root, name, seeds):
    d = os.path.join(root, name)
    os.makedirs(d, exist_ok=True)
    for label, data in seeds.items():
        with open(os.path.join(d, label), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
    write(root, "exchange", exchange_seeds)
    write(root, "card", card_seeds)
    write(root, "des", des_seeds)
    write(root, "telnet", telnet_seeds)
    write(root, "mapping", mapping_seeds)
    write(root, "secret", secret_seeds)
    write(root, "pcsc", pcsc_seeds)
    write(root, "replay", replay_seeds)
    write(root, "atr", atr_seeds)
    write(root, "serve_frame", serve_frame_seeds)
