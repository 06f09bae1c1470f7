"""Self-tests of the tax platform emulator: run with `python3 -m unittest discover -s tools/platform-emulator/tests`."""
import base64
import hashlib
import http.client
import io
import json
import os
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", "..", ".."))
EMULATOR = os.path.join(HERE, "..", "emulator.py")
sys.path.insert(0, os.path.dirname(EMULATOR))
import emulator  # noqa: E402

TAXPAYER = "370101000000001"
PASSWORD = "12345678"


def scenario(**platform):
    base = {
        "password": PASSWORD,
        "initialPassword": "88888888",
        "steps": {
            "BS201": {"retries": ["0", "1"], "script": {"rows": [
                {"CMDRequest": "00 B0 95 00 20", "ExecStatusC": "0", "ExecStatusS": "0", "ErrorCMD": "{ID}"},
                {"CMDRequest": "00 84 00 00 08", "ExecStatusC": "-1", "ExecStatusS": "0",
                 "CMDResponse": "{TAXPAYER}"}]}},
            "BS202": {"retries": 0, "error": {"code": 12, "info": "数据不完整"}},
            "QK201": {"retries": 0, "error": {"code": 4, "info": "#4 尚未申报"}},
        },
        "clearCardInfo": {"retries": 1, "lines": ["a", "b", "c", "d", "N", "f", "g", "TRUE"]},
        "result": {"retries": 0, "kinds": [{"id": "1", "QCKC": 10, "BQKJ": 7}, {"id": "2", "ZCFPJE": 900.5}]},
        "bdjg": [2, 2, 1],
        "status": {"busy": [1, 0], "waitTime": 5},
        "softUpdFlag": 1,
        "notices": [
            {"id": "A", "title": "通知甲", "content": "内容一", "pubdate": "2024-01-05", "expiredate": "2099-12-31"},
            {"id": "B", "title": "", "content": "内容二", "pubdate": "20240201", "expiredate": "209912"},
            {"id": "OLD", "title": "过期通知", "content": "内容三", "pubdate": "20200101", "expiredate": "20201231"}],
        "inform": {"status": 3, "error": "受理服务暂停"},
        "notice": {"secret": "abcdefghijklmno"},
        "upgrade": {"version": "2.0", "index": "17", "url": "http://127.0.0.1:8080/up/pack.zip",
                    "files": {"QelUpgrade.exe": "x" * 50000}},
        "faults": [],
    }
    base.update(platform)
    return {"taxpayer": TAXPAYER, "card": {"number": "12345678901234"},
            "disk": {"number": "661234567890", "type": "D3 D4"}, "platform": base}


class Emulator:
    """One emulator process on a loopback port, with its scenario and request log in a temporary folder."""

    def __init__(self, scen, *args, folder=None):
        self.folder = folder or tempfile.mkdtemp(prefix="emu-")
        self.scenario_path = os.path.join(self.folder, "scenario.json")
        with open(self.scenario_path, "w", encoding="utf-8") as f:
            json.dump(scen, f, ensure_ascii=False)
        self.log = os.path.join(self.folder, "requests.jsonl")
        port_file = os.path.join(self.folder, "port")
        self.proc = subprocess.Popen([sys.executable, EMULATOR, "--scenario", self.scenario_path, "--log", self.log,
                                      "--port-file", port_file] + list(args), stdout=subprocess.DEVNULL)
        deadline = time.time() + 20
        while not os.path.exists(port_file):
            if self.proc.poll() is not None or time.time() > deadline:
                raise RuntimeError("emulator did not start")
            time.sleep(0.05)
        with open(port_file) as f:
            self.port = int(f.read())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(10)
        shutil.rmtree(self.folder, ignore_errors=True)

    def log_lines(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log, encoding="utf-8") as f:
            return [json.loads(x) for x in f]


def common_headers(password=PASSWORD, nsrsbh=TAXPAYER, dept=""):
    return [("Content-Type", "application/x-www-form-urlencoded"), ("DELFLAG", "1"), ("CFLAG", "1"),
            ("NSRSBH", nsrsbh), ("PASSWORD", password), ("SWJGDM", dept or "NULL"), ("SOFT_VER", "1.0.0"),
            ("VERSION", "1.0.0"), ("OS_VER", "6.1"), ("SWJGDM", dept or "NULL")]


