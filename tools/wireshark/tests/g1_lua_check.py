#!/usr/bin/env python3
"""The Wireshark dissector against `g1 listen`, for g1_lua_test.sh.

  g1_lua_check.py table DIR       holds the dissector's fields, as tshark lists them
                                  (DIR/tshark-fields.tsv), to the field table (DIR/fields.tsv,
                                  written by the g1_field_table program)
  g1_lua_check.py fields DIR      the fields tshark is to print, for the capture
  g1_lua_check.py send            sends the hand-made datagrams to 127.0.0.1 (only there)
  g1_lua_check.py compare DIR     compares tshark's fields (DIR/tshark.tsv) with what the
                                  listeners wrote (DIR/listen-PORT.csv and .err) per port
"""
import re
import socket
import sys
import time
from decimal import Decimal

G1_PORT = 50010
OTHER_PORT = 50011  # the dissector finds G1 here by its heuristic
LOOPBACK = "127.0.0.1"


def field_table(folder):
    """The field table as g1_field_table printed it: one dict per field, in datagram order."""
    with open(f"{folder}/fields.tsv") as f:
        lines = [line.rstrip("\r\n").split("\t") for line in f]
    return [dict(zip(lines[0], cells)) for cells in lines[1:]]


def tshark_fields(table):
    """What tshark prints per packet, in this order (one tab-separated line each)."""
    columns = [f["name"] for f in table]
    return (["ip.src", "udp.dstport", "udp.length", "frame.protocols", "g1.error", "g1.error.field",
             "g1.error.byte", "_ws.expert.severity"]
            + ["g1." + c for c in columns] + ["g1." + c + ".raw" for c in columns])


# What the dissector registers besides the datagram's fields.
NOT_FIELDS = {"g1.tag", "g1.error", "g1.error.field", "g1.error.byte", "g1.malformed"}


def table(folder):
    """Every field of the table, and no other, registered by the dissector under its name, with
    its title, its position and its scale."""
    fields = field_table(folder)
    registered = {}
    with open(f"{folder}/tshark-fields.tsv") as f:
        for line in f:
            cells = line.rstrip("\r\n").split("\t")
            if cells[0] == "F" and len(cells) >= 8 and cells[4] == "g1":
                registered[cells[2]] = (cells[1], cells[3], cells[7])
    expected = {}
    for f in fields:
        name, title, position = "g1." + f["name"], f["title"], f["position"]
        expected[name] = (title, "FT_DOUBLE",
                          f"Field {position}: the raw integer divided by {f['scale']}")
        expected[name + ".raw"] = (f"{title} (raw)", "FT_INT32", f"Field {position} as sent")
    shown = {k: v for k, v in registered.items() if k not in NOT_FIELDS}
    faults = [f"{k}: the table has {expected.get(k)}, the dissector {shown.get(k)}"
              for k in sorted(set(expected) | set(shown)) if expected.get(k) != shown.get(k)]
    for fault in faults:
        print("FAIL " + fault)
    if faults:
        return 1
    print(f"the dissector registers the table's {len(fields)} fields as it has them")
    return 0


def g1(*fields):
    return ("G1," + "".join(f + "," for f in fields)).encode()


def thirteen(*first):
    """The given fields, then 1s up to thirteen."""
    return list(first) + ["1"] * (13 - len(first))


MIN = "-2147483648"
MAX = "2147483647"
DATAGRAMS = [
    (G1_PORT, g1(*[MIN] * 13)),  # the longest well-formed one, 159 bytes
    (G1_PORT, g1(*[MAX] * 13)),
    (G1_PORT, g1(*["0"] * 13)),  # the shortest
    (G1_PORT, g1(*thirteen())[:-1]),  # the last comma missing
    (G1_PORT, g1(*thirteen("1", "2", "3", "07"))),
    (G1_PORT, g1(*thirteen("-012"))),
    (G1_PORT, g1(*thirteen("1", "-0"))),
    (G1_PORT, g1(*thirteen("2147483648"))),
    (G1_PORT, g1(*thirteen("1", "-2147483649"))),
    (G1_PORT, g1(*thirteen("1", "99999999999"))),
    (G1_PORT, g1(*thirteen("1", ""))),
    (G1_PORT, g1(*thirteen("1", "+2"))),
    (G1_PORT, g1(*thirteen("1", "2.5"))),
    (G1_PORT, g1(*thirteen("1", " 2"))),
    (G1_PORT, g1(*thirteen("-"))),
    (G1_PORT, g1(*thirteen())[:-2] + b"-"),  # field 13 is a lone minus at the end
    (G1_PORT, g1("1", "2", "3")),
    (G1_PORT, g1(*thirteen(), "14")),
    (G1_PORT, g1(*thirteen()) + b"\n"),
    (G1_PORT, g1(*thirteen("1", "2", "\xff")).replace(b"\xc3\xbf", b"\xff")),
    (G1_PORT, g1(*thirteen("1", "2", "3\x00"))),
    (G1_PORT, b"g1" + g1(*thirteen())[2:]),
    (G1_PORT, b""),
    (G1_PORT, g1(*["1"] * 78)),  # 159 bytes and one more
    (OTHER_PORT, g1("1500000", "0", "0", "0", "-12", "0", "3141", *["0"] * 6)),
    (OTHER_PORT, g1("1", "2")),
]


def send():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        for port, payload in DATAGRAMS:
            s.sendto(payload, (LOOPBACK, port))
            time.sleep(0.01)  # one at a time, in order, for every reader
    print(f"sent {len(DATAGRAMS)} hand-made datagrams to {LOOPBACK}")


