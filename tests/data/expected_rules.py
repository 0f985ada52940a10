#!/usr/bin/env python3
"""Independent reader: which audit rules (profile "las") fire for each test file.

Reads every *.las / *.laz under lasdata/ and lasdata-v14-laz/ byte by byte,
following the public ASPRS LAS 1.0-1.4 layout, and prints a TSV table
(a LAZ file's points are read from its twin, X.twin.las, which another
tool decompressed; its header and VLRs from the LAZ file itself):
file<TAB>rules (sorted ids, comma-separated, "-" if none).
Standard library only; it shares no code with the C++ tool.
Usage: python3 expected_rules.py > expected_rules.tsv
"""
import glob
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
DIRS = ["lasdata", "lasdata-v14-laz"]

RECORD_LEN = [20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67]  # formats 0-10
MIN_HEADER = {0: 227, 1: 227, 2: 227, 3: 235, 4: 375}      # by minor version
MAX_FORMAT = {0: 1, 1: 1, 2: 3, 3: 5, 4: 10}
ENCODING_BITS = {0: 0x00, 1: 0x00, 2: 0x01, 3: 0x07, 4: 0x1F}
GPS_OFFSET = {1: 20, 3: 20, 4: 20, 5: 20, 6: 22, 7: 22, 8: 22, 9: 22, 10: 22}


def u8(b, o):
    return b[o] if o < len(b) else 0


def unpack(fmt, b, o):
    n = struct.calcsize("<" + fmt)
    chunk = b[o:o + n]
    chunk = chunk + b"\0" * (n - len(chunk))  # a short file reads as zeros
    return struct.unpack("<" + fmt, chunk)


def nice_scale(s):
    # s == m * 10^k with m in {1, 2.5, 5}, relative tolerance 1e-9
    k = math.floor(math.log10(s))
    for kk in (k - 1, k, k + 1):
        for m in (1.0, 2.5, 5.0):
            if abs(s - m * 10.0 ** kk) <= 1e-9 * s:
                return True
    return False


def padded(field):
    # a nonzero byte after the first NUL, or spaces ending the text
    i = field.find(b"\0")
    text = field if i < 0 else field[:i]
    return text.endswith(b" ") or (i >= 0 and any(field[i + 1:]))


EXTRA_SIZES = [1, 1, 2, 2, 4, 4, 8, 8, 4, 8]  # Extra Bytes data types 1-10