def send(port, name, extra=(), body=None, method="POST", headers=None, prefix="", conn=None, timeout=15):
    """(status, body bytes) of one request with the given headers in this order."""
    c = conn or http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    c.putrequest(method, prefix + "/" + name, skip_host=True, skip_accept_encoding=True)
    c.putheader("Host", "127.0.0.1:%d" % port)
    for k, v in (common_headers() if headers is None else headers) + list(extra):
        c.putheader(k, v)
    if body is not None:
        c.putheader("Content-Length", str(len(body)))
    c.endheaders(body)
    try:
        r = c.getresponse()
        return r.status, r.read()
    finally:
        c.close()


def parse(body):
    text = body.decode("cp936")
    text = text[text.index("?>") + 2:] if text.startswith("<?xml") else text
    root = ET.fromstring(text)
    return root


def data_of(body):
    root = parse(body)
    result = root.find("RESPONSE/RESULT")
    return result.findtext("RESULTVALUE"), result.findtext("RESULTMESSAGE"), root.find("RESPONSE/DATA")


def package_of(data):
    raw = base64.b64decode(data.findtext("ATTESTRESULT"))
    z = zipfile.ZipFile(io.BytesIO(raw))
    return {n: z.read(n) for n in z.namelist()}


def upload_package(card_rows=()):
    table = emulator.write_table(list(emulator.CARD_COLUMNS), list(card_rows))
    return emulator.zip_bytes([("KDR_Card_%sABC.vtd" % TAXPAYER, table), ("KDR_Disk_201_%sABC.vtd" % TAXPAYER,
                                                                           emulator.write_table(["CMDRequest"], []))])


def upload(port, step, slxh="", data=None, length=None, filename="KDR370101000000001ABC.dat", headers=None):
    data = upload_package() if data is None else data
    extra = [("LENGTH", str(len(data) if length is None else length)), ("FILENAME", filename or "NULL"),
             ("ICCODE", "NULL"), ("EXTCODE", "NULL"), ("EXTNUM", "0"), ("STEPID", step), ("SLXH", slxh or "NULL")]
    return send(port, "UploadData.do", extra, b"FILEDATA=" + base64.b64encode(data), headers=headers)


class TableStreamTests(unittest.TestCase):
    def test_layout_of_one_text_column(self):
        data = emulator.write_table([{"name": "ID", "type": 1, "size": 20, "attr": 7}], [{"ID": "中"}, {"ID": None}])
        expected = (struct.pack("<HH", 3, 1) + struct.pack("<H", 2) + b"ID" + struct.pack("<HHI", 1, 20, 7)
                    + struct.pack("<H", 0) + struct.pack("<I", 2)
                    + struct.pack("<I", 2) + "中".encode("cp936") + struct.pack("<I", 0))
        self.assertEqual(expected, data)

    def test_zero_columns_end_with_one_zero_word(self):
        data = emulator.write_table([], [])
        self.assertEqual(struct.pack("<HHHI", 3, 0, 0, 0), data)
        self.assertEqual(([], []), emulator.read_table(data))

    def test_round_trip_and_damaged_streams(self):
        rows = [{"CMDRequest": "00 84 00 00 08", "CMDResponse": "", "ExecStatusC": "0", "ExecStatusS": "0",
                 "ErrorCMD": "{ID}"}, {"CMDRequest": "说明", "CMDResponse": "9000", "ExecStatusC": "15",
                                      "ExecStatusS": "", "ErrorCMD": ""}]
        data = emulator.write_table(list(emulator.CARD_COLUMNS), rows)
        columns, back = emulator.read_table(data)
        self.assertEqual(list(emulator.CARD_COLUMNS), [c["name"] for c in columns])
        self.assertEqual(rows, back)
        for bad in (data[:-1], data + b"\0", b"\x02\x00" + data[2:]):
            with self.assertRaises(ValueError):
                emulator.read_table(bad)


class DefaultScenarioTests(unittest.TestCase):
    def test_every_step_of_the_default_scenario_returns_a_readable_card_script(self):
        path = os.path.join(ROOT, "tools", "scenarios", "default.json")
        platform = emulator.Platform(emulator.load_scenario(path))
        self.assertEqual(TAXPAYER, platform.taxpayer)
        slxh = platform.new_serial()
        for step in emulator.STEPS:
            if step == "BS203":
                continue
            answer = None
            for _ in range(5):
                answer = platform.op_download([("SLXH", slxh), ("STEPID", step)])
                if answer.find("STATE").text == "2":
                    break
            with self.subTest(step):
                archive = zipfile.ZipFile(io.BytesIO(answer.package[1]))
                (entry,) = archive.namelist()
                table = archive.read(entry)
                self.assertIn("KDR_Card_", entry)
                self.assertTrue(emulator.read_table(table)[1])


class ProtocolTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.emu = Emulator(scenario())
        cls.port = cls.emu.port

    @classmethod
    def tearDownClass(cls):
        cls.emu.stop()

    def setUp(self):
        self.control({"reload": True})

    def control(self, request):
        status, body = send(self.port, "__control", body=json.dumps(request).encode(), headers=[])
        self.assertEqual(200, status, body)
        return json.loads(body)

    def poll(self, slxh, step):
        return data_of(send(self.port, "DownloadData.do", [("SLXH", slxh), ("STEPID", step)])[1])

    def test_declaration_step_retries_then_returns_the_next_card_script(self):
        value, _, data = data_of(upload(self.port, "BS201")[1])
        self.assertEqual("0", value)
        slxh = data.findtext("SLXH")
        self.assertTrue(slxh)
        self.assertEqual("0", data.findtext("UPGRADE"))
        states = [self.poll(slxh, "BS201")[2].findtext("STATE") for _ in range(2)]
        self.assertEqual(["0", "1"], states)
        value, _, data = self.poll(slxh, "BS201")
        self.assertEqual(("0", "2", "0"), (value, data.findtext("STATE"), data.findtext("ERRCODE")))
        self.assertTrue(data.findtext("FILENAME"))
        files = package_of(data)
        self.assertEqual(1, len(files))
        name = next(iter(files))
        self.assertIn("KDR_Card_", name)
        columns, rows = emulator.read_table(files[name])
        self.assertEqual(list(emulator.CARD_COLUMNS), [c["name"] for c in columns])
        self.assertEqual(["0", "-1"], [r["ExecStatusC"] for r in rows])
        self.assertEqual("{ID}", rows[0]["ErrorCMD"])
        self.assertEqual(TAXPAYER, rows[1]["CMDResponse"])
        # The serial number stays the same for the later steps; a new upload of a step starts its retries again.
        self.assertEqual(slxh, data_of(upload(self.port, "BS201", slxh)[1])[2].findtext("SLXH"))
        self.assertEqual("0", self.poll(slxh, "BS201")[2].findtext("STATE"))

    def test_unknown_serial_numbers(self):
        value, message, _ = data_of(upload(self.port, "BS202", "SL-NOT-GIVEN")[1])
        self.assertEqual("1", value)
        self.assertTrue(message)
        self.assertEqual("9", self.poll("SL-NOT-GIVEN", "BS201")[2].findtext("STATE"))
        self.assertEqual("9", data_of(send(self.port, "DownloadBSData.do", [("SLXH", "SL-NOT-GIVEN")])[1])[2]
                         .findtext("STATE"))
        # A client in debug mode polls with its own number and gets the step's answer.
        self.assertEqual("2", self.poll("DEBUG_AcceptID_QK201", "QK201")[2].findtext("STATE"))

    def test_error_answers_carry_code_and_text(self):
        slxh = data_of(upload(self.port, "BS201")[1])[2].findtext("SLXH")
        upload(self.port, "BS202", slxh)
        upload(self.port, "QK201", slxh)
        for step, code, info in (("BS202", "12", "数据不完整"), ("QK201", "4", "#4 尚未申报")):
            _, _, data = self.poll(slxh, step)
            self.assertEqual(("2", code, info), (data.findtext("STATE"), data.findtext("ERRCODE"),
                                                  data.findtext("ERRINFO")))

    def test_uploads_that_do_not_fit_are_refused(self):
        data = upload_package()
        cases = [
            ("length differs", "BS201", dict(length=len(data) + 1)),
            ("empty file name", "BS201", dict(filename="")),
            ("not an archive", "BS201", dict(data=b"plain text")),
            ("unknown step", "XX999", {}),
        ]
        for label, step, kw in cases:
            with self.subTest(label):
                value, message, _ = data_of(upload(self.port, step, **kw)[1])
                self.assertEqual("1", value)
                self.assertTrue(message)

    def test_password_check_and_change(self):
        value, message, _ = data_of(send(self.port, "status.do", headers=common_headers("wrong"))[1])
        self.assertEqual(("1", "网络抄报密码错误！"), (value, message))
        value, _, _ = data_of(send(self.port, "status.do", headers=common_headers(nsrsbh="999"))[1])
        self.assertEqual("1", value)
        refused = send(self.port, "ChangePwd.do", [("NEWPASSWORD", "n1")], headers=common_headers("bad"))
        self.assertEqual("1", data_of(refused[1])[0])
        changed = send(self.port, "ChangePwd.do", [("NEWPASSWORD", "n1")], headers=common_headers(PASSWORD))
        self.assertEqual("0", data_of(changed[1])[0])
        self.assertEqual("1", data_of(send(self.port, "status.do")[1])[0])
        self.assertEqual("0", data_of(send(self.port, "status.do", headers=common_headers("n1"))[1])[0])

    def test_tax_department_code_when_the_scenario_names_one(self):
        self.control({"set": {"taxDeptCode": "13701000000"}})
        self.assertEqual("1", data_of(send(self.port, "status.do")[1])[0])
        ok = send(self.port, "status.do", headers=common_headers(dept="13701000000"))
        self.assertEqual("0", data_of(ok[1])[0])

    def test_log_shows_the_wire_form_of_an_upload(self):
        data = upload_package([{"CMDRequest": "00 84 00 00 08", "ExecStatusC": "1", "CMDResponse": "AABB"}])
        upload(self.port, "BS201", data=data)
        line = [x for x in self.emu.log_lines() if x["name"] == "UploadData.do"][-1]
        names = [h[0] for h in line["headers"]]
        self.assertEqual(["Host", "Content-Type", "DELFLAG", "CFLAG", "NSRSBH", "PASSWORD", "SWJGDM", "SOFT_VER",
                          "VERSION", "OS_VER", "SWJGDM", "LENGTH", "FILENAME", "ICCODE", "EXTCODE", "EXTNUM",
                          "STEPID", "SLXH", "Content-Length"], names)
        values = dict(line["headers"])
        self.assertEqual(str(len(data)), values["LENGTH"])
        self.assertEqual("KDR370101000000001ABC.dat", values["FILENAME"])
        self.assertEqual([["SWJGDM", "NULL"], ["SWJGDM", "NULL"]], [h for h in line["headers"] if h[0] == "SWJGDM"])
        self.assertIn("NSRSBH: " + TAXPAYER, line["raw"])
        self.assertEqual("FILEDATA=" + base64.b64encode(data).decode(), line["body"])
        self.assertEqual("POST", line["method"])
        self.assertEqual("/UploadData.do", line["path"])
        entries = line["filedata"]["entries"]
        self.assertEqual(["KDR_Card_%sABC.vtd" % TAXPAYER, "KDR_Disk_201_%sABC.vtd" % TAXPAYER],
                         [e["name"] for e in entries])
        self.assertEqual("AABB", entries[0]["table"]["rows"][0]["CMDResponse"])
        self.assertEqual(200, line["answer"]["status"])
        self.assertIn("<SLXH>", line["answer"]["body"])

    def test_raw_header_lines_keep_the_missing_blank(self):
        send(self.port, "UpdateSoft.do", [("SLTYPE", "Z")], method="GET",
             headers=[("NSRSBH", TAXPAYER), ("PASSWORD", PASSWORD), ("VERSION", "1.0")])
        c = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        c.sendall(("GET /UpdateSoft.do HTTP/1.1\r\nHost: x\r\nNSRSBH: %s\r\nPASSWORD: %s\r\nVERSION: 2.0\r\n"
                   "StartPos:0\r\nEndPos:20479\r\nUpgradeIndex:17\r\nFileType:0\r\n\r\n" % (TAXPAYER, PASSWORD))
                  .encode())
        answer = b""
        while b"</SERVICE>" not in answer:
            chunk = c.recv(65536)
            if not chunk:
                break
            answer += chunk
        c.close()
        line = self.emu.log_lines()[-1]
        self.assertEqual(["StartPos:0", "EndPos:20479", "UpgradeIndex:17", "FileType:0"], line["raw"][-4:])
        self.assertEqual(["StartPos", "0"], line["headers"][-4])

    def test_clear_card_info_result_document_comparison_and_status(self):
        ask = lambda: data_of(send(self.port, "getLastClearICInfo.do", [("STEPID", "BS203")])[1])[2]
        self.assertEqual("0", ask().findtext("STATE"))
        data = ask()
        self.assertEqual("2", data.findtext("STATE"))
        files = package_of(data)
        (name, content), = files.items()
        self.assertIn("_KDR", name)
        lines = content.decode("cp936").split("\r\n")
        self.assertEqual(("N", "TRUE"), (lines[4], lines[7]))

        slxh = data_of(upload(self.port, "BS203")[1])[2].findtext("SLXH")
        data = data_of(send(self.port, "DownloadBSData.do", [("SLXH", slxh)])[1])[2]
        (name, doc), = package_of(data).items()
        entries = list(parse(doc))
        self.assertEqual(["1", "2"], [e.get("id") for e in entries])
        self.assertEqual(list(emulator.RESULT_FIGURES), [c.tag for c in entries[0]])
        self.assertEqual(("10", "7", "0"), (entries[0].findtext("QCKC"), entries[0].findtext("BQKJ"),
                                             entries[0].findtext("BQTH")))
        self.assertEqual("900.5", entries[1].findtext("ZCFPJE"))

        verdicts = [data_of(send(self.port, "GetBDJG.do", [("SLXH", slxh)])[1])[2].findtext("BDJG")
                    for _ in range(4)]
        self.assertEqual(["2", "2", "1", "1"], verdicts)
        status = [data_of(send(self.port, "status.do")[1])[2] for _ in range(3)]
        self.assertEqual([("1", "5"), ("0", "5"), ("0", "5")],
                         [(d.findtext("Status"), d.findtext("WaitTime")) for d in status])

    def test_notices_are_filtered_by_the_identifiers_sent(self):
        def notices(ids, name="DownloadNotice.do", headers=None):
            root = parse(send(self.port, name, [("NOTICEIDS", ids)], headers=headers)[1])
            self.assertEqual("1", root.findtext("RESPONSE/RESULT/SOFTUPDFLAG"))
            return list(root.find("RESPONSE/DATA"))

        all_notices = notices("NULL")
        # The expired notice is no longer published.
        self.assertEqual(["A", "B"], [n.get("ID") for n in all_notices])
        self.assertEqual(("通知甲", "2024-01-05", "2099-12-31"),
                         (all_notices[0].get("ITITLE"), all_notices[0].get("PUBDATE"),
                          all_notices[0].get("EXPIREDATE")))
        self.assertEqual("内容一", base64.b64decode(all_notices[0].text).decode("cp936"))
        self.assertEqual(["B"], [n.get("ID") for n in notices("A")])
        self.assertEqual([], notices("A,B"))
        identity = common_headers(hashlib.md5(b"abcdefghijklmno").hexdigest().upper(), "lumbrane")
        self.assertEqual(["A"], [n.get("ID") for n in notices("B", "DownloadNotice0.do", identity)])
        self.assertEqual("1", data_of(send(self.port, "DownloadNotice0.do", [("NOTICEIDS", "NULL")])[1])[0])
        _, _, data = data_of(send(self.port, "inform0.do", headers=identity)[1])
        self.assertEqual(("3", "受理服务暂停"), (data.findtext("SLSERVER/STATUS"), data.findtext("SLSERVER/ERROR")))

    def test_upgrade_information_and_pieces(self):
        upgrade_headers = [("Content-Type", "application/x-www-form-urlencoded"), ("DELFLAG", "1"), ("CFLAG", "1"),
                           ("NSRSBH", TAXPAYER), ("PASSWORD", PASSWORD), ("VERSION", "1.0.0")]

        def ask(extra):
            return data_of(send(self.port, "UpdateSoft.do", extra, method="GET", headers=upgrade_headers)[1])

        value, _, info = ask([("SLTYPE", "Z"), ("DOWNREQUEST", "TRUE")])
        self.assertEqual(("0", "0", "2.0", "17"), (value, info.findtext("STATE"), info.findtext("VERSION"),
                                                   info.findtext("UPGRADEINDEX")))
        self.assertEqual("http://127.0.0.1:8080/up/pack.zip", base64.b64decode(info.findtext("URL")).decode())
        length = int(info.findtext("FILELENGTH"))
        package = b""
        while len(package) < length:
            start = len(package)
            value, _, piece = ask([("StartPos", str(start)), ("EndPos", str(start + 20479)), ("UpgradeIndex", "17"),
                                   ("FileType", "0")])
            self.assertEqual("0", value)
            self.assertEqual(str(start), piece.findtext("STARTPOS"))
            package += base64.b64decode(piece.findtext("FILECONTENT"))
            self.assertEqual(len(package) - 1, int(piece.findtext("ENDPOS")))
        self.assertEqual(length, len(package))
        self.assertEqual(info.findtext("FILEMD5"), hashlib.md5(package).hexdigest().upper())
        self.assertEqual(["QelUpgrade.exe"], zipfile.ZipFile(io.BytesIO(package)).namelist())
        self.assertEqual("1", ask([("StartPos", "0"), ("EndPos", "20479"), ("UpgradeIndex", "99")])[0])
        self.assertEqual(405, send(self.port, "UpdateSoft.do", [("SLTYPE", "Z")], b"", headers=upgrade_headers)[0])
        with open(os.path.join(self.emu.folder, "pack.zip"), "wb") as f:
            f.write(b"PK-from-file")
        self.control({"set": {"upgrade": {"version": "3.0", "file": "pack.zip", "md5": "abc"}}})
        _, _, info = ask([("SLTYPE", "Z"), ("DOWNREQUEST", "TRUE")])
        self.assertEqual(("12", "abc", None), (info.findtext("FILELENGTH"), info.findtext("FILEMD5"),
                                               info.find("URL")))
        self.assertEqual(b"PK-from-file", base64.b64decode(
            ask([("StartPos", "0"), ("EndPos", "20479"), ("UpgradeIndex", "1")])[2].findtext("FILECONTENT")))
        self.control({"set": {"upgrade": {"version": "1.0.0"}}})
        self.assertEqual("1", ask([("SLTYPE", "Z"), ("DOWNREQUEST", "TRUE")])[2].findtext("STATE"))

    def test_upgrade_piece_faults_and_a_stable_package(self):
        upgrade_headers = [("NSRSBH", TAXPAYER), ("PASSWORD", PASSWORD), ("VERSION", "1.0.0")]

        def piece(start):
            status, body = send(self.port, "UpdateSoft.do", [("StartPos", str(start)), ("EndPos", str(start + 20479)),
                                                             ("UpgradeIndex", "17"), ("FileType", "0")],
                                method="GET", headers=upgrade_headers)
            data = data_of(body)[2]
            return (int(data.findtext("STARTPOS")), int(data.findtext("ENDPOS")),
                    base64.b64decode(data.findtext("FILECONTENT")))

        def info():
            return data_of(send(self.port, "UpdateSoft.do", [("SLTYPE", "Z"), ("DOWNREQUEST", "TRUE")], method="GET",
                                headers=upgrade_headers)[1])[2]

        noise = "".join(hashlib.sha256(str(i).encode()).hexdigest() for i in range(1500))  # over two pieces zipped
        self.control({"set": {"upgrade": {"version": "2.0", "index": "17", "executable": ["QelUpgrade"],
                                          "files": {"QelUpgrade": "#!/bin/sh\n", "data.bin": noise}}}})
        # The package is the same in every answer, also after the clock moved on a second.
        first = info().findtext("FILEMD5")
        time.sleep(1.1)
        self.assertEqual(first, info().findtext("FILEMD5"))

        # Dropped after two pieces: the information request does not count, the fault is used once.
        self.control({"faults": [{"kind": "drop", "operation": "UpdateSoft.do", "pieces": True, "skip": 2,
                                  "times": 1}]})
        self.assertEqual("0", info().findtext("STATE"))
        package = piece(0)[2] + piece(20480)[2]
        with self.assertRaises((http.client.HTTPException, OSError)):
            piece(40960)
        _, end, rest = piece(40960)
        package += rest
        self.assertEqual(len(package) - 1, end)
        archive = zipfile.ZipFile(io.BytesIO(package))
        self.assertEqual(0o100755, archive.getinfo("QelUpgrade").external_attr >> 16)
        self.assertEqual(0o100644, archive.getinfo("data.bin").external_attr >> 16)
        self.assertEqual(first, hashlib.md5(package).hexdigest().upper())
        self.assertEqual(["drop"], [x["answer"]["fault"] for x in self.emu.log_lines()
                                    if x["name"] == "UpdateSoft.do" and x["answer"]["fault"]])

        # Pieces that do not fit what was asked; the information request leaves these faults alone.
        whole = piece(0)
        for kind, expected in [("piece-offset", (1, whole[1] + 1, whole[2])),
                               ("piece-short", (0, whole[1], whole[2][:-1]))]:
            with self.subTest(kind):
                self.control({"faults": [{"kind": kind, "operation": "UpdateSoft.do", "times": 1}]})
                self.assertEqual("0", info().findtext("STATE"))
                self.assertEqual(expected, piece(0))
                self.assertEqual(whole, piece(0))

    def test_upgrade_package_served_at_its_own_address(self):
        self.control({"set": {"upgrade": {"version": "2.0", "index": "4", "url": "/files/Pack.bin",
                                          "files": {"QelUpgrade": "u" * 500}}}})
        info = data_of(send(self.port, "UpdateSoft.do", [("SLTYPE", "Z")], method="GET",
                            headers=[("NSRSBH", TAXPAYER), ("PASSWORD", PASSWORD), ("VERSION", "1.0")])[1])[2]
        url = base64.b64decode(info.findtext("URL")).decode()
        self.assertEqual("http://127.0.0.1:%d/files/Pack.bin" % self.port, url)

        def get(extra):
            c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
            try:
                c.request("GET", "/files/Pack.bin", headers=dict(extra))
                r = c.getresponse()
                return r.status, r.getheader("Content-Range"), r.read()
            finally:
                c.close()

        status, _, whole = get({})
        self.assertEqual(200, status)
        self.assertEqual(info.findtext("FILEMD5"), hashlib.md5(whole).hexdigest().upper())
        self.assertEqual((206, "bytes 0-9/%d" % len(whole), whole[:10]), get({"Range": "bytes=0-9"}))
        self.assertEqual((206, "bytes 5-%d/%d" % (len(whole) - 1, len(whole)), whole[5:]),
                         get({"Range": "bytes=5-99999"}))
        self.assertEqual(416, get({"Range": "bytes=99999-"})[0])
        self.control({"set": {"upgrade": {"version": "2.0", "url": "/files/Pack.bin", "ranges": False,
                                          "files": {"QelUpgrade": "u" * 500}}}})
        self.assertEqual((200, None, whole), get({"Range": "bytes=0-9"}))
        self.assertEqual("bytes=0-9", dict(self.emu.log_lines()[-1]["headers"])["Range"])
        self.assertEqual(404, send(self.port, "files/Other.bin", method="GET")[0])

    def test_faults(self):
        logged = len(self.emu.log_lines())
        slxh = data_of(upload(self.port, "BS201")[1])[2].findtext("SLXH")
        poll = lambda: send(self.port, "DownloadData.do", [("SLXH", slxh), ("STEPID", "BS201")])

        def malformed(status, body):
            self.assertEqual(200, status)
            with self.assertRaises(ET.ParseError):
                parse(body)

        def lowercase(status, body):
            root = parse(body)
            self.assertEqual("0", root.findtext("response/result/resultvalue"))
            self.assertIsNone(root.find("RESPONSE"))

        def missing(status, body):
            self.assertIsNone(parse(body).find("RESPONSE/RESULT/RESULTVALUE"))

        def refused(status, body):
            self.assertEqual(("1", "停止服务"), data_of(body)[:2])

        cases = [
            ({"kind": "http500"}, lambda s, b: self.assertEqual(500, s)),
            ({"kind": "http", "status": 404}, lambda s, b: self.assertEqual(404, s)),
            ({"kind": "malformed"}, malformed),
            ({"kind": "lowercase"}, lowercase),
            ({"kind": "missing-node"}, missing),
            ({"kind": "refuse", "message": "停止服务"}, refused),
        ]
        for fault, check in cases:
            with self.subTest(fault["kind"]):
                self.control({"faults": [dict(fault, operation="DownloadData.do", times=1)]})
                check(*poll())
                status, body = poll()  # the fault was used up: a normal answer again
                self.assertEqual("0", data_of(body)[0])

        # Package faults wait for an answer that carries a package.
        for fault, check in [
            ({"kind": "empty-filename"}, lambda d: self.assertEqual("", d.findtext("FILENAME") or "")),
            ({"kind": "package-without-file"},
             lambda d: self.assertFalse([n for n in package_of(d) if "KDR_Card_" in n])),
            ({"kind": "package-without-file", "empty": True}, lambda d: self.assertEqual({}, package_of(d))),
            ({"kind": "not-zip"}, lambda d: self.assertRaises(zipfile.BadZipFile, package_of, d)),
            ({"kind": "empty-data"}, lambda d: self.assertEqual("", d.findtext("ATTESTRESULT") or "")),
        ]:
            with self.subTest(fault["kind"]):
                upload(self.port, "BS201", slxh)
                self.control({"faults": [dict(fault, operation="DownloadData.do", step="BS201")]})
                self.assertEqual(["0", "1"], [data_of(poll()[1])[2].findtext("STATE") for _ in range(2)])
                data = data_of(poll()[1])[2]
                self.assertEqual("2", data.findtext("STATE"))
                check(data)

        with self.subTest("slow"):
            self.control({"faults": [{"kind": "slow", "seconds": 1.2, "operation": "status.do"}]})
            started = time.time()
            self.assertEqual("0", data_of(send(self.port, "status.do")[1])[0])
            self.assertGreaterEqual(time.time() - started, 1.2)
        with self.subTest("drop"):
            self.control({"faults": [{"kind": "drop", "operation": "status.do", "skip": 1}]})
            self.assertEqual(200, send(self.port, "status.do")[0])
            with self.assertRaises((http.client.HTTPException, OSError)):
                send(self.port, "status.do")
        self.assertEqual(["http500", None], [x["answer"]["fault"] for x in self.emu.log_lines()[logged:]
                                             if x["name"] == "DownloadData.do"][:2])

    def test_sub_domain_prefix(self):
        self.control({"set": {"subdomain": "/qel/v1"}})
        self.assertEqual(404, send(self.port, "status.do")[0])
        status, body = send(self.port, "status.do", prefix="/qel/v1")
        self.assertEqual((200, "0"), (status, data_of(body)[0]))
        self.assertEqual("status.do", self.emu.log_lines()[-1]["name"])
        self.assertEqual("/qel/v1/status.do", self.emu.log_lines()[-1]["path"])


class TlsTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs = tempfile.mkdtemp(prefix="emu-certs-")
        subprocess.run(["sh", os.path.join(ROOT, "tools", "testservers", "make-test-certs.sh"), cls.certs], check=True)
        c = lambda n: os.path.join(cls.certs, n)
        cls.emu = Emulator(scenario(), "--tls", c("server.pem"), c("server.key"), "--client-ca", c("both-ca.pem"),
                           "--allowed-subject", "Test Client", "--subdomain", "qel/")

    @classmethod
    def tearDownClass(cls):
        cls.emu.stop()
        shutil.rmtree(cls.certs, ignore_errors=True)

    def connect(self, client=None):
        ctx = ssl.create_default_context(cafile=os.path.join(self.certs, "ca.pem"))
        if client:
            ctx.load_cert_chain(os.path.join(self.certs, client + ".pem"), os.path.join(self.certs, client + ".key"))
        return http.client.HTTPSConnection("127.0.0.1", self.emu.port, context=ctx, timeout=10)

    def test_client_certificates(self):
        status, body = send(self.emu.port, "status.do", conn=self.connect("client"), prefix="/qel")
        self.assertEqual((200, "0"), (status, data_of(body)[0]))
        self.assertEqual(403, send(self.emu.port, "status.do", conn=self.connect("foreign-client"), prefix="/qel")[0])
        with self.assertRaises((ssl.SSLError, OSError, http.client.HTTPException)):
            send(self.emu.port, "status.do", conn=self.connect(), prefix="/qel")


class LifetimeTests(unittest.TestCase):
    def test_stops_after_max_seconds_and_on_sigterm(self):
        emu = Emulator(scenario(), "--max-seconds", "1")
        try:
            self.assertEqual(0, emu.proc.wait(15))
        finally:
            emu.stop()
        emu = Emulator(scenario())
        try:
            self.assertIsNone(emu.proc.poll())
            self.assertGreaterEqual(emu.port, 2000)
            self.assertLessEqual(emu.port, 9999)
            emu.proc.send_signal(signal.SIGTERM)
            self.assertEqual(0, emu.proc.wait(15))
        finally:
            emu.stop()

    def test_refuses_an_address_beyond_loopback(self):
        result = subprocess.run([sys.executable, EMULATOR, "--host", "0.0.0.0", "--max-seconds", "1"],
                                capture_output=True, text=True, timeout=30)
        self.assertNotEqual(0, result.returncode)
        self.assertIn("loopback", result.stderr)


if __name__ == "__main__":
    unittest.main()
