#!/usr/bin/env python3
"""Reads the release back as a user's tools would, for scripts/checks/dist.sh: the archives'
names and entries, SHA256SUMS, and in every Windows binary its machine, the version resource
(parsed here from the PE resource section, not by the tool that wrote it), the absence of debug
sections and a link time, and a debug link whose CRC matches the file in the debug archive.

Usage: release_check.py REPOSITORY_ROOT PLUGIN_DLL
(PLUGIN_DLL: the DLL's file name, from scripts/lib/artifacts.sh)
"""
import hashlib
import os
import re
import struct
import subprocess
import sys
import zipfile
import zlib

# Place in the archive, machine, file type in the version resource (1 program, 2 DLL); the
# plug-in's place is added once its name is known.
BINARIES = {
    "secretgen/secretgen.exe": (0x14C, 1),
    "tools/g1.exe": (0x8664, 1),
    "tools/tessel-host.exe": (0x8664, 1),
}
RT_VERSION = 16
FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD

faults = []


def expect(ok, text):
    if not ok:
        faults.append(text)


# --- PE --------------------------------------------------------------------------------------

def pe_sections(image):
    """COFF header fields and the sections, long names resolved through the string table."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    assert image[pe:pe + 4] == b"PE\0\0", "not a PE file"
    machine, count, stamp, symbols_at, symbols, optional_size = struct.unpack_from(
        "<HHIIIH", image, pe + 4)
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    strings = symbols_at + symbols * 18
    sections = []
    table = optional + optional_size
    for i in range(count):
        raw_name, vsize, vaddr, raw_size, raw_at = struct.unpack_from("<8sIIII", image,
                                                                      table + 40 * i)
        name = raw_name.rstrip(b"\0").decode()
        if name.startswith("/"):
            at = strings + int(name[1:])
            name = image[at:image.index(b"\0", at)].decode()
        sections.append({"name": name, "vaddr": vaddr, "vsize": vsize, "raw_at": raw_at,
                         "raw_size": raw_size})
    resource_rva = struct.unpack_from("<II", image, directories + 2 * 8)[0]
    return {"machine": machine, "stamp": stamp, "symbols": symbols, "sections": sections,
            "resource_rva": resource_rva}


def rva_offset(pe, rva):
    for s in pe["sections"]:
        if s["vaddr"] <= rva < s["vaddr"] + max(s["vsize"], s["raw_size"]):
            return s["raw_at"] + rva - s["vaddr"]
    raise ValueError(f"RVA {rva:#x} is in no section")


def resource_version_bytes(image, pe):
    """The first RT_VERSION resource: type, then name, then language, then the data entry."""
    base = rva_offset(pe, pe["resource_rva"])

    def entries(at):
        named, ids = struct.unpack_from("<HH", image, base + at + 12)
        for i in range(named + ids):
            ident, target = struct.unpack_from("<II", image, base + at + 16 + 8 * i)
            yield ident, target

    at = None
    for ident, target in entries(0):
        if ident == RT_VERSION:
            at = target & 0x7FFFFFFF
    if at is None:
        return None
    for _level in range(2):  # name, language
        at = next(entries(at))[1] & 0x7FFFFFFF
    data_rva, size = struct.unpack_from("<II", image, base + at)
    start = rva_offset(pe, data_rva)
    return image[start:start + size]


def version_block(data, at):
    """One VS_VERSIONINFO node: key, value and children."""
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end = at + 6
    while data[end:end + 2] != b"\0\0":
        end += 2
    key = data[at + 6:end].decode("utf-16le")
    pos = (end + 2 + 3) & ~3
    value_bytes = value_length * 2 if kind == 1 else value_length
    value = data[pos:pos + value_bytes]
    pos = (pos + value_bytes + 3) & ~3
    children = []
    while pos < at + length:
        child = version_block(data, pos)
        children.append(child)
        pos = (pos + child["length"] + 3) & ~3
    return {"key": key, "value": value, "kind": kind, "children": children, "length": length}


def version_info(data):
    root = version_block(data, 0)
    fixed = struct.unpack_from("<13I", root["value"])
    strings = {}
    for block in root["children"]:
        if block["key"] == "StringFileInfo":
            for table in block["children"]:
                for s in table["children"]:
                    strings[s["key"]] = s["value"].decode("utf-16le").rstrip("\0")
    return {
        "key": root["key"],
        "signature": fixed[0],
        "file_version": (fixed[2] >> 16, fixed[2] & 0xFFFF, fixed[3] >> 16, fixed[3] & 0xFFFF),
        "product_version": (fixed[4] >> 16, fixed[4] & 0xFFFF, fixed[5] >> 16,
                            fixed[5] & 0xFFFF),
        "file_type": fixed[9],
        "strings": strings,
    }


def section_bytes(image, pe, name):
    for s in pe["sections"]:
        if s["name"] == name:
            return image[s["raw_at"]:s["raw_at"] + s["raw_size"]]
    return None


# --- the checks ------------------------------------------------------------------------------

def check_binary(place, image, debug_image, version, epoch, product_names):
    machine, file_type = BINARIES[place]
    pe = pe_sections(image)
    name = os.path.basename(place)
    expect(pe["machine"] == machine, f"{place}: machine {pe['machine']:#x}, not {machine:#x}")
    # No link time: none, or the commit's (objcopy writes SOURCE_DATE_EPOCH there).
    expect(pe["stamp"] in (0, epoch), f"{place}: link time {pe['stamp']} in the header")
    expect(pe["symbols"] == 0, f"{place}: {pe['symbols']} symbols left in")
    debug_sections = [s["name"] for s in pe["sections"] if s["name"].startswith(".debug")]
    expect(not debug_sections, f"{place}: debug sections {debug_sections}")

    link = section_bytes(image, pe, ".gnu_debuglink")
    expect(link is not None, f"{place}: no .gnu_debuglink section")
    if link is not None:
        link_name = link[:link.index(b"\0")].decode()
        crc_at = (len(link_name) + 1 + 3) & ~3
        crc = struct.unpack_from("<I", link, crc_at)[0]
        expect(link_name == name + ".debug", f"{place}: debug link names {link_name}")
        expect(debug_image is not None and crc == zlib.crc32(debug_image),
               f"{place}: the debug link's CRC does not match {place}.debug")
    if debug_image is not None:
        debug_pe = pe_sections(debug_image)
        expect(any(s["name"] == ".debug_info" for s in debug_pe["sections"]),
               f"{place}.debug: no .debug_info")

    data = resource_version_bytes(image, pe)
    expect(data is not None, f"{place}: no version resource")
    if data is None:
        return
    info = version_info(data)
    numbers = tuple(int(n) for n in version.split(".")) + (0,)
    s = info["strings"]
    expect(info["key"] == "VS_VERSION_INFO" and info["signature"] == FIXED_FILE_INFO_SIGNATURE,
           f"{place}: the version resource is not a VS_VERSION_INFO")
    expect(info["file_version"] == numbers, f"{place}: FILEVERSION {info['file_version']}")
    expect(info["product_version"] == numbers,
           f"{place}: PRODUCTVERSION {info['product_version']}")
    expect(info["file_type"] == file_type, f"{place}: file type {info['file_type']}")
    expect(s.get("FileVersion") == version, f"{place}: FileVersion {s.get('FileVersion')}")
    expect(s.get("ProductVersion") == version,
           f"{place}: ProductVersion {s.get('ProductVersion')}")
    expect(s.get("OriginalFilename") == name,
           f"{place}: OriginalFilename {s.get('OriginalFilename')}")
    expect(bool(s.get("FileDescription")), f"{place}: no FileDescription")
    product_names.add(s.get("ProductName"))


def pe_tables(path):
    """The imported DLLs and exported names objdump reads from a binary."""
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", path], check=True,
                          capture_output=True, text=True).stdout
    imports = sorted(re.findall(r"DLL Name: (\S+)", dump))
    exports = []
    lines = dump.split("[Ordinal/Name Pointer] Table", 1)[-1].splitlines()[1:]
    for line in lines:
        m = re.match(r"\s*\[\s*\d+\] (\S+)$", line)
        if not m:
            break
        exports.append(m.group(1))
    return imports, sorted(exports)


def check_plugin_tables(root, plugin_dll, stripped):
    """Stripping leaves the plug-in's imports and exports as the build made them (the build's
    own DLL is what the imports-and-exports test checks)."""
    built = os.path.join(root, "build/dist-win64/bin", plugin_dll)
    expect(pe_tables(stripped) == pe_tables(built),
           "the stripped plug-in's imports or exports differ from the built one's")
    expect(len(pe_tables(stripped)[1]) == 4, "the plug-in does not export four functions")


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    root, plugin_dll = sys.argv[1], sys.argv[2]
    plugin = "plugin/" + plugin_dll
    BINARIES[plugin] = (0x8664, 2)
    version = open(os.path.join(root, "VERSION")).readline().strip()
    epoch = int(subprocess.run(["git", "-C", root, "log", "-1", "--format=%ct"], check=True,
                               capture_output=True, text=True).stdout)
    dist = os.path.join(root, "build/dist")
    package = f"corvane-tessel-plugin-{version}-windows"
    release_path = os.path.join(dist, package + ".zip")
    debug_path = os.path.join(dist, package + "-debug.zip")

    docs = sorted("docs/" + f for f in os.listdir(os.path.join(root, "docs")) if f.endswith(".md"))
    # g1.exe's MQTT client library's terms, where setup built the library that g1.exe carries.
    mqtt = subprocess.run([os.path.join(root, "scripts/mosquitto-mingw.sh"), "--dir"],
                          capture_output=True, text=True).stdout.strip()
    terms = os.path.join(mqtt, "share/licenses")
    licenses = []
    if mqtt and os.path.isfile(os.path.join(mqtt, "lib/libmosquitto_static.a")):
        licenses = ["licenses/mqtt-client/" + f for f in os.listdir(terms)]
    expected = sorted(list(BINARIES) + docs + licenses + ["README.txt", "wireshark/g1.lua"])
    release = zipfile.ZipFile(release_path)
    debug = zipfile.ZipFile(debug_path)
    names = release.namelist()
    expect(names == expected, f"release archive holds {names}, expected {expected}")
    expect(debug.namelist() == sorted(p + ".debug" for p in BINARIES),
           f"debug archive holds {debug.namelist()}")
    for z in (release, debug):
        times = {i.date_time for i in z.infolist()}
        expect(len(times) == 1, f"{z.filename}: entries carry {len(times)} different times")

    sums = {}
    for line in open(os.path.join(dist, "SHA256SUMS")):
        digest, name = line.split()
        sums[name] = digest
    for path in (release_path, debug_path):
        name = os.path.basename(path)
        digest = hashlib.sha256(open(path, "rb").read()).hexdigest()
        expect(sums.get(name) == digest, f"SHA256SUMS does not hold {name}'s digest")

    readme = release.read("README.txt").decode()
    expect(f"version {version}" in readme, "README.txt does not name the version")
    lua = open(os.path.join(root, "tools/wireshark/g1.lua"), "rb").read()
    expect(release.read("wireshark/g1.lua") == lua, "wireshark/g1.lua is not the dissector")

    product_names = set()
    for place in BINARIES:
        if place not in names:
            continue
        debug_name = place + ".debug"
        debug_image = debug.read(debug_name) if debug_name in debug.namelist() else None
        check_binary(place, release.read(place), debug_image, version, epoch, product_names)
    expect(len(product_names) == 1 and None not in product_names,
           f"ProductName differs between the binaries: {product_names}")

    if plugin in names:
        unpacked = os.path.join(dist, "check-plugin.dll")
        with open(unpacked, "wb") as f:
            f.write(release.read(plugin))
        check_plugin_tables(root, plugin_dll, unpacked)
        os.remove(unpacked)

    for fault in faults:
        print("FAIL " + fault)
    if faults:
        sys.exit(1)
    print(f"release {version}: {len(names)} files, {len(BINARIES)} binaries with version "
          f"resources, no debug sections, debug links match")


if __name__ == "__main__":
    main()
