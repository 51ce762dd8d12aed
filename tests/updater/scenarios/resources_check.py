#!/usr/bin/env python3
"""Reads the resources compiled into Talvex.exe straight from the PE file and
checks them: the update dialog 102 and the about box 100, string 101, the
icon 128 in every size and colour depth, the version block and the
application manifest, all in Chinese (PRC). Needs no Wine.

Argument: the processor the tree is built for, x86 (the default) or amd64.
Environment (set by ctest): SUITE_BIN.
"""

import os
import struct
import sys

RT_ICON, RT_STRING, RT_DIALOG, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 6, 5, 14, 16, 24
LANG_ZH_CN = 0x0804

WS_POPUP, WS_CAPTION, WS_SYSMENU, WS_THICKFRAME = 0x80000000, 0x00C00000, 0x00080000, 0x00040000
WS_VISIBLE, DS_MODALFRAME, DS_SETFONT, DS_FIXEDSYS = 0x10000000, 0x80, 0x40, 0x8
WS_EX_APPWINDOW = 0x40000


class Failure(Exception):
    pass


def check_equal(want, got, what):
    if want != got:
        raise Failure(f"{what}: want {want!r}, got {got!r}")


# The image kind each processor's build must have: machine field, optional
# header magic, and where the data directories start in that header.
IMAGE_KINDS = {"x86": (0x14C, 0x10B, 96), "amd64": (0x8664, 0x20B, 112)}


