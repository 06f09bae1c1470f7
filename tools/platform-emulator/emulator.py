#!/usr/bin/env python3
"""Tax platform emulator: the server side of the declaration protocol, for tests and demos (standard library only).

Reads the "platform" part of a scenario file (tools/scenarios/README.md), listens on a loopback port below 10000
(HTTP, or HTTPS with --tls, optionally demanding a client certificate), answers every platform operation and
writes one JSON line per request it received to --log. See README.md in this folder.
"""
import argparse
import base64
import hashlib
import io
import json
import os
import random
import signal
import ssl
import struct
import sys
import threading
import time
import http.server
import xml.etree.ElementTree as ET
import zipfile

ANSI = "cp936"
STEPS = ("BS201", "BS202", "BS203", "QK201", "QK202", "QK203")
RESULT_FIGURES = ("QCKC", "BQLG", "BQTH", "BQKJ", "QMJY", "ZCFPFS", "ZCFPJE", "ZCFPSE", "ZFFPFS", "ZFFPJE", "ZFFPSE")
CARD_COLUMNS = ("CMDRequest", "CMDResponse", "ExecStatusC", "ExecStatusS", "ErrorCMD")
TEXT_TYPE = 1  # the table component's code of an ANSI text column
NOTICE_IDENTITY = "lumbrane"
PIECE_HEADERS = ("STARTPOS", "ENDPOS", "UPGRADEINDEX")


# ---------------------------------------------------------------------------------------------------------------
# Table stream (.vtd): version, column definitions, an empty field list, records of length-prefixed values.

def write_table(columns, rows):
    """columns: names or dicts {name, type, size, attr}; rows: dicts by column name or lists in column order."""
    defs = [c if isinstance(c, dict) else {"name": c} for c in columns]
    out = io.BytesIO()
    out.write(struct.pack("<HH", 3, len(defs)))
    for d in defs:
        name = d["name"].encode(ANSI)
        out.write(struct.pack("<H", len(name)) + name)
        out.write(struct.pack("<HHI", int(d.get("type", TEXT_TYPE)), int(d.get("size", 255)), int(d.get("attr", 0))))
    out.write(struct.pack("<H", 0))
    if not defs:
        out.write(struct.pack("<I", 0))
        return out.getvalue()
    out.write(struct.pack("<I", len(rows)))
    for row in rows:
        values = row if isinstance(row, (list, tuple)) else [row.get(d["name"]) for d in defs]
        if len(values) != len(defs):
            raise ValueError("row has %d values for %d columns" % (len(values), len(defs)))
        for v in values:
            data = b"" if v is None else (v if isinstance(v, bytes) else str(v).encode(ANSI))
            out.write(struct.pack("<I", len(data)) + data)
    return out.getvalue()


def read_table(data):
    """Returns (columns as dicts, rows as dicts of text). Raises ValueError on a stream that does not fit."""
    pos = 0

    def take(n):
        nonlocal pos
        if pos + n > len(data):
            raise ValueError("table stream ends early at %d" % pos)
        chunk = data[pos:pos + n]
        pos += n
        return chunk

    version, count = struct.unpack("<HH", take(4))
    if version != 3:
        raise ValueError("table stream version %d" % version)
    columns = []
    for _ in range(count):
        (length,) = struct.unpack("<H", take(2))
        name = take(length).decode(ANSI)
        dtype, size, attr = struct.unpack("<HHI", take(8))
        columns.append({"name": name, "type": dtype, "size": size, "attr": attr})
    (fields,) = struct.unpack("<H", take(2))
    if fields != 0:
        raise ValueError("table stream with a field list")
    (records,) = struct.unpack("<I", take(4))
    rows = []
    if columns:
        for _ in range(records):
            row = {}
            for c in columns:
                (length,) = struct.unpack("<I", take(4))
                row[c["name"]] = take(length).decode(ANSI, "replace")
            rows.append(row)
    if pos != len(data):
        raise ValueError("%d bytes after the table stream" % (len(data) - pos))
    return columns, rows


