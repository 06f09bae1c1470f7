#!/usr/bin/env python3
"""A virtual tax IC card for pcscd's vpcd driver (package vsmartcard-vpcd).

The card connects to the port vpcd listens on and answers its frames: a two-byte big-endian length,
then the message. One-byte messages are control: 0 power off, 1 power on, 2 reset, 4 get ATR (answered
with the ATR). Longer messages are APDUs, answered with response data and status word.

The card model comes from the "card" part of a scenario file (tools/scenarios/README.md). Faults can be
given there or at run time through the control socket (--control PATH, one command per line):
  remove | insert | fault {json} | clear | count | quit
Each command is answered with one line ("ok ...", or "error ...").
"""
import argparse
import json
import os
import socket
import struct
import sys
import threading
import time

ATR = bytes.fromhex("3B 88 80 01 00 00 00 00 00 00 00 00".replace(" ", ""))
RECORD_SIZE = 45
RECORDS_AT = 0x86
COUNT_AT = 0x84


def bcd_text(text, what):
    """Hex digits of the text as bytes (an odd count padded with F): so the hex text of the bytes
    begins with the text itself."""
    digits = text.upper()
    if any(c not in "0123456789ABCDEF" for c in digits):
        raise ValueError("%s %r: only the digits 0-9 and A-F fit into the card's hex answer" % (what, text))
    if len(digits) % 2:
        digits += "F"
    return bytes.fromhex(digits)


class Card:
    def __init__(self, scenario):
        card = scenario.get("card", {})
        self.taxpayer = str(scenario.get("taxpayer", ""))
        self.number = str(card.get("number", "0" * 14))
        records = [bytes.fromhex(r.replace(" ", "")) for r in card.get("records", [])]
        count = int(card.get("recordCount", len(records) if records else 6))
        while len(records) < max(count, 6):
            i = len(records)
            records.append(bytes(((i * 7 + k) & 0xFF) for k in range(RECORD_SIZE)))
        self.files = {0x3F00: None, 0xEF05: self.build_ef05(), 0xEF06: self.build_ef06(records, count)}
        self.lock = threading.Lock()
        self.faults = [dict(f) for f in card.get("faults", [])]
        self.commands = 0
        self.present = True
        self.selected = 0x3F00

    def build_ef05(self):
        data = bytearray(0x40)
        ident = bcd_text(self.taxpayer, "taxpayer identifier")
        if len(ident) > 0x1A - 2:
            raise ValueError("taxpayer identifier %r is too long for the card" % self.taxpayer)
        # The runner takes the identifier from the fifth hex character of the read at 0000.
        data[2:2 + len(ident)] = ident
        number = bcd_text(self.number, "card number")
        # ... and the card number from the 33rd character of the read at 0020, i.e. offset 0030.
        data[0x30:0x30 + len(number)] = number[:0x40 - 0x30]
        return bytes(data)

    @staticmethod
    def build_ef06(records, count):
        data = bytearray(RECORDS_AT)
        data[COUNT_AT:COUNT_AT + 2] = struct.pack("<H", count)
        for r in records:
            data += r[:RECORD_SIZE].ljust(RECORD_SIZE, b"\0")
        return bytes(data)

    def reset(self):
        self.selected = 0x3F00

    def fault_for(self, apdu):
        """The fault that answers this command, if any (faults count the card's APDUs from 1)."""
        hex_apdu = apdu.hex().upper()
        for f in self.faults:
            if f.get("type", "status") != "status":
                continue
            on = f.get("command")
            match = f.get("apdu")
            if on is not None and int(on) != self.commands:
                continue
            if match is not None and match.replace(" ", "").upper() != hex_apdu:
                continue
            if on is None and match is None:
                continue
            times = f.get("times", 1)
            if times is not None:
                if times <= 0:
                    continue
                f["times"] = times - 1
            return bytes.fromhex(f["sw"].replace(" ", ""))
        return None

    def removal_due(self):
        for f in self.faults:
            if f.get("type") == "remove" and not f.get("done") and self.commands >= int(f.get("after", 0)):
                f["done"] = True
                return True
        return False

    def answer(self, apdu):
        self.commands += 1
        fault = self.fault_for(apdu)
        if fault is not None:
            return fault
        if len(apdu) < 4:
            return b"\x67\x00"
        cla, ins, p1, p2 = apdu[0], apdu[1], apdu[2], apdu[3]
        body = apdu[5:5 + apdu[4]] if len(apdu) > 5 else b""
        le = apdu[4] if len(apdu) == 5 else None
        if ins == 0xA4:
            if len(body) != 2:
                return b"\x67\x00"
            fid = (body[0] << 8) | body[1]
            if fid not in self.files:
                return b"\x6A\x82"
            self.selected = fid
            return b"\x90\x00"
        if ins == 0x84:
            n = le if le else 8
            return os.urandom(n) + b"\x90\x00"
        if ins == 0xB0:
            data = self.files.get(self.selected)
            if data is None:
                return b"\x69\x86"
            offset = (p1 << 8) | p2
            n = le if le else 256
            if offset >= len(data):
                return b"\x6B\x00"
            part = data[offset:offset + n]
            return part + (b"\x90\x00" if len(part) == n else b"\x62\x82")
        if cla == 0x84 and ins == 0xE2:
            # Appending the clear-card record (secured by the issuer's MAC, not checked here).
            return b"\x90\x00"
        return b"\x6D\x00"