def resources(path, arch):
    """{(type, id): (lang, bytes)} of a PE image's resource tree (numeric ids),
    after checking that the image is of the kind built for arch."""
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    check_equal(b"PE\0\0", data[pe:pe + 4], "PE signature")
    machine, sections, opt_size = struct.unpack_from("<HHxxxxxxxxxxxxH", data, pe + 4)
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    want_machine, want_magic, directories = IMAGE_KINDS[arch]
    check_equal((want_machine, want_magic), (machine, magic), f"machine and header of a {arch} image")
    rsrc_rva = struct.unpack_from("<I", data, opt + directories + 2 * 8)[0]
    table = opt + opt_size
    spans = []
    for i in range(sections):
        vsize, vaddr, rawsize, rawptr = struct.unpack_from("<IIII", data, table + i * 40 + 8)
        spans.append((vaddr, max(vsize, rawsize), rawptr))

    def at(rva):
        for vaddr, size, rawptr in spans:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + rawptr
        raise Failure(f"RVA {rva:#x} outside the sections")

    base = at(rsrc_rva)

    def entries(offset):
        named, ids = struct.unpack_from("<HH", data, base + offset + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + offset + 16 + i * 8)
            yield name, target

    out = {}
    for rtype, t in entries(0):
        for rid, r in entries(t & 0x7FFFFFFF):
            for lang, leaf in entries(r & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", data, base + leaf)
                out[(rtype, rid)] = (lang, data[at(rva):at(rva) + size])
    return out


def sz(data, pos):
    """A UTF-16 zero-terminated text (or an ordinal) in a dialog template."""
    if data[pos:pos + 2] == b"\xff\xff":
        return struct.unpack_from("<H", data, pos + 2)[0], pos + 4
    end = pos
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[pos:end].decode("utf-16-le"), end + 2


def dialog(data):
    """Caption, size, styles, font and control texts of a DIALOGEX template."""
    check_equal(0xFFFF0001, struct.unpack_from("<I", data, 0)[0], "DIALOGEX signature")
    _, exstyle, style, count, _, _, cx, cy = struct.unpack_from("<IIIHhhhh", data, 4)
    menu, pos = sz(data, 26)
    cls, pos = sz(data, pos)
    caption, pos = sz(data, pos)
    points = struct.unpack_from("<H", data, pos)[0]
    face, pos = sz(data, pos + 6)
    controls = []
    for _ in range(count):
        pos = (pos + 3) & ~3
        cstyle = struct.unpack_from("<I", data, pos + 8)[0]
        x, y, w, h, cid = struct.unpack_from("<hhhhi", data, pos + 12)
        ccls, p = sz(data, pos + 24)
        text, p = sz(data, p)
        extra = struct.unpack_from("<H", data, p)[0]
        pos = p + 2 + extra
        controls.append((ccls, text, (x, y, w, h), cid))
    return {"style": style, "exstyle": exstyle, "size": (cx, cy), "caption": caption,
            "font": (points, face), "controls": controls}


def main():
    arch = sys.argv[1] if len(sys.argv) > 1 else "x86"
    res = resources(os.path.join(os.environ["SUITE_BIN"], "Talvex.exe"), arch)
    for key, (lang, _) in res.items():
        check_equal(LANG_ZH_CN, lang, f"language of resource {key}")

    update = dialog(res[(RT_DIALOG, 102)][1])
    check_equal(((320, 200), "Talvex", (9, "MS Shell Dlg"), []),
                (update["size"], update["caption"], update["font"], update["controls"]),
                "dialog 102")
    want = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | DS_SETFONT | DS_FIXEDSYS
    check_equal(want, update["style"] & (want | WS_VISIBLE), "dialog 102 styles (not visible)")
    check_equal(WS_EX_APPWINDOW, update["exstyle"] & WS_EX_APPWINDOW, "dialog 102 taskbar button")

    about = dialog(res[(RT_DIALOG, 100)][1])
    check_equal(((170, 62), "关于 Talvex", (9, "MS Shell Dlg")),
                (about["size"], about["caption"], about["font"]), "dialog 100")
    want = DS_MODALFRAME | WS_CAPTION | WS_SYSMENU | DS_SETFONT | DS_FIXEDSYS
    check_equal(want, about["style"] & want, "dialog 100 styles")
    check_equal([(0x82, 128, (14, 14)), (0x82, "Talvex，1.0 版", (42, 14), (114, 8)),
                 (0x80, "确定", (113, 41), (50, 14), 1)],
                [(c[0], c[1], c[2][:2]) if i == 0 else
                 (c[0], c[1], c[2][:2], c[2][2:]) + ((c[3],) if i == 2 else ())
                 for i, c in enumerate(about["controls"])], "dialog 100 controls")

    strings = res[(RT_STRING, 101 // 16 + 1)][1]
    pos = 0
    for _ in range(101 % 16):
        pos += 2 + 2 * struct.unpack_from("<H", strings, pos)[0]
    length = struct.unpack_from("<H", strings, pos)[0]
    check_equal("关于 Talvex(&A)...", strings[pos + 2:pos + 2 + 2 * length].decode("utf-16-le"),
                "string 101")

    group = res[(RT_GROUP_ICON, 128)][1]
    count = struct.unpack_from("<H", group, 4)[0]
    images = sorted((group[6 + i * 14] or 256, struct.unpack_from("<H", group, 6 + i * 14 + 6)[0])
                    for i in range(count))
    check_equal(sorted((s, b) for s in (16, 32, 48, 256) for b in (4, 8, 32)), images,
                "icon 128: sizes and colour depths")

    version = res[(RT_VERSION, 1)][1]
    fixed = version.find(struct.pack("<I", 0xFEEF04BD))
    check_equal((0x00010000, 0x00000001, 0x00010000, 0x00000001),
                struct.unpack_from("<IIII", version, fixed + 8), "file and product version")
    text = version.decode("utf-16-le", "replace")
    for key, value in (("FileDescription", "Talvex"), ("InternalName", "Talvex.exe"),
                       ("FileVersion", "1.0.0.1"), ("ProductVersion", "1.0.0.1")):
        check_equal(True, f"{key}\0{value}" in text.replace("\0\0", "\0"),
                    f"version value {key}")

    manifest = res[(RT_MANIFEST, 1)][1].decode("utf-8")
    check_equal(True, 'level="asInvoker"' in manifest, "manifest: as invoker")
    check_equal(True, ">true</dpiAware>" in manifest, "manifest: DPI-aware")
    check_equal(True, f'processorArchitecture="{arch}"' in manifest, "manifest: processor")
    print(f"resources of Talvex.exe ({arch}): ok")


if __name__ == "__main__":
    try:
        main()
    except Failure as error:
        print(f"FAIL {error}")
        sys.exit(1)