def zip_bytes(files):
    """files: list of (name, bytes); a deflated archive without folder parts."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
        for name, data in files:
            z.writestr(name, data)
    return buf.getvalue()


def describe_package(data):
    """Entry names and sizes of an uploaded package, with the tables of the .vtd entries."""
    entries = []
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        for info in z.infolist():
            entry = {"name": info.filename, "size": info.file_size}
            if info.filename.lower().endswith(".vtd"):
                try:
                    columns, rows = read_table(z.read(info))
                    entry["table"] = {"columns": [c["name"] for c in columns], "rows": rows}
                except ValueError as e:
                    entry["tableError"] = str(e)
            entries.append(entry)
    return entries


# ---------------------------------------------------------------------------------------------------------------
# Answers

def el(parent, tag, text=None, **attrs):
    node = ET.SubElement(parent, tag, {k: str(v) for k, v in attrs.items()})
    if text is not None:
        node.text = str(text)
    return node


class Answer:
    """An answer document: RESPONSE/RESULT and RESPONSE/DATA under a document element."""

    def __init__(self, value="0", message="", softupd=None):
        self.root = ET.Element("SERVICE")
        response = el(self.root, "RESPONSE")
        self.result = el(response, "RESULT")
        el(self.result, "RESULTVALUE", value)
        el(self.result, "RESULTMESSAGE", message)
        if softupd is not None:
            el(self.result, "SOFTUPDFLAG", softupd)
        self.data = el(response, "DATA")
        self.package = None  # (file name, bytes) when the answer carries a package

    def add(self, tag, text=None, **attrs):
        return el(self.data, tag, text, **attrs)

    def set_package(self, name, data):
        self.package = (name, data)
        self.add("FILENAME", name)
        self.add("ATTESTRESULT", base64.b64encode(data).decode("ascii"))

    def find(self, tag):
        for node in self.root.iter():
            if node.tag.upper() == tag.upper():
                return node
        return None

    def remove(self, tag):
        for parent in self.root.iter():
            for child in list(parent):
                if child.tag.upper() == tag.upper():
                    parent.remove(child)
                    return True
        return False

    def lower_tags(self):
        for node in self.root.iter():
            node.tag = node.tag.lower()
            node.attrib = {k.lower(): v for k, v in node.attrib.items()}

    def encode(self):
        text = ET.tostring(self.root, encoding="unicode", short_empty_elements=False)
        return ('<?xml version="1.0" encoding="GBK"?>\r\n' + text).encode(ANSI, "xmlcharrefreplace")


def refusal(message, value="1"):
    return Answer(value, message)


# ---------------------------------------------------------------------------------------------------------------
# The platform

def notice_expired(expiredate, today):
    """A server publishes current notices only. Dates as yyyy-mm-dd, yyyymmdd or yyyymm (the month's end);
    a date in none of these forms counts as current."""
    digits = "".join(c for c in str(expiredate) if c.isdigit())
    if len(digits) == 6:
        digits += "31"
    if len(digits) != 8:
        return False
    return digits < today


class Platform:
    """State of the emulated server: passwords, acceptance numbers, poll counters, fault list."""

    def __init__(self, scenario, scenario_dir="."):
        self.lock = threading.RLock()
        self.scenario_dir = scenario_dir
        self.host, self.port = "127.0.0.1", 0  # where the server listens, for addresses it names itself
        self.load(scenario)

    def load(self, scenario):
        with self.lock:
            self.scenario = scenario
            self.taxpayer = str(scenario.get("taxpayer", ""))
            self.card_number = str(scenario.get("card", {}).get("number", ""))
            self.conf = dict(scenario.get("platform", {}))
            self.password = str(self.conf.get("password", self.conf.get("initialPassword", "")))
            self.faults = [dict(f) for f in self.conf.get("faults", [])]
            self.reset_counters()

    def reset_counters(self):
        with self.lock:
            self.next_slxh = 1
            self.known_slxh = set()
            self.polls = {}  # (operation, serial number, step) -> answers given since the last upload

    def set(self, values):
        with self.lock:
            self.conf.update(values)
            if "password" in values:
                self.password = str(values["password"])
            if "faults" in values:
                self.faults = [dict(f) for f in values["faults"]]

    # -- faults

    def take_fault(self, name, headers, applies=None):
        """The first matching fault still in force for this operation, consumed by one use."""
        step = header(headers, "STEPID")
        with self.lock:
            for f in self.faults:
                op = f.get("operation", "")
                if op and op.lower() != name.lower():
                    continue
                if f.get("step") and f["step"] != step:
                    continue
                if (f.get("pieces") or f.get("kind") in PIECE_FAULTS) and not header(headers, "STARTPOS"):
                    continue  # an upgrade fault meant for the piece requests only
                if applies is not None and not applies(f):
                    continue
                if f.get("skip", 0) > 0:
                    f["skip"] -= 1
                    continue
                times = f.get("times")
                if times is not None:
                    if times <= 0:
                        continue
                    f["times"] = times - 1
                return f
        return None

    # -- helpers

    def step_conf(self, step):
        return self.conf.get("steps", {}).get(step, {})

    def count_poll(self, key):
        with self.lock:
            n = self.polls.get(key, 0)
            self.polls[key] = n + 1
            return n

    def pending_state(self, conf, n):
        """The STATE of the n-th poll when it is still pending, or None once the result is due."""
        retries = conf.get("retries", 0)
        states = [str(s) for s in retries] if isinstance(retries, list) else ["0"] * int(retries)
        return states[n] if n < len(states) else None

    def processed(self, answer, conf, n, make_package):
        """Fills the DATA of the three downloads: pending, error, or the package."""
        state = self.pending_state(conf, n)
        if state is not None:
            answer.add("STATE", state)
            return
        answer.add("STATE", "2")
        error = conf.get("error")
        if error:
            answer.add("ERRCODE", error.get("code", 1))
            answer.add("ERRINFO", error.get("info", ""))
            answer.add("FILENAME", "")
            answer.add("ATTESTRESULT", "")
            return
        answer.add("ERRCODE", 0)
        answer.add("ERRINFO", "")
        name, data = make_package()
        answer.set_package(name, data)

    def serial_known(self, slxh):
        # A client in debug mode polls with "DEBUG_AcceptID_" + step without having uploaded.
        with self.lock:
            return slxh in self.known_slxh or slxh.startswith("DEBUG_AcceptID_")

    def new_serial(self):
        with self.lock:
            prefix = str(self.conf.get("slxhPrefix", "SL" + time.strftime("%Y%m%d")))
            slxh = "%s%06d" % (prefix, self.next_slxh)
            self.next_slxh += 1
            self.known_slxh.add(slxh)
            return slxh

    # -- identity

    def notice_password(self):
        notice = self.conf.get("notice", {})
        if "password" in notice:
            return str(notice["password"])
        if "secret" in notice:
            return hashlib.md5(str(notice["secret"]).encode(ANSI)).hexdigest().upper()
        return None

    def check_identity(self, name, headers, notice_identity=False):
        """None when the caller may go on, else the refusal."""
        nsrsbh = header(headers, "NSRSBH")
        password = header(headers, "PASSWORD")
        if notice_identity:
            expected = self.notice_password()
            if nsrsbh != NOTICE_IDENTITY:
                return refusal("通知服务身份错误！")
            if expected is not None and password != expected:
                return refusal("通知服务密码错误！")
            return None
        if nsrsbh != self.taxpayer:
            return refusal(self.conf.get("taxpayerMessage", "纳税人识别号不存在！"))
        dept = self.conf.get("taxDeptCode")
        if dept is not None and name.lower() != "updatesoft.do":  # the upgrade request carries no SWJGDM
            codes = [v for n, v in headers if n.upper() == "SWJGDM"]
            if codes != [str(dept) or "NULL"] * 2:
                return refusal("税务机关代码错误！")
        if name.lower() == "changepwd.do":
            return None  # PASSWORD carries the old password; checked by the operation
        if password != self.password:
            return refusal(self.conf.get("passwordMessage", "网络抄报密码错误！"))
        return None

    # -- operations; each returns an Answer

    def op_upload(self, headers, body):
        step = header(headers, "STEPID")
        if step not in STEPS:
            return refusal("无效的步骤代码！")
        filename = header(headers, "FILENAME")
        if filename in ("", "NULL"):
            return refusal("文件名为空！")
        if not body.startswith(b"FILEDATA="):
            return refusal("上传数据格式错误！")
        try:
            data = base64.b64decode(body[len(b"FILEDATA="):], validate=True)
        except ValueError:
            return refusal("上传数据不是有效的Base64编码！")
        if header(headers, "LENGTH") != str(len(data)):
            return refusal("上传数据长度不符！")
        try:
            describe_package(data)
        except zipfile.BadZipFile:
            return refusal("上传数据包格式错误！")
        slxh = header(headers, "SLXH")
        if slxh in ("", "NULL"):
            slxh = self.new_serial()
        elif not self.serial_known(slxh):
            return refusal("上传的受理序号错误！")
        with self.lock:
            self.known_slxh.add(slxh)
            self.polls[("DownloadData", slxh, step)] = 0
            if step == "BS203":
                self.polls[("ClearInfo", "", "")] = 0
                self.polls[("BSData", slxh, "")] = 0
                self.polls[("BDJG", slxh, "")] = 0
        answer = Answer()
        answer.add("SLXH", slxh)
        answer.add("UPGRADE", self.conf.get("upgradeFlag", "0"))
        if self.conf.get("informServer"):
            answer.add("INFORMSERVER", self.conf["informServer"])
        return answer

    def card_script(self, step, slxh):
        script = self.step_conf(step).get("script", {})
        columns = script.get("columns", list(CARD_COLUMNS))
        rows = script.get("rows", [])
        names = [c if isinstance(c, str) else c["name"] for c in columns]
        filled = []
        for r in rows:
            r = dict(r) if isinstance(r, dict) else dict(zip(names, r))
            for k in list(r):
                if isinstance(r[k], str):
                    r[k] = r[k].replace("{TAXPAYER}", self.taxpayer).replace("{CARD}", self.card_number)
            filled.append(r)
        name = script.get("name") or "KDR_Card_%s%s.vtd" % (self.taxpayer, hashlib.md5(
            ("%s/%s" % (slxh, step)).encode()).hexdigest().upper())
        return name, write_table(columns, filled)

    def op_download(self, headers):
        slxh, step = header(headers, "SLXH"), header(headers, "STEPID")
        answer = Answer()
        if step not in STEPS or not self.serial_known(slxh):
            answer.add("STATE", self.conf.get("unknownSerialState", "9"))
            return answer
        n = self.count_poll(("DownloadData", slxh, step))
        conf = self.step_conf(step)

        def package():
            name, data = self.card_script(step, slxh)
            return conf.get("package", "%s_%s.dat" % (slxh, step)), zip_bytes([(name, data)])

        self.processed(answer, conf, n, package)
        return answer

    def op_clear_info(self, headers):
        conf = self.conf.get("clearCardInfo", {})
        answer = Answer()
        n = self.count_poll(("ClearInfo", "", ""))

        def package():
            lines = conf.get("lines", ["", "", "", "", "Y", "", "", "TRUE"])
            text = "\r\n".join(str(x) for x in lines) + "\r\n"
            name = conf.get("name", "%s_KDR.txt" % self.taxpayer)
            return conf.get("package", "ClearIC_%s.dat" % self.taxpayer), zip_bytes([(name, text.encode(ANSI))])

        self.processed(answer, conf, n, package)
        return answer

    def result_document(self):
        conf = self.conf.get("result", {})
        root = ET.Element("BSJG")
        for kind in conf.get("kinds", [{"id": "1"}, {"id": "2"}]):
            entry = el(root, "FPZL", id=kind.get("id", ""))
            for figure in RESULT_FIGURES:
                el(entry, figure, kind.get(figure, 0))
        text = '<?xml version="1.0" encoding="GBK"?>\r\n' + ET.tostring(root, encoding="unicode")
        return text.encode(ANSI)

    def op_bsdata(self, headers):
        slxh = header(headers, "SLXH")
        conf = self.conf.get("result", {})
        answer = Answer()
        if not self.serial_known(slxh):
            answer.add("STATE", self.conf.get("unknownSerialState", "9"))
            return answer
        n = self.count_poll(("BSData", slxh, ""))

        def package():
            name = conf.get("name", "BSJG_%s.xml" % slxh)
            return conf.get("package", "BSJG_%s.dat" % slxh), zip_bytes([(name, self.result_document())])

        self.processed(answer, conf, n, package)
        return answer

    def op_bdjg(self, headers):
        slxh = header(headers, "SLXH")
        if not self.serial_known(slxh):
            return refusal("上传的受理序号错误！")
        seq = self.conf.get("bdjg", [1]) or [1]
        n = self.count_poll(("BDJG", slxh, ""))
        answer = Answer()
        answer.add("BDJG", seq[min(n, len(seq) - 1)])
        return answer

    def op_status(self, headers):
        conf = self.conf.get("status", {})
        busy = conf.get("busy", 0)
        seq = busy if isinstance(busy, list) else [busy]
        n = self.count_poll(("Status", "", ""))
        answer = Answer()
        answer.add("Status", seq[min(n, len(seq) - 1)] if seq else 0)
        answer.add("WaitTime", conf.get("waitTime", 0))
        return answer

    def op_change_pwd(self, headers):
        old = header(headers, "PASSWORD")
        new = header(headers, "NEWPASSWORD")
        with self.lock:
            if old != (self.password or "NULL"):
                return refusal(self.conf.get("oldPasswordMessage", "原网络抄报密码错误！"))
            if new in ("", "NULL"):
                return refusal("新密码不能为空！")
            self.password = new
        return Answer()

    def op_inform(self, headers):
        conf = self.conf.get("inform", {})
        answer = Answer()
        server = answer.add("SLSERVER")
        el(server, "STATUS", conf.get("status", 0))
        el(server, "ERROR", conf.get("error", ""))
        return answer

    def op_notices(self, headers):
        sent = header(headers, "NOTICEIDS")
        known = set() if sent in ("", "NULL") else {s.strip() for s in sent.split(",")}
        answer = Answer(softupd=self.conf.get("softUpdFlag", 0))
        today = time.strftime("%Y%m%d")
        for n in self.conf.get("notices", []):
            if str(n.get("id", "")) in known or notice_expired(n.get("expiredate", ""), today):
                continue
            content = base64.b64encode(str(n.get("content", "")).encode(ANSI)).decode("ascii")
            answer.add("NOTICE", content, ID=n.get("id", ""), ITITLE=n.get("title", ""),
                       PUBDATE=n.get("pubdate", ""), EXPIREDATE=n.get("expiredate", ""))
        return answer

    def upgrade_package(self):
        conf = self.conf.get("upgrade", {})
        if "file" in conf:
            path = os.path.join(self.scenario_dir, conf["file"])
            with open(path, "rb") as f:
                return f.read()
        files = conf.get("files", {"QelUpgrade.exe": "updater"})
        executable = set(conf.get("executable", []))
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
            for name, text in files.items():
                info = zipfile.ZipInfo(name, (2024, 5, 1, 10, 0, 0))
                info.compress_type = zipfile.ZIP_DEFLATED
                info.external_attr = (0o100755 if name in executable else 0o100644) << 16
                z.writestr(info, text.encode(ANSI))
        return buf.getvalue()

    def served_package(self, path):
        """The package bytes when the path is the upgrade's own download address ("url" beginning with "/")."""
        url = str((self.conf.get("upgrade") or {}).get("url", ""))
        if url.startswith("/") and path == url.split("?", 1)[0]:
            return self.upgrade_package()
        return None

    def op_update(self, headers):
        conf = self.conf.get("upgrade")
        index = str((conf or {}).get("index", "1"))
        if header(headers, "STARTPOS"):
            if not conf or header(headers, "UPGRADEINDEX") != index:
                return refusal("升级包序号错误！")
            data = self.upgrade_package()
            try:
                start, end = int(header(headers, "STARTPOS")), int(header(headers, "ENDPOS"))
            except ValueError:
                return refusal("下载位置错误！")
            if start < 0 or start >= len(data) or end < start:
                return refusal("下载位置错误！")
            end = min(end, len(data) - 1)
            answer = Answer()
            answer.add("STARTPOS", start)
            answer.add("ENDPOS", end)
            answer.add("FILECONTENT", base64.b64encode(data[start:end + 1]).decode("ascii"))
            return answer
        answer = Answer()
        if not conf or (conf.get("version") == header(headers, "VERSION") and not conf.get("always")):
            answer.add("STATE", "1")
            answer.add("VERSION", header(headers, "VERSION"))
            return answer
        data = self.upgrade_package()
        answer.add("STATE", "0")
        answer.add("VERSION", conf.get("version", ""))
        if conf.get("url"):
            url = conf["url"]
            if url.startswith("/"):  # served by the emulator itself
                url = "http://%s:%d%s" % (self.host, self.port, url)
            answer.add("URL", base64.b64encode(url.encode(ANSI)).decode("ascii"))
        answer.add("UPGRADEINDEX", index)
        answer.add("FILELENGTH", conf.get("length", len(data)))
        answer.add("FILEMD5", conf.get("md5", hashlib.md5(data).hexdigest().upper()))
        return answer


OPERATIONS = {
    # name (lower case): (method, notice identity, operation)
    "uploaddata.do": ("POST", False, lambda p, h, b: p.op_upload(h, b)),
    "downloaddata.do": ("POST", False, lambda p, h, b: p.op_download(h)),
    "getlastclearicinfo.do": ("POST", False, lambda p, h, b: p.op_clear_info(h)),
    "downloadbsdata.do": ("POST", False, lambda p, h, b: p.op_bsdata(h)),
    "getbdjg.do": ("POST", False, lambda p, h, b: p.op_bdjg(h)),
    "status.do": ("POST", False, lambda p, h, b: p.op_status(h)),
    "changepwd.do": ("POST", False, lambda p, h, b: p.op_change_pwd(h)),
    "inform0.do": ("POST", True, lambda p, h, b: p.op_inform(h)),
    "downloadnotice0.do": ("POST", True, lambda p, h, b: p.op_notices(h)),
    "downloadnotice.do": ("POST", False, lambda p, h, b: p.op_notices(h)),
    "updatesoft.do": ("GET", False, lambda p, h, b: p.op_update(h)),
}


def header(headers, name):
    """The first value of a header (names compared ignoring case), "" when absent."""
    for n, v in headers:
        if n.upper() == name.upper():
            return v
    return ""


def apply_fault(fault, answer):
    """Changes the answer document for a fault; returns the body bytes."""
    kind = fault["kind"]
    if kind == "lowercase":
        answer.lower_tags()
    elif kind == "missing-node":
        answer.remove(fault.get("node", "RESULTVALUE"))
    elif kind == "empty-filename":
        answer.find("FILENAME").text = ""
    elif kind == "package-without-file":
        name = fault.get("name", "readme.txt")
        files = [] if fault.get("empty") else [(name, b"nothing here")]
        answer.find("ATTESTRESULT").text = base64.b64encode(zip_bytes(files)).decode("ascii")
    elif kind == "not-zip":
        answer.find("ATTESTRESULT").text = base64.b64encode(b"this is no archive").decode("ascii")
    elif kind == "empty-data":
        answer.find("ATTESTRESULT").text = ""
    elif kind in PIECE_FAULTS and answer.find("FILECONTENT") is None:
        pass  # a refused piece request stays as it is
    elif kind == "piece-offset":  # an upgrade piece from one byte further on than asked
        for tag in ("STARTPOS", "ENDPOS"):
            answer.find(tag).text = str(int(answer.find(tag).text) + 1)
    elif kind == "piece-short":  # an upgrade piece one byte shorter than its positions say
        content = answer.find("FILECONTENT")
        content.text = base64.b64encode(base64.b64decode(content.text)[:-1]).decode("ascii")
    body = answer.encode()
    if kind == "malformed":
        body = body[:len(body) // 2] + b"<<&"
    return body


PACKAGE_FAULTS = ("empty-filename", "package-without-file", "not-zip", "empty-data")
PIECE_FAULTS = ("piece-offset", "piece-short")


# ---------------------------------------------------------------------------------------------------------------
# HTTP

class RecordingReader:
    """Wraps the request stream so the request line and header lines are kept exactly as they came."""

    def __init__(self, raw):
        self.raw = raw
        self.lines = []

    def readline(self, *args):
        line = self.raw.readline(*args)
        self.lines.append(line)
        return line

    def read(self, *args):
        return self.raw.read(*args)

    def __getattr__(self, name):
        return getattr(self.raw, name)


def wire_text(raw):
    try:
        return raw.decode(ANSI)
    except UnicodeDecodeError:
        return raw.decode("latin-1")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TaxPlatformEmulator/1"

    def log_message(self, *args):
        pass

    def setup(self):
        super().setup()
        self.rfile = RecordingReader(self.rfile)

    def wire_headers(self):
        """Request line and headers in wire order, duplicates kept; values decoded as CP936 when they can be."""
        lines = self.rfile.lines
        self.rfile.lines = []
        raw = [wire_text(x.rstrip(b"\r\n")) for x in lines]
        raw = [x for x in raw if x][1:]  # a blank line before a request line and the request line itself
        pairs = []
        for line in raw:
            name, _, value = line.partition(":")
            pairs.append([name, value.strip()])
        return raw, pairs

    def send_body(self, status, body, content_type="text/xml; charset=GBK"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def client_subject(self):
        if isinstance(self.connection, ssl.SSLSocket):
            cert = self.connection.getpeercert()
            for rdn in (cert or {}).get("subject", ()):
                for key, value in rdn:
                    if key == "commonName":
                        return value
        return ""

    def handle_any(self):
        server = self.server
        raw, headers = self.wire_headers()
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            length = -1
        if length < 0:
            self.close_connection = True
            return self.send_body(400, b"bad Content-Length", "text/plain")
        body = self.rfile.read(length) if length else b""
        path = self.path.split("?", 1)[0]
        if path == "/__control":
            return self.control(body)
        package = server.platform.served_package(path) if self.command == "GET" else None
        if package is not None:
            return self.send_package(package, raw, headers)

        entry = {"time": time.strftime("%Y-%m-%d %H:%M:%S"), "method": self.command, "path": self.path,
                 "name": "", "headers": headers, "raw": raw, "body": wire_text(body)}
        if body.startswith(b"FILEDATA="):
            try:
                data = base64.b64decode(body[9:], validate=True)
                entry["filedata"] = {"length": len(data), "entries": describe_package(data)}
            except (ValueError, zipfile.BadZipFile) as e:
                entry["filedata"] = {"error": str(e)}
        status, answer_body, fault_kind = self.answer(path, headers, body, entry)
        entry["answer"] = {"status": status, "fault": fault_kind,
                           "body": wire_text(answer_body) if answer_body is not None else None}
        server.write_log(entry)
        if answer_body is None:  # dropped
            self.close_connection = True
            try:
                self.connection.shutdown(2)
            except OSError:
                pass
            return
        ctype = "text/plain; charset=GBK" if status != 200 else "text/xml; charset=GBK"
        self.send_body(status, answer_body, ctype)

    def answer(self, path, headers, body, entry):
        """(status, body or None to drop the connection, fault kind)."""
        server = self.server
        platform = server.platform
        allowed = server.allowed_subjects
        if allowed and self.client_subject() not in allowed:
            return 403, "客户端证书不被接受".encode(ANSI), None
        prefix = server.subdomain or platform.conf.get("subdomain", "")
        prefix = prefix.rstrip("/")
        if prefix and not prefix.startswith("/"):
            prefix = "/" + prefix
        if not path.startswith(prefix + "/"):
            return 404, b"not found", None
        name = path[len(prefix) + 1:]
        entry["name"] = name
        op = OPERATIONS.get(name.lower())
        if op is None:
            return 404, b"not found", None
        method, notice_identity, run = op
        if self.command != method:
            return 405, b"method not allowed", None

        fault = platform.take_fault(name, headers, lambda f: f["kind"] not in PACKAGE_FAULTS)
        kind = fault["kind"] if fault else None
        if kind == "slow":
            time.sleep(float(fault.get("seconds", 2)))
        elif kind in ("http", "http500"):
            return int(fault.get("status", 500)), b"server fault", kind
        elif kind == "drop":
            return 0, None, kind
        elif kind == "refuse":
            return 200, refusal(fault.get("message", "服务器拒绝了请求！"), str(fault.get("value", "1"))).encode(), kind

        answer = platform.check_identity(name, headers, notice_identity)
        if answer is None:
            answer = run(platform, headers, body)
        if answer.package is not None:
            pfault = platform.take_fault(name, headers, lambda f: f["kind"] in PACKAGE_FAULTS)
            if pfault:
                return 200, apply_fault(pfault, answer), pfault["kind"]
        if kind in ("lowercase", "missing-node", "malformed") + PIECE_FAULTS:
            return 200, apply_fault(fault, answer), kind
        return 200, answer.encode(), kind

    def send_package(self, data, raw, headers):
        """The upgrade package at its download address; "Range: bytes=a-b" is answered 206 unless "ranges" is
        false. Logged like a platform request, with the range asked for and the status."""
        conf = self.server.platform.conf.get("upgrade") or {}
        asked = self.headers.get("Range", "")
        status, start, end = 200, 0, len(data) - 1
        if asked.startswith("bytes=") and conf.get("ranges", True):
            first, _, last = asked[6:].partition("-")
            try:
                start = int(first)
                end = min(int(last), len(data) - 1) if last else len(data) - 1
                status = 206 if start <= end else 416
            except ValueError:
                status = 416
        self.server.write_log({"time": time.strftime("%Y-%m-%d %H:%M:%S"), "method": "GET", "path": self.path,
                               "name": "", "headers": headers, "raw": raw, "body": "",
                               "answer": {"status": status, "fault": None, "body": None}})
        if status == 416:
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % len(data))
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        body = data[start:end + 1]
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, len(data)))
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def control(self, body):
        """Test-only switches: {"faults": [...]}, {"set": {...}}, {"reset": true}, {"reload": true}."""
        platform = self.server.platform
        try:
            request = json.loads(body.decode("utf-8") or "{}")
            if request.get("reload"):
                platform.load(load_scenario(self.server.scenario_path))
            if request.get("reset"):
                platform.reset_counters()
            if "faults" in request:
                platform.set({"faults": request["faults"]})
            if "set" in request:
                platform.set(request["set"])
            state = {"password": platform.password, "faults": platform.faults,
                     "serials": sorted(platform.known_slxh)}
            self.send_body(200, json.dumps(state, ensure_ascii=False).encode("utf-8"), "application/json")
        except (ValueError, OSError) as e:
            self.send_body(400, str(e).encode("utf-8"), "text/plain")

    do_GET = do_POST = do_PUT = handle_any


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, platform, log_path=None, tls=None, allowed_subjects=(), subdomain="",
                 scenario_path=None):
        super().__init__(address, Handler)
        self.platform = platform
        self.log_path = log_path
        self.log_lock = threading.Lock()
        self.tls = tls
        self.allowed_subjects = set(allowed_subjects)
        self.subdomain = subdomain
        self.scenario_path = scenario_path

    def write_log(self, entry):
        if not self.log_path:
            return
        line = json.dumps(entry, ensure_ascii=False) + "\n"
        with self.log_lock, open(self.log_path, "a", encoding="utf-8") as f:
            f.write(line)

    def finish_request(self, request, client_address):
        # The handshake runs in the request's thread, so a client that never speaks TLS holds up only itself.
        if self.tls is not None:
            try:
                request = self.tls.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                return
        try:
            super().finish_request(request, client_address)
        except (ssl.SSLError, OSError):
            pass


