#!/usr/bin/env python3
"""hivegen.py - build a minimal empty Windows NT registry hive (regf) from
nothing, make a "dirty" copy of a hive, and print/check a hive's structure.

Written from M. Suhanov's public description of the regf file format; no
bytes come from a Windows file.

  hivegen.py make OUT [--root NAME] [--minor N] [--subkeys N [--list KIND]]
                                                 empty hive: base block, one
                                                 hbin, root nk, sk; with
                                                 --subkeys the root gets N keys
                                                 K0000.. in an li/lf/lh leaf or
                                                 an ri index (default lh);
                       [--bigvalue N]            root value BigDb of N bytes
                                                 in db (big data) form
  hivegen.py dirty IN OUT [--log]                 copy IN with primary seq =
                                                 secondary + 1 (checksum
                                                 recomputed); --log also
                                                 writes a non-empty OUT.LOG1
  hivegen.py info FILE                            base block, state, tree, and
                                                 checks (sort order, hashes,
                                                 cell sizes); exit 1 on a
                                                 failed check

Python 3.8+, standard library only.
"""
import os
import signal
import struct
import sys
import time

BASE = 4096              # base block size; hive-bin offsets are relative to it
NONE = 0xFFFFFFFF        # "points nowhere"


def filetime_now():
    return int((time.time() + 11644473600) * 10_000_000)


def checksum(block):
    """XOR of the first 127 little-endian dwords, with 0 -> 1 and -1 -> -2."""
    c = 0
    for (d,) in struct.iter_unpack("<I", block[:508]):
        c ^= d
    if c == 0xFFFFFFFF:
        c = 0xFFFFFFFE
    elif c == 0:
        c = 1
    return c


def sid(authority, *subs):
    return struct.pack("<BB", 1, len(subs)) + authority.to_bytes(6, "big") + \
        b"".join(struct.pack("<I", s) for s in subs)


def security_descriptor():
    """Self-relative descriptor: owner Administrators, group SYSTEM, a DACL
    giving Administrators and SYSTEM full control (KEY_ALL_ACCESS) and
    Everyone read (KEY_READ), all inherited by subkeys (CONTAINER_INHERIT)."""
    admins, system, everyone = sid(5, 32, 544), sid(5, 18), sid(1, 0)

    def ace(mask, who):
        return struct.pack("<BBHI", 0, 0x02, 8 + len(who), mask) + who

    aces = ace(0xF003F, admins) + ace(0xF003F, system) + ace(0x20019, everyone)
    dacl = struct.pack("<BBHHH", 2, 0, 8 + len(aces), 3, 0) + aces
    owner_off = 20
    group_off = owner_off + len(admins)
    dacl_off = group_off + len(system)
    control = 0x8000 | 0x0004                 # SE_SELF_RELATIVE | SE_DACL_PRESENT
    head = struct.pack("<BBHIIII", 1, 0, control, owner_off, group_off, 0, dacl_off)
    return head + admins + system + dacl


def cell(payload):
    """An allocated cell: negative size (including the 4-byte size field),
    padded to a multiple of 8."""
    size = (4 + len(payload) + 7) & ~7
    return struct.pack("<i", -size) + payload + b"\0" * (size - 4 - len(payload))


def nk_cell(name, flags, now, parent, sk_off, nsub=0, subl=NONE, max_name=0,
            nval=0, vlist=NONE, max_vname=0, max_vdata=0):
    raw = name.encode("latin-1")           # stored "compressed" (one byte a char)
    return cell(struct.pack(
        "<2sHQIIIIIIIIIIIIIIIHH",
        b"nk", flags | 0x0020,             # 0x20 = COMP_NAME
        now, 0,                            # last written, access bits
        parent,
        nsub, 0,                           # subkeys, volatile subkeys
        subl, NONE,                        # subkey list, volatile subkey list
        nval, vlist,                       # values, value list
        sk_off, NONE,                      # security cell, class name
        max_name, 0, max_vname, max_vdata, # largest subkey name/class/value name/data
        0,                                 # WorkVar
        len(raw), 0) + raw)


def leaf(kind, entries):
    """Subkey list cell of kind li/lf/lh for [(name, nk offset)]."""
    body = struct.pack("<2sH", kind.encode(), len(entries))
    for name, off in entries:
        if kind == "li":
            body += struct.pack("<I", off)
        elif kind == "lf":
            body += struct.pack("<I", off) + name[:4].encode("latin-1").ljust(4, b"\0")
        else:
            body += struct.pack("<II", off, name_hash(name))
    return cell(body)