MALFORMED = re.compile(r'^malformed datagram (\d+) \((\d+) bytes\): (.*\(byte \d+\)): "')
SUMMARY = re.compile(r"^g1 listen: (\d+) datagrams, (\d+) malformed")


def listen_sequence(folder, port, columns):
    """What g1 listen made of each datagram, in arrival order: a row of 13 texts or a reason."""
    with open(f"{folder}/listen-{port}.csv") as f:
        rows = [line.rstrip("\r\n").split(",") for line in f]
    assert rows and rows[0] == columns, f"port {port}: the CSV's columns are {rows[:1]}"
    rows = rows[1:]
    reasons = {}
    total = None
    with open(f"{folder}/listen-{port}.err") as f:
        for line in f:
            line = line.rstrip("\r\n")
            m = MALFORMED.match(line)
            if m:
                reasons[int(m.group(1))] = m.group(3)
            m = SUMMARY.match(line)
            if m:
                total = int(m.group(1))
                assert int(m.group(2)) == len(reasons), f"port {port}: malformed count differs"
    assert total is not None, f"port {port}: g1 listen printed no summary"
    assert total == len(rows) + len(reasons), f"port {port}: {total} datagrams, lines differ"
    rows = iter(rows)
    return [("malformed", reasons[n]) if n in reasons else ("fields", next(rows))
            for n in range(1, total + 1)]


def tshark_packets(folder, names):
    packets = {}
    with open(f"{folder}/tshark.tsv") as f:
        for line in f:
            values = dict(zip(names, line.rstrip("\r\n").split("\t")))
            packets.setdefault(int(values["udp.dstport"]), []).append(values)
    return packets


class TimeUnwrap:
    """g1 listen's running time from the 32-bit field of one sender (docs/g1-format.md): tshark
    shows each datagram's own field, g1 listen the running count."""

    def __init__(self):
        self.running = None
        self.last = 0

    def take(self, field):
        if self.running is None:
            self.running = field
        else:
            step = (field - self.last) & 0xFFFFFFFF
            self.running += step - (1 << 32) if step >= 1 << 31 else step
        self.last = field
        return Decimal(self.running) / 1000000


def compare_one(port, number, heard, seen, times, fields):
    where = f"port {port}, datagram {number}"
    kind, what = heard
    if seen["udp.length"] == "8":
        # An empty payload reaches no dissector: Wireshark shows it as UDP, Len=0.
        if kind == "malformed" and what.startswith("does not start with"):
            return []
        return [f"{where}: empty, yet g1 listen said {what}"]
    if ":g1" not in seen["frame.protocols"]:
        return [f"{where}: not dissected as G1 ({seen['frame.protocols']})"]
    if kind == "malformed":
        faults = []
        if seen["g1.error"] != what:
            faults.append(f"{where}: g1 listen says '{what}', tshark '{seen['g1.error']}'")
        if not seen["_ws.expert.severity"]:
            faults.append(f"{where}: malformed but no expert item")
        if seen["g1." + fields[0]["name"]]:
            faults.append(f"{where}: malformed yet fields shown")
        return faults
    if seen["g1.error"]:
        return [f"{where}: g1 listen decoded it, tshark says '{seen['g1.error']}'"]
    faults = []
    for field, text in zip(fields, what):
        column, scale = field["name"], int(field["scale"])
        value, raw = seen["g1." + column], seen["g1." + column + ".raw"]
        if not value or not raw or Decimal(value) * scale != Decimal(raw):
            faults.append(f"{where}: tshark shows {column} {value} for raw {raw}")
            continue
        if field["kind"] == "time":
            shown = times.setdefault(seen["ip.src"], TimeUnwrap()).take(int(raw))
        else:
            shown = Decimal(value)
        if shown != Decimal(text):
            faults.append(f"{where}: {column} is {text} to g1 listen, {value} (raw {raw}) "
                          "to tshark")
    return faults


def compare(folder):
    fields = field_table(folder)
    packets = tshark_packets(folder, tshark_fields(fields))
    faults = []
    counts = []
    for port in (G1_PORT, OTHER_PORT):
        heard = listen_sequence(folder, port, [f["name"] for f in fields])
        seen = packets.get(port, [])
        if len(heard) != len(seen):
            faults.append(f"port {port}: g1 listen took {len(heard)} datagrams, "
                          f"the capture holds {len(seen)}")
        times = {}  # per sender
        for number, (h, s) in enumerate(zip(heard, seen), start=1):
            faults += compare_one(port, number, h, s, times, fields)
        malformed = sum(1 for kind, _ in heard if kind == "malformed")
        counts.append(f"port {port}: {len(heard)} datagrams, {malformed} malformed")
    for fault in faults[:20]:
        print("FAIL " + fault)
    if faults:
        print(f"{len(faults)} differences")
        return 1
    print("tshark and g1 listen agree: " + "; ".join(counts))
    return 0


if __name__ == "__main__":
    if sys.argv[1:] == ["send"]:
        send()
    elif len(sys.argv) == 3 and sys.argv[1] == "compare":
        sys.exit(compare(sys.argv[2]))
    elif len(sys.argv) == 3 and sys.argv[1] == "table":
        sys.exit(table(sys.argv[2]))
    elif len(sys.argv) == 3 and sys.argv[1] == "fields":
        print(" ".join(tshark_fields(field_table(sys.argv[2]))))
    else:
        sys.exit(__doc__)