def described(payload):
    # bytes an Extra Bytes VLR's 192-byte field descriptions account for
    total = 0
    for at in range(0, len(payload) - 191, 192):
        kind, options = payload[at + 2], payload[at + 3]
        if kind == 0:
            total += options
        elif kind <= 30:
            total += EXTRA_SIZES[(kind - 1) % 10] * (1 + (kind - 1) // 10)
    return total


def point_area(b):
    """(offset to data, record length, whole records) of an uncompressed file."""
    minor = u8(b, 25)
    offset_to_data, = unpack("I", b, 96)
    record_len, = unpack("H", b, 105)
    end = len(b)
    starts = [unpack("Q", b, 227)[0] if minor >= 3 else 0, unpack("Q", b, 235)[0] if minor == 4 else 0]
    for start in starts:
        if offset_to_data < start < end:
            end = start
    return offset_to_data, record_len, max(0, end - offset_to_data) // record_len if record_len else 0


def audit(b, twin=None, name=""):
    fired = set()
    size = len(b)
    # header.signature: not "LASF" -> stop
    if b[:4] != b"LASF":
        return {"header.signature"}
    major, minor = u8(b, 24), u8(b, 25)
    # header.version: only 1.0-1.4 -> stop
    if major != 1 or minor > 4:
        return {"header.version"}

    encoding, = unpack("H", b, 6)
    system_id, software = b[26:58], b[58:90]
    day, year, header_size = unpack("HHH", b, 90)
    offset_to_data, n_vlr = unpack("II", b, 96)
    fmt_byte = u8(b, 104)
    record_len, = unpack("H", b, 105)
    legacy_count, = unpack("I", b, 107)
    legacy_by_return = unpack("5I", b, 111)
    scale = unpack("3d", b, 131)
    offset = unpack("3d", b, 155)
    max_x, min_x, max_y, min_y, max_z, min_z = unpack("6d", b, 179)
    waveform_start = unpack("Q", b, 227)[0] if minor >= 3 else 0
    evlr_start, n_evlr, count64 = 0, 0, 0
    by_return64 = ()
    if minor == 4:
        evlr_start, n_evlr, count64 = unpack("QIQ", b, 235)
        by_return64 = unpack("15Q", b, 255)

    fmt = fmt_byte & 0x3F
    laz = bool(fmt_byte & 0xC0)  # bit 7 (LASzip) or bit 6
    count = count64 if minor == 4 else legacy_count

    # header.size / header.size-extended: against the version's minimum
    if header_size < MIN_HEADER[minor]:
        fired.add("header.size")
    if header_size > MIN_HEADER[minor]:
        fired.add("header.size-extended")

    # header.offset-to-data: before the end of the header or past the file
    if offset_to_data < header_size or offset_to_data > size:
        fired.add("header.offset-to-data")

    # vlr.count / vlr.length: walk the VLRs between header and point data
    records = []  # (user id, record id, payload) of every record read
    pos = header_size
    for _ in range(n_vlr):
        if pos + 54 > offset_to_data:
            fired.add("vlr.count")
            break
        user = b[pos + 2:pos + 18].split(b"\0")[0]
        rec_id, length = unpack("HH", b, pos + 18)
        if pos + 54 + length > offset_to_data:
            fired.add("vlr.length")
            break
        records.append((user, rec_id, b[pos + 54:pos + 54 + length]))
        pos += 54 + length

    # evlr.bounds: 1.4 EVLRs must lie after point data start and inside the file
    if minor == 4 and n_evlr:
        if evlr_start < offset_to_data:
            fired.add("evlr.bounds")
        else:
            pos = evlr_start
            for _ in range(n_evlr):
                if pos + 60 > size:
                    fired.add("evlr.bounds")
                    break
                user = b[pos + 2:pos + 18].split(b"\0")[0]
                rec_id, length = unpack("HQ", b, pos + 18)
                if pos + 60 + length > size:
                    fired.add("evlr.bounds")
                    break
                records.append((user, rec_id, b[pos + 60:pos + 60 + length]))
                pos += 60 + length

    # header.point-format: above the version's highest format
    if fmt > MAX_FORMAT[minor]:
        fired.add("header.point-format")
    min_len = RECORD_LEN[fmt] if fmt <= 10 else None
    # header.record-length: shorter than the format's record
    if min_len is not None and record_len < min_len:
        fired.add("header.record-length")
    # header.extra-bytes: extra bytes per record before 1.4
    if min_len is not None and minor < 4 and record_len > min_len:
        fired.add("header.extra-bytes")

    # point area: from offset to data up to EVLRs / waveform data / end of file
    area_end = size
    for start in (evlr_start, waveform_start):
        if offset_to_data < start < size:
            area_end = min(area_end, start)
    area = max(0, area_end - offset_to_data)
    n_records = area // record_len if record_len else 0

    if not laz:
        # points.trailing-bytes: the point area is not whole records
        if record_len == 0 or area % record_len:
            fired.add("points.trailing-bytes")
        # header.point-count: count disagrees with the area's size
        if count != n_records:
            fired.add("header.point-count")

    # header.by-return-sum: counts by return add up to more than the count
    if sum(legacy_by_return) > legacy_count:
        fired.add("header.by-return-sum")
    if minor == 4 and sum(by_return64) > count64:
        fired.add("header.by-return-sum")

    # header.scale / header.scale-unusual / header.offset
    for s in scale:
        if not math.isfinite(s) or s <= 0:
            fired.add("header.scale")
        elif not nice_scale(s):
            fired.add("header.scale-unusual")
    if not all(math.isfinite(o) for o in offset):
        fired.add("header.offset")

    # encoding.reserved: a bit the version does not define
    if encoding & ~ENCODING_BITS[minor]:
        fired.add("encoding.reserved")
    # encoding.waveform-bits: internal and external waveform both set
    if minor >= 3 and encoding & 6 == 6:
        fired.add("encoding.waveform-bits")
    # encoding.wkt-bit: 1.4 formats 6-10 need the WKT bit
    if minor == 4 and 6 <= fmt <= 10 and not encoding & 16:
        fired.add("encoding.wkt-bit")

    # header.creation-date / header.creation-date-missing
    if day == 0 and year == 0:
        fired.add("header.creation-date-missing")
    elif not 1 <= day <= 366 or not 1990 <= year <= 2027:
        fired.add("header.creation-date")

    # header.extra-bytes-undescribed: 1.4 extra bytes not all described
    if min_len is not None and minor == 4 and record_len > min_len:
        eb = [p for u, r, p in records if u == b"LASF_Spec" and r == 4]
        if not eb or described(eb[0]) != record_len - min_len:
            fired.add("header.extra-bytes-undescribed")
    # file.name-content: compressed content and the name's extension disagree
    if name.lower().endswith(".las") == laz:
        fired.add("file.name-content")

    # header.text-padding: bytes after the first NUL of the two text fields
    if padded(system_id) or padded(software):
        fired.add("header.text-padding")

    # crs.*: GeoKeyDirectoryTag (34735) and OGC WKT (2112) records
    proj = [(r, p) for u, r, p in records if u == b"LASF_Projection"]
    if not any(r in (34735, 2112) for r, _ in proj):
        fired.add("crs.missing")
    if minor == 4 and 6 <= fmt <= 10 and not any(r == 2112 for r, _ in proj):
        fired.add("crs.wkt-required")
    for r, p in proj:
        if r != 34735:
            continue
        if len(p) < 8:
            fired.add("crs.invalid")
            continue
        key_version, _, _, n_keys = unpack("4H", p, 0)
        if key_version != 1 or 8 + 8 * n_keys > len(p):
            fired.add("crs.invalid")

    pts, pts_offset = b, offset_to_data
    if laz:
        if twin is None:
            return fired  # no decompressed twin: header and VLR rules only
        pts = twin
        pts_offset, twin_len, n_records = point_area(twin)
        if twin_len != record_len:
            raise SystemExit("twin records differ in length from the LAZ header's")

    # points.none: no whole record
    if n_records == 0:
        fired.add("points.none")
    if min_len is None or record_len < min_len:
        return fired  # records cannot be read as the stated format

    # read the records
    by_ret = [0] * 16  # index = return number
    xs, ys, zs = [], [], []
    gps_off = GPS_OFFSET.get(fmt)
    for i in range(n_records):
        r = pts_offset + i * record_len
        x, y, z = unpack("3i", pts, r)
        xs.append(x)
        ys.append(y)
        zs.append(z)
        flags = pts[r + 14]
        if fmt <= 5:
            ret, nret = flags & 7, (flags >> 3) & 7
        else:
            ret, nret = flags & 15, flags >> 4
        by_ret[ret] += 1
        # points.return-number: 0, or above the number of returns
        if ret == 0 or ret > nret:
            fired.add("points.return-number")
        # points.number-of-returns: 0
        if nret == 0:
            fired.add("points.number-of-returns")
        # points.class-reserved: a code the version reserves (1.0 none);
        # points.class-overlap: class 12 where the overlap flag replaces it
        if fmt <= 5:
            cls = pts[r + 15] & 31
            if minor >= 1 and (cls in (10, 11) or 13 <= cls <= 31):
                fired.add("points.class-reserved")
        else:
            cls = pts[r + 16]
            if cls == 8 or 23 <= cls <= 63:
                fired.add("points.class-reserved")
            if cls == 12:
                fired.add("points.class-overlap")
        if gps_off is None:
            continue
        t, = unpack("d", pts, r + gps_off)
        # points.gps-time-invalid: NaN or infinite
        if not math.isfinite(t):
            fired.add("points.gps-time-invalid")
        elif not encoding & 1:
            # points.gps-week-time: seconds of the GPS week
            if t < 0 or t > 604800:
                fired.add("points.gps-week-time")
        else:
            # points.gps-standard-time: adjusted standard time (GPS time
            # - 1e9) must lie in 1980..about 2030, i.e. [-1e9, 0.6e9]
            if t < -1e9 or t > 0.6e9:
                fired.add("points.gps-standard-time")

    # stats.point-count: stored counts against the records
    if minor < 4:
        if legacy_count != n_records:
            fired.add("stats.point-count")
    else:
        if count64 != n_records:
            fired.add("stats.point-count")
        if fmt <= 5 and legacy_count != 0 and legacy_count != n_records:
            fired.add("stats.point-count")
        # formats 6-10 keep no legacy count: it must be 0
        if fmt >= 6 and legacy_count != 0:
            fired.add("stats.point-count")

    # stats.by-return: stored counts by return against the records
    legacy_true = tuple(by_ret[1:6])
    if minor < 4:
        if legacy_by_return != legacy_true:
            fired.add("stats.by-return")
    else:
        if fmt <= 5:
            if any(legacy_by_return) and legacy_by_return != legacy_true:
                fired.add("stats.by-return")
        elif any(legacy_by_return):
            fired.add("stats.by-return")
        if by_return64 != tuple(by_ret[1:16]):
            fired.add("stats.by-return")

    # stats.extent: stored bounds against the records, half a scale unit
    if n_records:
        for ints, sc, off, hi, lo in ((xs, scale[0], offset[0], max_x, min_x),
                                      (ys, scale[1], offset[1], max_y, min_y),
                                      (zs, scale[2], offset[2], max_z, min_z)):
            tol = abs(sc) / 2
            if not (abs(max(ints) * sc + off - hi) <= tol
                    and abs(min(ints) * sc + off - lo) <= tol):
                fired.add("stats.extent")
            # points.outside-box: a record beyond a stored bound, past
            # floating-point noise (a few ulps of the larger magnitude)
            for v, bound, above in ((max(ints) * sc + off, hi, True), (min(ints) * sc + off, lo, False)):
                noise = 4 * math.ulp(max(abs(v), abs(bound)))
                if (v > bound + noise) if above else (v < bound - noise):
                    fired.update(("points.outside-box", "stats.extent"))
    return fired


def main():
    print("# Made by tests/data/expected_rules.py, an independent Python reader of"
          " the files' bytes (public LAS 1.0-1.4 layout), not by the tool;"
          " crs.unidentified is left out.")
    print("file\trules")
    paths = []
    for d in DIRS:
        for ext in ("*.las", "*.laz"):
            paths += glob.glob(os.path.join(HERE, d, ext))
    for path in sorted(paths):
        with open(path, "rb") as f:
            data = f.read()
        twin = None
        if path.endswith(".laz") and os.path.exists(path[:-4] + ".twin.las"):
            with open(path[:-4] + ".twin.las", "rb") as f:
                twin = f.read()
        rules = sorted(audit(data, twin, os.path.basename(path)))
        print("%s\t%s" % (os.path.relpath(path, HERE), ",".join(rules) or "-"))


if __name__ == "__main__":
    main()
