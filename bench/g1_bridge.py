#!/usr/bin/python3
# The bridge that users write today, for bench/bridge_bench.py to set g1 publish against: takes
# the G1 datagrams on UDP and publishes each, unchanged, to PREFIX/SENDER/g1 at QoS 0 with paho
# (Debian's python3-paho-mqtt). Prints how many it published when stopped with Ctrl+C.
# Usage: g1_bridge.py BROKER_HOST BROKER_PORT [UDP_PORT [PREFIX]]
import os
import signal
import socket
import sys

import paho.mqtt.client as mqtt

host, port = sys.argv[1], int(sys.argv[2])
udp_port = int(sys.argv[3]) if len(sys.argv) > 3 else 50010
prefix = sys.argv[4] if len(sys.argv) > 4 else "tessel"

# paho 2 asks which callback signatures the caller uses; paho 1 knows no such thing.
if hasattr(mqtt, "CallbackAPIVersion"):
    client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2)
else:
    client = mqtt.Client()
client.connect(host, port)
client.loop_start()

# Ctrl+C ends it even when started in the background by a script, which ignores SIGINT.
signal.signal(signal.SIGINT, signal.default_int_handler)
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.bind(("", udp_port))
published = 0
try:
    while True:
        data, (sender, _) = sock.recvfrom(2048)
        if data.startswith(b"G1,"):
            client.publish(f"{prefix}/{sender}/g1", data, qos=0)
            published += 1
except KeyboardInterrupt:
    # Ctrl+C may come inside publish, with paho's locks held: stopping its thread could wait for
    # ever. At QoS 0 there is nothing to hand over; the connection ends with the process.
    print(f"g1_bridge.py: {published} published", file=sys.stderr, flush=True)
    os._exit(0)