def make_hive(root_name="ROOT", minor=5, nsub=0, kind="lh", big=0):
    """Empty hive; with nsub > 0 the root gets subkeys K0000, K0001, ...
    listed in one li/lf/lh leaf, or (kind "ri") in an index root over lh
    leaves of at most 500 entries.  With big > 0 the root gets a REG_BINARY
    value "BigDb" of that many bytes (i % 251), stored the way the format
    wants data over 16344 bytes in a 1.4+ hive: a db record whose segment
    list points at cells of at most 16344 bytes each."""
    now = filetime_now()
    root_off = 0x20                        # first cell follows the 32-byte hbin header
    names = ["K%04d" % i for i in range(nsub)]
    root_len = len(nk_cell(root_name, 0, 0, 0, 0))
    sk_off = root_off + root_len
    sd = security_descriptor()
    sk = cell(struct.pack("<2sHIIII", b"sk", 0, sk_off, sk_off, 1 + nsub, len(sd)) + sd)
    off = sk_off + len(sk)
    children = b""
    entries = []
    for n in names:
        c = nk_cell(n, 0, now, root_off, sk_off)
        entries.append((n, off))
        children += c
        off += len(c)
    lists = b""
    subl = NONE
    if nsub:
        if kind == "ri":
            leaves = []
            for i in range(0, nsub, 500):
                c = leaf("lh", entries[i:i + 500])
                leaves.append(off)
                lists += c
                off += len(c)
            subl = off
            lists += cell(struct.pack("<2sH", b"ri", len(leaves)) +
                          b"".join(struct.pack("<I", x) for x in leaves))
        else:
            subl = off
            lists += leaf(kind, entries)
    off = sk_off + len(sk) + len(children) + len(lists)
    values = b""
    nval, vlist = 0, NONE
    if big:
        data = bytes(i % 251 for i in range(big))
        segs = []
        for i in range(0, big, 16344):
            c = cell(data[i:i + 16344])
            segs.append(off)
            values += c
            off += len(c)
        seglist = off
        c = cell(b"".join(struct.pack("<I", x) for x in segs))
        values += c
        off += len(c)
        db = off
        c = cell(struct.pack("<2sHI", b"db", len(segs), seglist))
        values += c
        off += len(c)
        vk = off
        c = cell(struct.pack("<2sHIIIHH", b"vk", 5, big, db, 3, 1, 0) + b"BigDb")
        values += c
        off += len(c)
        vlist = off
        values += cell(struct.pack("<I", vk))
        nval = 1
    root = nk_cell(root_name, 0x0004 | 0x0008, now, NONE, sk_off,  # HIVE_ENTRY | NO_DELETE
                   nsub, subl, max((2 * len(n) for n in names), default=0),
                   nval, vlist, 10 if big else 0, big)
    cells = root + sk + children + lists + values
    used = 0x20 + len(cells)
    size = (used + 8 + 4095) // 4096 * 4096  # keep room for a free cell
    free = size - used                     # rest of the bin: one free cell
    cells += struct.pack("<i", free) + b"\0" * (free - 4)
    hbin = struct.pack("<4sIIQQI", b"hbin", 0, size, 0, now, 0) + cells

    bb = bytearray(BASE)
    struct.pack_into("<4sIIQIIIIIII", bb, 0, b"regf", 1, 1, now,
                     1, minor, 0, 1, root_off, len(hbin), 1)
    struct.pack_into("<I", bb, 508, checksum(bb))
    return bytes(bb) + hbin


# ---------------------------------------------------------------- reading --

class Hive:
    def __init__(self, data):
        self.d = data

    def u16(self, o): return struct.unpack_from("<H", self.d, o)[0]
    def u32(self, o): return struct.unpack_from("<I", self.d, o)[0]
    def i32(self, o): return struct.unpack_from("<i", self.d, o)[0]

    def cell(self, rel):
        """(payload offset, payload size) of the allocated cell at rel."""
        o = BASE + rel
        size = self.i32(o)
        if size >= 0:
            raise ValueError("cell 0x%x is not allocated" % rel)
        return o + 4, -size - 4

    def name(self, o, length, compressed):
        raw = self.d[o:o + length]
        return raw.decode("latin-1") if compressed else raw.decode("utf-16-le", "replace")


def upper_key(name):
    # Windows compares uppercased UTF-16 code units; str.upper() is close
    # enough for Latin and Cyrillic test names (a guess for exotic scripts).
    return [ord(c) for c in name.upper()]


def name_hash(name):
    h = 0
    for unit in struct.iter_unpack("<H", name.upper().encode("utf-16-le")):
        h = (h * 37 + unit[0]) & 0xFFFFFFFF
    return h