def load_scenario(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def bind(host, port, factory):
    if port:
        return factory((host, port))
    # Server addresses allow at most four port digits, so the port comes from below 10000.
    for candidate in random.sample(range(2000, 10000), 300):
        try:
            return factory((host, candidate))
        except OSError:
            continue
    sys.exit("no free port between 2000 and 9999")


def main(argv=None):
    p = argparse.ArgumentParser(description="Tax platform emulator")
    here = os.path.dirname(os.path.abspath(__file__))
    p.add_argument("--scenario", default=os.path.join(here, "..", "scenarios", "default.json"))
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0, help="0: a free port between 2000 and 9999")
    p.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    p.add_argument("--client-ca", help="demand a client certificate verified against this file")
    p.add_argument("--allowed-subject", action="append", default=[],
                   help="common name of an accepted client certificate (repeatable); others get 403")
    p.add_argument("--subdomain", default="", help="path prefix (overrides the scenario's)")
    p.add_argument("--log", help="request log, one JSON line per request (appended)")
    p.add_argument("--port-file", help="write the chosen port to this file")
    p.add_argument("--max-seconds", type=float, default=900)
    a = p.parse_args(argv)

    if a.host not in ("127.0.0.1", "localhost", "::1"):
        sys.exit("the emulator listens on loopback only")
    if a.port and not 2000 <= a.port <= 9999:
        sys.exit("the port must lie between 2000 and 9999")
    platform = Platform(load_scenario(a.scenario), os.path.dirname(os.path.abspath(a.scenario)))
    tls = None
    if a.tls:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(a.tls[0], a.tls[1])
        if a.client_ca:
            tls.verify_mode = ssl.CERT_REQUIRED
            tls.load_verify_locations(a.client_ca)
    server = bind(a.host, a.port, lambda addr: Server(addr, platform, a.log, tls, a.allowed_subject,
                                                      a.subdomain, a.scenario))
    port = server.server_address[1]
    platform.host, platform.port = a.host, port

    def stop(*_):
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    timer = threading.Timer(a.max_seconds, stop)
    timer.daemon = True
    timer.start()
    if a.port_file:
        tmp = a.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % port)
        os.replace(tmp, a.port_file)
    print("PORT", port, flush=True)
    try:
        server.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
