#!/usr/bin/env python3
"""Writes the seeds of pcap_read_fuzz into a directory (fuzz/pcap_corpus): for each file header
the target can pick (byte order, time resolution, link type), records of a G1 broadcast framed
for that link and of other traffic; then whole files (first byte 0xFF), one cut inside a record.
Usage: fuzz/make_pcap_corpus.py DIRECTORY"""
import os
import struct
import sys

LINKS = [("null", 0), ("ethernet", 1), ("raw", 101), ("sll", 113), ("ipv4", 228), ("sll2", 276)]
G1 = b"G1,1500000,0,0,0,-12,0,3141,0,0,0,0,0,0,"


def ipv4_udp(payload, dst_port=50010, protocol=17, flags=0):
    udp = struct.pack(">HHHH", 49152, dst_port, 8 + len(payload), 0) + payload
    return struct.pack(">BBHHHBBHII", 0x45, 0, 20 + len(udp), 0, flags, 64, protocol, 0,
                       0xC0A80114, 0xFFFFFFFF) + udp


def framed(link, packet, big_endian):
    if link == 0:  # BSD loopback: the family in the capturing machine's order
        return struct.pack(">I" if big_endian else "<I", 2) + packet
    if link == 1:  # Ethernet with one 802.1Q tag
        return b"\xff" * 6 + b"\x02" * 6 + b"\x81\x00\x00\x05" + b"\x08\x00" + packet
    if link == 113:
        return b"\x00\x01\x00\x01\x00\x06" + b"\x02" * 8 + b"\x08\x00" + packet
    if link == 276:
        return b"\x08\x00" + b"\x00" * 18 + packet
    return packet


def record(frame, seconds, fraction, big_endian, wire_extra=0):
    order = ">" if big_endian else "<"
    return struct.pack(order + "IIII", seconds, fraction, len(frame), len(frame) + wire_extra) + frame


def main(directory):
    os.makedirs(directory, exist_ok=True)
    for choice in range(24):
        big_endian, nanoseconds = bool(choice & 1), bool(choice & 2)
        name, link = LINKS[choice // 4]
        fraction = 123456789 if nanoseconds else 123456
        body = b"".join([
            record(framed(link, ipv4_udp(G1), big_endian), 1765000000, fraction, big_endian),
            record(framed(link, ipv4_udp(b"\xffjunk", 50020), big_endian), 1765000000,
                   fraction + 1000, big_endian),
            record(framed(link, ipv4_udp(G1, protocol=6), big_endian), 1765000001, 0, big_endian),
            record(framed(link, ipv4_udp(G1, flags=0x2000), big_endian), 1765000001, 5, big_endian),
            record(framed(link, ipv4_udp(G1), big_endian), 1765000002, 0, big_endian, 10),
        ])
        path = os.path.join(directory, "%s_%s_%s" % (name, "be" if big_endian else "le",
                                                    "ns" if nanoseconds else "us"))
        with open(path, "wb") as out:
            out.write(bytes([choice]) + body)
    header = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101)
    g1_file = header + record(ipv4_udp(G1), 1765000000, 0, False) + \
        record(ipv4_udp(G1), 1765000000, 16667, False)
    for name, data in [("whole_g1_file", g1_file), ("whole_cut_in_record", g1_file[:-7]),
                       ("whole_pcapng", b"\x0a\x0d\x0d\x0a" + b"\x00" * 28)]:
        with open(os.path.join(directory, name), "wb") as out:
            out.write(b"\xff" + data)


if __name__ == "__main__":
    main(sys.argv[1])
