#!/usr/bin/env python3
# The load for the g1 serve benchmark (scripts/bench.sh runs it in the sandbox): READERS pages
# read the event stream while G1 datagrams go by unicast to 127.0.0.1 at RATE for SECONDS.
# Prints one line: readers, datagrams sent, events read, the time from sending a datagram to
# its event read by a page (p50, p99, microseconds), the server's CPU time per datagram, read
# from the kernel's per-thread figures of PID, and the mean size of a datagram event in bytes.
# An event names its datagram by the time it shows; with --in-order (the limit's ready-made
# events show nothing) a page's k-th datagram event is taken as the k-th datagram sent.
# Usage: serve_load.py PID UDP_PORT HTTP_PORT READERS RATE SECONDS [--in-order]
import json
import os
import selectors
import socket
import sys
import time


def cpu_ns(pid):
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/schedstat") as f:
            total += int(f.read().split()[0])  # nanoseconds on the CPU
    return total


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))] if ordered else 0


def datagram(number):
    # Position 1 carries the number, so an event says which datagram it shows.
    fields = [number, 50000, 0, -1000, 120, -35, 1571, 10, 20, 30, 0, 0, -9810]
    return ("G1," + "".join(f"{v}," for v in fields)).encode()


def main():
    pid, udp_port, http_port, readers, rate = (int(a) for a in sys.argv[1:6])
    seconds = float(sys.argv[6])
    in_order = sys.argv[7:] == ["--in-order"]
    selector = selectors.DefaultSelector()
    pages = []
    for _ in range(readers):
        page = socket.create_connection(("127.0.0.1", http_port))
        page.sendall(f"GET /events HTTP/1.1\r\nHost: 127.0.0.1:{http_port}\r\n"
                     "Accept: text/event-stream\r\n\r\n".encode())
        page.setblocking(False)
        selector.register(page, selectors.EVENT_READ, {"buffer": b"", "read": 0, "open": False})
        pages.append(page)
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sent_at = {}
    latencies = []
    events = 0
    event_bytes = 0
    datagram_events = 0  # matched to a datagram or not

    def read_pages(timeout):
        nonlocal events, event_bytes, datagram_events
        for key, _ in selector.select(timeout):
            now = time.monotonic_ns()
            chunk = key.fileobj.recv(65536)
            state = key.data
            if not chunk:
                sys.exit(f"serve_load: the server closed a page's stream: {state['buffer'][:200]}")
            state["buffer"] += chunk
            if not state["open"]:
                header, found, rest = state["buffer"].partition(b"\r\n\r\n")
                if not found:
                    continue
                if not header.startswith(b"HTTP/1.1 200"):
                    sys.exit(f"serve_load: a page was refused: {header.decode(errors='replace')}")
                state["open"] = True
                state["buffer"] = rest
            *complete, state["buffer"] = state["buffer"].split(b"\n\n")
            for event in complete:
                if not event.startswith(b"event: datagram\n"):
                    continue
                event_bytes += len(event) + 2  # with its blank line
                datagram_events += 1
                state["read"] += 1
                if in_order:
                    number = state["read"] * 1000
                else:
                    shown = json.loads(event.split(b"data: ", 1)[1])["v"][0]
                    number = round(float(shown) * 1e6)  # the time field, shown in seconds
                if number in sent_at:
                    latencies.append((now - sent_at[number]) / 1000)
                    events += 1

    # Every page has its stream before the first datagram goes, so in order means something.
    opened_by = time.monotonic() + 10
    while not all(key.data["open"] for key in selector.get_map().values()):
        if time.monotonic() > opened_by:
            sys.exit("serve_load: the pages' streams did not open within 10 s")
        read_pages(0.1)
    read_pages(0.1)  # the rest of the greetings
    cpu_before = cpu_ns(pid)
    start = time.monotonic()
    count = int(rate * seconds)
    for number in range(1, count + 1):
        due = start + number / rate
        while True:
            left = due - time.monotonic()
            if left <= 0:
                break
            read_pages(left)
        sent_at[number * 1000] = time.monotonic_ns()
        sender.sendto(datagram(number * 1000), ("127.0.0.1", udp_port))
    end = time.monotonic() + 0.5
    while time.monotonic() < end:
        read_pages(0.05)
    cpu_per_datagram_us = (cpu_ns(pid) - cpu_before) / count / 1000
    print(f"{readers:7d}  {count:9d}  {events:11d}  {percentile(latencies, 0.5):8.0f}  "
          f"{percentile(latencies, 0.99):8.0f}  {cpu_per_datagram_us:8.1f}  "
          f"{event_bytes / max(1, datagram_events):6.0f}")


if __name__ == "__main__":
    main()
