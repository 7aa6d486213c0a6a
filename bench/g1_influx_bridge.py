#!/usr/bin/python3
# The InfluxDB bridge a user would write, for bench/influx_bench.py to set g1 publish --influx
# against: takes the G1 datagrams on UDP and writes each as a point with Debian's
# python3-influxdb, the same point as g1's (measurement g1, tag sender, the values in the page's
# units, the simulator's time laid on the wall clock), gathering while a write is on its way.
# Usage: g1_influx_bridge.py INFLUX_HOST INFLUX_PORT DATABASE [UDP_PORT]
import math
import select
import signal
import socket
import sys
import time

from influxdb import InfluxDBClient

host, port, database = sys.argv[1], int(sys.argv[2]), sys.argv[3]
udp_port = int(sys.argv[4]) if len(sys.argv) > 4 else 50010
NAMES = ["time_s", "velocity_x", "velocity_y", "velocity_z", "bank", "pitch", "true_heading",
         "angular_velocity_x", "angular_velocity_y", "angular_velocity_z", "acceleration_x",
         "acceleration_y", "acceleration_z"]
ANGLES = range(4, 10)

client = InfluxDBClient(host=host, port=port, database=database)
signal.signal(signal.SIGINT, signal.default_int_handler)
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.bind(("", udp_port))
sock.setblocking(False)
anchors, written = {}, 0


def point(data, sender):
    raw = [int(v) for v in data.split(b",")[1:14]]
    values = [raw[0] / 1e6] + [math.degrees(v / 1000) if i in ANGLES else v / 1000
                               for i, v in enumerate(raw) if i > 0]
    wall, first = anchors.setdefault(sender, (time.time_ns(), raw[0]))
    return {"measurement": "g1", "tags": {"sender": sender},
            "time": wall + (raw[0] - first) * 1000, "fields": dict(zip(NAMES, values))}


try:
    while True:
        select.select([sock], [], [])
        points = []
        while True:
            try:
                data, (sender, _) = sock.recvfrom(2048)
            except BlockingIOError:
                break
            if data.startswith(b"G1,"):
                points.append(point(data, sender))
        if points:
            client.write_points(points, time_precision="n")
            written += len(points)
except KeyboardInterrupt:
    print(f"g1_influx_bridge.py: {written} written", file=sys.stderr, flush=True)