def recv_exact(sock, n):
    buf = b""
    while len(buf) < n:
        chunk = sock.recv(n - len(buf))
        if not chunk:
            raise ConnectionError("vpcd closed the connection")
        buf += chunk
    return buf


def send_frame(sock, data):
    sock.sendall(struct.pack(">H", len(data)) + data)


class Runner:
    def __init__(self, card, host, port):
        self.card = card
        self.host = host
        self.port = port
        self.sock = None
        self.stop = False
        self.inserted = threading.Event()
        self.inserted.set()

    def remove(self):
        with self.card.lock:
            self.card.present = False
            self.inserted.clear()
            if self.sock:
                try:
                    self.sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def insert(self):
        with self.card.lock:
            self.card.present = True
            self.card.reset()
            self.inserted.set()

    def serve_once(self):
        sock = socket.create_connection((self.host, self.port), timeout=None)
        with self.card.lock:
            self.sock = sock
        try:
            while not self.stop:
                length = struct.unpack(">H", recv_exact(sock, 2))[0]
                msg = recv_exact(sock, length)
                with self.card.lock:
                    if len(msg) == 1:
                        if msg[0] == 4:
                            send_frame(sock, ATR)
                        elif msg[0] in (0, 1, 2):
                            self.card.reset()
                        continue
                    reply = self.card.answer(msg)
                    remove = self.card.removal_due()
                send_frame(sock, reply)
                if remove:
                    self.remove()
        finally:
            with self.card.lock:
                self.sock = None
            sock.close()

    def run(self):
        while not self.stop:
            self.inserted.wait()
            if self.stop:
                break
            try:
                self.serve_once()
            except (ConnectionError, OSError):
                time.sleep(0.1)


def control_server(path, runner):
    if os.path.exists(path):
        os.unlink(path)
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    server.listen(4)
    while True:
        conn, _ = server.accept()
        with conn, conn.makefile("rw", encoding="utf-8", newline="\n") as f:
            for line in f:
                cmd, _, arg = line.strip().partition(" ")
                try:
                    if cmd == "remove":
                        runner.remove()
                        reply = "ok"
                    elif cmd == "insert":
                        runner.insert()
                        reply = "ok"
                    elif cmd == "fault":
                        with runner.card.lock:
                            runner.card.faults.append(json.loads(arg))
                        reply = "ok"
                    elif cmd == "clear":
                        with runner.card.lock:
                            runner.card.faults.clear()
                        reply = "ok"
                    elif cmd == "count":
                        with runner.card.lock:
                            reply = "ok %d" % runner.card.commands
                    elif cmd == "quit":
                        f.write("ok\n")
                        f.flush()
                        os._exit(0)
                    else:
                        reply = "error unknown command %r" % cmd
                except (ValueError, KeyError) as e:
                    reply = "error %s" % e
                f.write(reply + "\n")
                f.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scenario", help="scenario file (default: tools/scenarios/default.json)")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=35963, help="the port vpcd listens on (default 35963)")
    parser.add_argument("--control", help="UNIX socket for run-time commands")
    args = parser.parse_args()
    path = args.scenario or os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scenarios", "default.json")
    with open(path, encoding="utf-8") as f:
        scenario = json.load(f)
    try:
        card = Card(scenario)
    except ValueError as e:
        print("virtual-card: %s" % e, file=sys.stderr)
        return 2
    runner = Runner(card, args.host, args.port)
    if args.control:
        threading.Thread(target=control_server, args=(args.control, runner), daemon=True).start()
    try:
        runner.run()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
