#!/usr/bin/env python3
"""End to end under Wine: a Windows host drives vorkand.dll on COM1, and COM1 is
a pseudo-terminal on which this script plays a scripted reader.

Wine maps COMn through $WINEPREFIX/dosdevices/comn to a Unix device; the link
is pointed at the pseudo-terminal's slave. The Wine process gets a small
preloaded shim (pty_parity_shim.c, built here) because a pseudo-terminal
cannot keep even parity and Wine's SetCommState would otherwise fail on every
reopen of the port; see the shim's comment.

With --sim VORKAND, the reader is the project's own simulator (`VORKAND
--json sim`, which prints its pseudo-terminal's path) instead of the script.
With --ser2net as well, ser2net serves the simulator over RFC 2217 on
127.0.0.1 and COM1 is mapped to it (VORKAND_COM1=rfc2217://...): the DLL then
reaches the reader through Winsock. Exits 77 (skipped) without ser2net.
With --tool DIR as well, PROGRAM and its argument are vorkand.exe and
vorkand.dll: copied into one folder whose vorkand.ini maps COM1 to the
simulator, the tool's commands are checked, atr and send against the Linux
tool's golden files in DIR/golden (DIR/data holds their inputs).

Usage: e2e_wine.py --wine-run WRAPPER --prefix PREFIX --shim-source FILE --work-dir DIR
                   [--shim-cflag=-m32]
                   [--sim VORKAND [--ser2net [--tool DIR]]] -- PROGRAM [ARGS...]
"""
import argparse
import json
import os
import pty
import select
import shutil
import socket
import subprocess
import sys
import time
import tty

ATR = bytes([0x3B, 0x80, 0x01])  # TD1 = 01: the card offers T=1 first
STATUS_OK = bytes([0x80, 0x00, 0x02, 0x90, 0x00, 0x00])
BUSY = bytes([0x80, 0x00, 0x02, 0x70, 0x03, 0x00])
DATA = bytes([0x00, 0x4F, 0x06, 0xDE, 0xAD, 0xBE, 0xEF, 0x90, 0x00, 0x00])
REFUSED = bytes([0x00, 0x4F, 0x02, 0x6A, 0x82, 0x00])
RUN_LIMIT_S = 90


class ScriptedReader:
    """The reader's answers, frame by frame: a list of (pause before, bytes)."""

    def __init__(self):
        self.busy_left = 1

    def answer(self, frame):
        head, body = frame[0], frame[3:-1]
        if head == 0x80 and len(body) == 4:
            if body[1] in (0x62, 0x60, 0x6B):  # reader reset, power-up steps
                return [(0, STATUS_OK)]
            if body[1] == 0x61:  # answer-to-reset request
                return [(0, bytes([0x70, 0x00, len(ATR)]) + ATR + b"\x00")]
            return []
        if head == 0x40:  # T=0 frames: this card speaks T=1 only
            return [(0, REFUSED)]
        if head == 0x00 and body == bytes(5):  # poll: the data, in two pieces
            return [(0, DATA[:5]), (0.05, DATA[5:])]
        if head == 0x00 and len(body) >= 2 and body[1] == 0xB0:  # READ BINARY
            if self.busy_left > 0:
                self.busy_left -= 1
                return [(0, BUSY)]
            return [(0, DATA)]
        return []


def build_shim(source, work_dir, cflags):
    shim = os.path.join(work_dir, "pty_parity_shim.so")
    cc = os.environ.get("CC", "cc")
    subprocess.run([cc, *cflags, "-shared", "-fPIC", "-O2", "-o", shim, source, "-ldl"], check=True)
    return shim


