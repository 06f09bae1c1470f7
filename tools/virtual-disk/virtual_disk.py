#!/usr/bin/env python3
"""The virtual tax disk: answers the tax disk's commands behind Quillon's emulator transport.

Usage: virtual_disk.py --socket PATH --scenario FILE [--log FILE]

It reads the "taxpayer" and "disk" parts of the scenario file afresh at every connection (every
OpenUsbCard), so a test may change the scenario, faults included, between runs. Each command received is
appended to the log as one JSON line {"dir", "cdb", "length", "data"} (hex without spaces).
Framing: see quillon/README.md.
"""
import argparse
import json
import os
import socket
import struct
import sys
import time

PREFIX = bytes.fromhex("fcffccbc53e1")
INQUIRY = 0x12


def load_scenario(path):
    with open(path, encoding="utf-8") as f:
        scenario = json.load(f)
    disk = scenario.get("disk", {})
    return scenario.get("taxpayer", ""), disk


def unhex(text):
    return bytes.fromhex("".join(str(text).split()))


class Session:
    """One connection: the disk from OpenUsbCard to CloseUsbCard."""

    def __init__(self, taxpayer, disk):
        self.taxpayer = taxpayer
        self.disk = disk
        self.type = unhex(disk.get("type", "D3 D4"))
        self.number = str(disk.get("number", "661234567890"))
        self.invoices = [unhex(x) for x in disk.get("invoices", [])]
        self.locked = bool(disk.get("locked", False))
        self.faults = list(disk.get("faults", []))
        self.seen = {}
        self.commands = 0
        self.selected = None  # invoice index written before an invoice read
        self.record = 0  # next a5 record

    def d3d4(self):
        return self.type == bytes.fromhex("d3d4")

    def fault_for(self, name, direction):
        """The first fault that applies to this command now, counting its occurrences."""
        # Occurrences are counted per command and per command and direction.
        for key in (name, (name, direction)):
            self.seen[key] = self.seen.get(key, 0) + 1
        for fault in self.faults:
            if fault.get("kind") in ("fail", "short") and fault.get("command", "").lower() == name:
                if "direction" in fault and int(fault["direction"]) != direction:
                    continue
                count = self.seen[(name, direction) if "direction" in fault else name]
                skip = int(fault.get("skip", 0))
                times = fault.get("times")
                if count > skip and (times is None or count <= skip + int(times)):
                    return fault
        return None

    def gone(self):
        for fault in self.faults:
            if fault.get("kind") == "gone" and self.commands > int(fault.get("after", 0)):
                return True
        return False

    def count_text(self):
        if "count_text" in self.disk:
            return self.disk["count_text"].encode("latin-1")
        return ("INV\n%s\n%d\n" % (self.number, len(self.invoices))).encode("ascii")

    def invoice(self, index):
        pos = index - 1 if self.d3d4() else index
        if 0 <= pos < len(self.invoices):
            return self.invoices[pos]
        return None

    def taxpayer_bcd(self):
        digits = (self.taxpayer + "f" * 16)[:16]
        try:
            return bytes.fromhex(digits)
        except ValueError:
            return self.taxpayer.encode("latin-1")[:8].ljust(8, b"\0")

    def answer(self, direction, cdb, data, length):
        """(ok, bytes, count): ok False is a driver failure; reads are cut to the asked length."""
        if cdb[:1] == bytes([INQUIRY]):
            name = "inquiry"
        elif len(cdb) == 7 and cdb[:6] == PREFIX:
            name = "%02x" % cdb[6]
        else:
            name = cdb.hex()
        fault = self.fault_for(name, direction)
        if fault is not None and fault["kind"] == "fail":
            return False, b"", 0
        ok, out = self.command(name, direction, cdb, data)
        count = length
        if fault is not None and fault["kind"] == "short":
            out = out[: int(fault.get("length", 0))]
            count = min(length, int(fault.get("length", 0)))
        if not ok:
            return False, b"", 0
        if direction != 0:
            return True, b"", count
        out = out[:length]
        return True, out, len(out)

    def command(self, name, direction, cdb, data):
        if name == "inquiry":
            inquiry = bytes([0x00, 0x80, 0x05, 0x02, 31, 0, 0, 0])
            inquiry += b"LUMBRANE" + b"SHUIKONG DISK   " + b"1.00"
            return True, inquiry[: cdb[4]] if len(cdb) > 4 else inquiry
        if direction != 0:
            if name == "40":
                self.locked = False
                expected = self.disk.get("verify")
                return (expected is None or unhex(expected) == data), b""
            if name in ("7a", "82"):
                expected = self.disk.get("verify_param")
                return (expected is None or unhex(expected) == data), b""
            if (name == "79" and self.d3d4()) or name == "84":
                self.selected = int.from_bytes(data[:4].ljust(4, b"\0"), "little")
                return True, b""
            # a7, c7 and the other writes are taken as they come.
            return True, b""
        if name == "09":
            return True, b"\xee\xee" if self.locked else b"\x00\x00"
        if name == "aa":
            return True, unhex(self.disk.get("aa", "00 00"))
        if name == "28":
            return True, self.taxpayer_bcd() + self.number.encode("ascii")[:9].ljust(9, b"\0")
        if name == "c9":
            body = bytearray(61)
            body[24:27] = self.number.encode("ascii")[:3].ljust(3, b"0")
            rest = (self.number[3:9] + "000000")[:6]
            body[27:30] = bytes.fromhex(rest) if rest.isdigit() else b"\0\0\0"
            return True, bytes(body)
        if name == "a4":
            return True, bytes((i * 7) & 0xFF for i in range(317))
        if name == "a3":
            count = int(self.disk.get("records", len(self.invoices)))
            return True, b"\x00" * 4 + struct.pack("<I", count & 0xFFFFFFFF) + b"\x00"
        if name == "a5":
            record = self.invoices[self.record] if self.record < len(self.invoices) else b""
            self.record += 1
            return True, record[:2057].ljust(2057, b"\0")
        if name == "26":
            return True, bytes.fromhex("a35cc53a")
        if name == "6a":
            return True, b"\x00\x01" + self.taxpayer.encode("ascii")
        if name == "7d":
            return True, self.type
        if name in ("7a", "82"):
            return True, b"\x00\x00"
        if name == "83" or (name == "79" and self.d3d4() and self.selected is None):
            return True, self.count_text()
        if name in ("79", "84"):
            index, self.selected = self.selected, None
            record = self.invoice(index) if index is not None else None
            return (record is not None), record or b""
        # A command the disk does not know: rejected with a check condition, nothing moves.
        return True, b""