def info(path):
    data = open(path, "rb").read()
    h = Hive(data)
    bad = []
    seq1, seq2 = h.u32(4), h.u32(8)
    stored, calc = h.u32(508), checksum(data[:BASE])
    print("file %s: %d bytes" % (path, len(data)))
    print("  signature %r  seq %d/%d  version 1.%d  type %d  format %d"
          % (data[:4], seq1, seq2, h.u32(24), h.u32(28), h.u32(32)))
    print("  root cell 0x%x  hbins size %d  clustering %d  checksum 0x%08x (%s)"
          % (h.u32(36), h.u32(40), h.u32(44), stored,
             "ok" if stored == calc else "WRONG, computed 0x%08x" % calc))
    dirty = seq1 != seq2 or stored != calc
    print("  state: %s" % ("DIRTY (needs log replay)" if dirty else "clean"))
    for ext in (".LOG", ".LOG1", ".LOG2"):
        for p in (path + ext, path + ext.lower()):
            if os.path.exists(p):
                size = os.path.getsize(p)
                print("  log %s: %d bytes%s" % (os.path.basename(p), size,
                      "" if size == 0 else log_summary(open(p, "rb").read(), seq1, seq2)))
                break

    # hive bins: contiguous, sizes multiple of 4096, cells fill them exactly
    off, end = BASE, BASE + h.u32(40)
    nbins = 0
    while off < end:
        if data[off:off + 4] != b"hbin" or h.u32(off + 4) != off - BASE:
            bad.append("hbin at 0x%x: bad signature or offset" % off)
            break
        size = h.u32(off + 8)
        if size % 4096:
            bad.append("hbin at 0x%x: size %d" % (off, size))
        c = off + 32
        while c < off + size:
            cs = abs(h.i32(c))
            if cs == 0 or cs % 8:
                bad.append("cell at rel 0x%x: size %d" % (c - BASE, h.i32(c)))
                break
            c += cs
        if c != off + size:
            bad.append("hbin at 0x%x: cells overrun the bin" % off)
        off += size
        nbins += 1
    print("  %d hive bin(s), %d bytes after the last bin" % (nbins, len(data) - off))

    seen = set()

    def walk(rel, depth):
        if rel in seen:
            bad.append("cycle at nk 0x%x" % rel)
            return
        seen.add(rel)
        o, _ = h.cell(rel)
        if data[o:o + 2] != b"nk":
            bad.append("rel 0x%x is not nk" % rel)
            return
        flags = h.u16(o + 2)
        nlen = h.u16(o + 72)
        nm = h.name(o + 76, nlen, flags & 0x20)
        sk = h.u32(o + 44)
        sko, _ = h.cell(sk)
        print("  %s%s  [nk 0x%x flags 0x%04x %s name, sk 0x%x refs %d]"
              % ("  " * depth, nm or "(root)", rel, flags,
                 "latin1" if flags & 0x20 else "utf16", sk, h.u32(sko + 12)))
        nval, vlist = h.u32(o + 36), h.u32(o + 40)
        if nval:
            lo, _ = h.cell(vlist)
            for i in range(nval):
                vo, _ = h.cell(h.u32(lo + 4 * i))
                vlen, dsize, doff, vtype, vflags = struct.unpack_from("<HIIIH", data, vo + 2)
                vname = h.name(vo + 20, vlen, vflags & 1) or "@"
                real = dsize & 0x7FFFFFFF
                where = "inline" if dsize & 0x80000000 else "cell"
                if where == "cell" and real:
                    po, _ = h.cell(doff)
                    if data[po:po + 2] == b"db" and real > 16344:
                        where = "db(%d segments)" % h.u16(po + 2)
                print("  %s  = %s type %d, %d bytes, %s, %s name"
                      % ("  " * depth, vname, vtype, real, where,
                         "latin1" if vflags & 1 else "utf16"))
        nsub, slist = h.u32(o + 20), h.u32(o + 28)
        if not nsub:
            return
        lo, _ = h.cell(slist)
        kind = data[lo:lo + 2]
        lists = [slist]
        top = kind.decode("latin-1")
        if kind == b"ri":
            lists = [h.u32(lo + 4 + 4 * i) for i in range(h.u16(lo + 2))]
            top = "ri over %d leaves" % len(lists)
        children = []
        for lrel in lists:
            lo, _ = h.cell(lrel)
            kind = data[lo:lo + 2]
            step = 4 if kind == b"li" else 8
            for i in range(h.u16(lo + 2)):
                child = h.u32(lo + 4 + step * i)
                co, _ = h.cell(child)
                cname = h.name(co + 76, h.u16(co + 72), h.u16(co + 2) & 0x20)
                if kind == b"lh" and h.u32(lo + 8 + step * i) != name_hash(cname):
                    bad.append("lh hash of %r wrong" % cname)
                if kind == b"lf":
                    hint = data[lo + 8 + step * i: lo + 12 + step * i]
                    if all(ord(ch) < 256 for ch in cname[:4]):
                        ok = hint == cname[:4].encode("latin-1").ljust(4, b"\0")
                    else:                  # not convertible: first byte 0
                        ok = hint[0] == 0
                    if not ok:
                        bad.append("lf hint of %r is %r" % (cname, hint))
                children.append((cname, child))
        keys = [upper_key(n) for n, _ in children]
        if keys != sorted(keys):
            bad.append("subkeys of %r not in Windows order (uppercase code units): %s"
                       % (nm, [n for n, _ in children]))
        if len(children) != nsub:
            bad.append("%r: %d subkeys counted, %d listed" % (nm, nsub, len(children)))
        print("  %s  (subkey list %s)" % ("  " * depth, top))
        for _, child in children:
            walk(child, depth + 1)

    walk(h.u32(36), 0)
    for b in bad:
        print("  CHECK FAILED: " + b)
    return 1 if bad else 0