def point_com1_at(emulator, device):
    """COM1 and COM7 lead to `device`, COM3 to no serial port, COM8 nowhere."""
    dosdevices = os.path.join(emulator[1], "dosdevices")
    if not os.path.isdir(dosdevices):  # a fresh prefix: let the wrapper create it
        subprocess.run(emulator + ["cmd", "/c", "exit"], check=True, timeout=120,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for name, target in (("com1", device), ("com7", device), ("com3", "/dev/null")):
        link = os.path.join(dosdevices, name)
        tmp = link + ".new"
        if os.path.lexists(tmp):
            os.unlink(tmp)
        os.symlink(target, tmp)
        os.replace(tmp, link)
    if os.path.lexists(os.path.join(dosdevices, "com8")):
        os.unlink(os.path.join(dosdevices, "com8"))


def listening(port):
    """True once something listens on 127.0.0.1:port (read from /proc, so that
    no probe connection makes ser2net open the device)."""
    wanted = "0100007F:%04X" % port
    with open("/proc/net/tcp") as table:
        return any(line.split()[1] == wanted and line.split()[3] == "0A"
                   for line in table.readlines()[1:])


def serve_over_rfc2217(device, work_dir):
    """Starts ser2net in front of `device`; returns the process and the mapping."""
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    config = os.path.join(work_dir, "ser2net.yaml")
    with open(config, "w") as f:
        f.write("connection: &reader\n"
                f"  accepter: telnet(rfc2217),tcp,127.0.0.1,{port}\n"
                f"  connector: serialdev,{device},9600e81,local\n")
    server = subprocess.Popen([shutil.which("ser2net"), "-n", "-c", config],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while not listening(port) and time.monotonic() < deadline:
        time.sleep(0.05)
    return server, f"rfc2217://127.0.0.1:{port}"


def check_tool(args, emulator, env, mapping):
    """vorkand.exe beside a copy of vorkand.dll whose vorkand.ini maps COM1 to
    `mapping` and COM2 to a missing port; no VORKAND_* variable is set."""
    folder = os.path.join(args.work_dir, "tool")
    os.makedirs(folder, exist_ok=True)
    for program in args.command[:2]:
        shutil.copy(program, folder)
    with open(os.path.join(folder, "vorkand.ini"), "w") as f:
        f.write(f"[ports]\r\nCOM1={mapping}\r\nCOM2=COM8\r\n")
    env = {k: v for k, v in env.items() if not k.startswith("VORKAND_")}
    tool = emulator + [os.path.join(folder, "vorkand.exe")]
    data = os.path.join(args.tool, "data")
    failures = 0

    def run(*words):
        done = subprocess.run(tool + list(words), env=env, capture_output=True, timeout=RUN_LIMIT_S)
        text = [out.decode(errors="replace").replace("\r\n", "\n").replace("Z:" + data, "data")
                for out in (done.stdout, done.stderr)]
        return f"{text[0]}--- stderr\n{text[1]}--- exit {done.returncode}\n"

    def expect(what, ok, output):
        nonlocal failures
        print(("ok   " if ok else "FAIL ") + what)
        if not ok:
            failures += 1
            print(output)

    ini = "Z:" + folder.replace("/", "\\") + "\\vorkand.ini"
    readers = run("readers")
    expect("readers names the file's mappings",
           f"COM1  {mapping}  {ini} [ports] COM1  device opens; reader not checked\n" in readers and
           f"COM2  COM8  {ini} [ports] COM2  cannot be opened: missing\n" in readers, readers)
    for name, words in (("version", ["--version"]),
                        ("atr", ["atr", "--atr-list", "Z:" + data + "/known-atrs.txt"]),
                        ("send", ["send", "00A4000C025000", "00 A4 00 0C 02 50 01", "00B0000000",
                                  "00A4000C027777", "00B0000000"])):
        with open(os.path.join(args.tool, "golden", name + ".txt")) as f:
            golden = f.read()
        output = run(*words)
        expect(f"{name} as golden/{name}.txt", output == golden, output)
    traced = run("--trace", "send", "00A4000C025000")
    expect("--trace shows the frames", " 49 07 00 A4 00 0C 02 50 00 00\n" in traced and
           " ms  reader -> host  " in traced and traced.endswith("--- exit 0\n"), traced)
    sim = run("sim")
    expect("sim says it is for Linux",
           sim.startswith("--- stderr\nvorkand: sim is for Linux") and sim.endswith(
               "--- exit 2\n") and sim.count("\n") == 3, sim)
    return 1 if failures else 0


def run_on_simulator(args, emulator, env):
    sim = subprocess.Popen([args.sim, "--json", "sim"], stdout=subprocess.PIPE, text=True)
    server = None
    try:
        device = json.loads(sim.stdout.readline())["device"]
        if args.ser2net:
            server, mapping = serve_over_rfc2217(device, args.work_dir)
            env = dict(env, VORKAND_COM1=mapping)
        else:
            point_com1_at(emulator, device)
        if args.tool:
            return check_tool(args, emulator, env, mapping)
        host = subprocess.run(emulator + args.command, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=RUN_LIMIT_S)
        print(host.stdout.decode(errors="replace"), end="")
        return host.returncode
    finally:
        if server is not None:
            server.terminate()
            server.wait(timeout=10)
        sim.terminate()
        sim.wait(timeout=10)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--shim-source", required=True)
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("--shim-cflag", action="append", default=[],
                        help="a compiler flag for the shim (-m32: the Windows programs are 32-bit)")
    parser.add_argument("--sim", help="run this vorkand tool's simulator as the reader")
    parser.add_argument("--ser2net", action="store_true",
                        help="reach the simulator through ser2net over RFC 2217")
    parser.add_argument("--tool", help="check vorkand.exe against the golden files in DIR")
    parser.add_argument("command", nargs="+", help="the Windows program and its arguments")
    args = parser.parse_args()
    emulator = [os.path.abspath(args.wine_run), os.path.abspath(args.prefix)]

    if args.ser2net and shutil.which("ser2net") is None:
        print("ser2net is not installed: skipped")
        return 77
    shim = build_shim(args.shim_source, args.work_dir, args.shim_cflag)
    if "-m32" in args.shim_cflag:
        # Only the emulated 32-bit processes can load a 32-bit shim: QEMU puts
        # it in their environment. Given to the host's shells, Wine loader and
        # server, each of their starts would say so on the program's stderr.
        env = dict(os.environ, QEMU_SET_ENV="LD_PRELOAD=" + shim)
    else:
        env = dict(os.environ, LD_PRELOAD=shim)
    if args.sim:
        return run_on_simulator(args, emulator, env)

    master, slave = pty.openpty()
    tty.setraw(slave)  # our end of the slave stays open, so the master never reads EIO
    point_com1_at(emulator, os.ttyname(slave))

    host = subprocess.Popen(emulator + args.command, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    reader = ScriptedReader()
    pending = b""
    wire = []
    deadline = time.monotonic() + RUN_LIMIT_S
    while host.poll() is None and time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.05)
        if not ready:
            continue
        pending += os.read(master, 4096)
        while len(pending) >= 3 and len(pending) >= pending[2] + 4:
            size = pending[2] + 4
            frame, pending = pending[:size], pending[size:]
            wire.append("> " + frame.hex(" "))
            for pause, chunk in reader.answer(frame):
                time.sleep(pause)
                os.write(master, chunk)
                wire.append("< " + chunk.hex(" "))
    if host.poll() is None:
        host.kill()
        print(f"FAIL the host did not finish within {RUN_LIMIT_S} s")
    output = host.communicate()[0].decode(errors="replace")
    print(output, end="")
    print("wire (> to the reader, < from it):")
    print("\n".join(wire))
    return host.returncode if host.returncode is not None else 1


if __name__ == "__main__":
    sys.exit(main())