def read_exact(conn, size):
    data = b""
    while len(data) < size:
        chunk = conn.recv(size - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def serve(conn, scenario_path, log_path):
    taxpayer, disk = load_scenario(scenario_path)
    if any(f.get("kind") == "absent" for f in disk.get("faults", [])):
        conn.sendall(b"\x00")
        return
    conn.sendall(b"\x01")
    session = Session(taxpayer, disk)
    while True:
        try:
            direction, cdb_length = read_exact(conn, 2)
            cdb = read_exact(conn, cdb_length)
            (length,) = struct.unpack("<I", read_exact(conn, 4))
            data = read_exact(conn, length) if direction != 0 else b""
        except EOFError:
            return
        session.commands += 1
        if log_path:
            with open(log_path, "a", encoding="utf-8") as log:
                entry = {"dir": direction, "cdb": cdb.hex(), "length": length, "data": data.hex()}
                log.write(json.dumps(entry) + "\n")
        if session.gone():
            return
        delay = float(disk.get("delay_ms", 0))
        if delay > 0:
            time.sleep(delay / 1000.0)
        ok, out, count = session.answer(direction, cdb, data, length)
        conn.sendall(bytes([0 if ok else 1]) + struct.pack("<I", count) + out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--socket", required=True)
    parser.add_argument("--scenario", required=True)
    parser.add_argument("--log")
    args = parser.parse_args()
    if os.path.exists(args.socket):
        os.unlink(args.socket)
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(args.socket + ".tmp")
    server.listen(4)
    # The socket appears under its name only once it listens, so a waiting caller can connect at once.
    os.rename(args.socket + ".tmp", args.socket)
    try:
        while True:
            conn, _ = server.accept()
            with conn:
                try:
                    serve(conn, args.scenario, args.log)
                except (OSError, ValueError) as error:
                    print("virtual-disk: %s" % error, file=sys.stderr)
    except KeyboardInterrupt:
        pass
    finally:
        server.close()


if __name__ == "__main__":
    main()