def log_summary(log, seq1, seq2):
    if log[:4] != b"regf":
        return " (no regf base block)"
    ls1, ls2, ftype = struct.unpack_from("<II", log, 4) + struct.unpack_from("<I", log, 28)
    ok = checksum(log[:512]) == struct.unpack_from("<I", log, 508)[0]
    s = " (base block seq %d/%d, file type %d, checksum %s" % (ls1, ls2, ftype, "ok" if ok else "bad")
    if ftype == 6:                       # new format: HvLE entries from byte 512
        o, newest, n = 512, None, 0
        while o + 40 <= len(log) and log[o:o + 4] == b"HvLE":
            size, _, eseq = struct.unpack_from("<III", log, o + 4)
            newest = eseq
            n += 1
            if size < 512 or size % 512:
                break
            o += size
        s += ", %d HvLE entries, last seq %s" % (n, newest)
        if seq1 != seq2:
            s += "; hive dirty: Windows would replay entries from seq %d on" % ls1
        elif newest is not None and newest >= seq1:
            s += "; newer than the hive, but ignored while the hive is clean"
    return s + ")"


def make_dirty(src, dst, with_log):
    data = bytearray(open(src, "rb").read())
    seq2 = struct.unpack_from("<I", data, 8)[0]
    struct.pack_into("<I", data, 4, seq2 + 1)
    struct.pack_into("<I", data, 508, checksum(data[:BASE]))
    open(dst, "wb").write(data)
    if with_log:
        # Not a replayable log: a 512-byte base block copy (file type 6, as
        # Windows 8.1+ writes) and one empty "HvLE" entry, enough to look
        # non-empty and newer to a checker.
        log = bytearray(data[:512])
        struct.pack_into("<III", log, 4, seq2 + 1, seq2 + 1, 0)
        struct.pack_into("<I", log, 28, 6)
        struct.pack_into("<I", log, 508, checksum(log))
        entry = bytearray(512)
        struct.pack_into("<4sIIIII", entry, 0, b"HvLE", 512, 0, seq2 + 1, struct.unpack_from("<I", data, 40)[0], 0)
        open(dst + ".LOG1", "wb").write(bytes(log) + bytes(entry))
        open(dst + ".LOG2", "wb").close()


def main(argv):
    if len(argv) >= 2 and argv[0] == "make":
        root, minor, nsub, kind, big = "ROOT", 5, 0, "lh", 0
        rest = argv[2:]
        while rest:
            if rest[0] == "--root":
                root = rest[1]
            elif rest[0] == "--minor":
                minor = int(rest[1])
            elif rest[0] == "--subkeys":
                nsub = int(rest[1])
            elif rest[0] == "--list" and rest[1] in ("li", "lf", "lh", "ri"):
                kind = rest[1]
            elif rest[0] == "--bigvalue":
                big = int(rest[1])
            else:
                sys.exit("unknown option " + rest[0])
            rest = rest[2:]
        with open(argv[1], "wb") as f:
            f.write(make_hive(root, minor, nsub, kind, big))
        return 0
    if len(argv) >= 3 and argv[0] == "dirty":
        make_dirty(argv[1], argv[2], "--log" in argv[3:])
        return 0
    if len(argv) == 2 and argv[0] == "info":
        return info(argv[1])
    sys.exit(__doc__)


if __name__ == "__main__":
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    sys.exit(main(sys.argv[1:]))
