#!/usr/bin/env python3
"""Lists the resources of a Windows executable: menus, dialogs with their controls,
string tables and icon groups, each with its language, texts decoded.

  dump-resources.py EXE            prints the dump
  dump-resources.py --check EXE    also checks that the program's resources are all
                                   there in English (1033) and, where they have a
                                   Japanese copy, in Japanese (1041), the dialogs with
                                   their styles, every control's kind, style, text and
                                   place; exit 1 if not.
"""
import struct
import sys

RT_NAMES = {1: "CURSOR", 2: "BITMAP", 3: "ICON", 4: "MENU", 5: "DIALOG", 6: "STRING",
            14: "GROUP_ICON", 16: "VERSION", 24: "MANIFEST"}
CLASS_ATOMS = {0x80: "Button", 0x81: "Edit", 0x82: "Static", 0x83: "ListBox",
               0x84: "ScrollBar", 0x85: "ComboBox"}


class PE:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        sections, opt_size = struct.unpack_from("<H12xH", data, pe + 6)
        opt = pe + 24
        magic = struct.unpack_from("<H", data, opt)[0]
        dirs = opt + (96 if magic == 0x10B else 112)
        self.rsrc_rva, self.rsrc_size = struct.unpack_from("<II", data, dirs + 2 * 8)
        self.sections = []
        table = opt + opt_size
        for i in range(sections):
            vsize, va, raw_size, raw_ptr = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            self.sections.append((va, max(vsize, raw_size), raw_ptr))

    def offset(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("rva %#x outside every section" % rva)

    def resources(self):
        """Yields (type, name, language, bytes)."""
        base = self.offset(self.rsrc_rva)

        def entries(at):
            named, ids = struct.unpack_from("<HH", self.data, base + at + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, base + at + 16 + 8 * i)
                if name & 0x80000000:
                    p = base + (name & 0x7FFFFFFF)
                    length = struct.unpack_from("<H", self.data, p)[0]
                    key = self.data[p + 2:p + 2 + 2 * length].decode("utf-16-le")
                else:
                    key = name
                yield key, target

        for rtype, t in entries(0):
            for name, n in entries(t & 0x7FFFFFFF):
                for lang, leaf in entries(n & 0x7FFFFFFF):
                    rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    p = self.offset(rva)
                    yield rtype, name, lang, self.data[p:p + size]


def sz(data, p):
    """A zero-terminated UTF-16 text at p: (text, next offset)."""
    end = p
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[p:end].decode("utf-16-le"), end + 2


def sz_or_ord(data, p):
    first = struct.unpack_from("<H", data, p)[0]
    if first == 0:
        return "", p + 2
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, p + 2)[0], p + 4
    return sz(data, p)


def align4(p):
    return (p + 3) & ~3


def decode_menu(data):
    items = []
    p = 4  # version and header size
    while p < len(data):
        flags = struct.unpack_from("<H", data, p)[0]
        p += 2
        ident = None
        if not flags & 0x10:  # not a pop-up
            ident = struct.unpack_from("<H", data, p)[0]
            p += 2
        text, p = sz(data, p)
        items.append((text, ident, flags))
        if flags & 0x80 and not flags & 0x10:
            break
    return items


def decode_dialog(data):
    style, exstyle, count, x, y, cx, cy = struct.unpack_from("<IIHhhhh", data, 0)
    p = 18
    _, p = sz_or_ord(data, p)  # menu
    _, p = sz_or_ord(data, p)  # class
    caption, p = sz(data, p)
    font = None
    if style & 0x40:  # DS_SETFONT
        size = struct.unpack_from("<H", data, p)[0]
        face, p = sz(data, p + 2)
        font = (size, face)
    controls = []
    for _ in range(count):
        p = align4(p)
        cstyle, cex, ix, iy, icx, icy, ident = struct.unpack_from("<IIhhhhH", data, p)
        p += 18
        cls, p = sz_or_ord(data, p)
        text, p = sz_or_ord(data, p)
        extra = struct.unpack_from("<H", data, p)[0]
        p += 2 + extra
        controls.append(dict(id=ident, cls=CLASS_ATOMS.get(cls, cls), text=text, style=cstyle,
                             rect=(ix, iy, icx, icy)))
    return dict(style=style, exstyle=exstyle, rect=(x, y, cx, cy), caption=caption, font=font,
                controls=controls)


def decode_strings(block, data):
    strings = {}
    p = 0
    for i in range(16):
        length = struct.unpack_from("<H", data, p)[0]
        p += 2
        if length:
            strings[(block - 1) * 16 + i] = data[p:p + 2 * length].decode("utf-16-le")
        p += 2 * length
    return strings


def decode_group_icon(data):
    _, _, count = struct.unpack_from("<HHH", data, 0)
    images = []
    for i in range(count):
        w, h, colours, _, planes, bits, size, ident = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        images.append((w or 256, h or 256, colours, bits))
    return images


def dump(path):
    with open(path, "rb") as f:
        pe = PE(f.read())
    found = {"MENU": {}, "DIALOG": {}, "STRING": {}, "GROUP_ICON": {}}
    for rtype, name, lang, data in pe.resources():
        kind = RT_NAMES.get(rtype, rtype)
        if kind == "MENU":
            items = decode_menu(data)
            found["MENU"][(name, lang)] = items
            print("MENU %s lang %d" % (name, lang))
            for text, ident, flags in items:
                print("  item %r id %s flags %#x" % (text, ident, flags))
        elif kind == "DIALOG":
            d = decode_dialog(data)
            found["DIALOG"][(name, lang)] = d
            print("DIALOG %s lang %d caption %r style %#010x at %s font %s" %
                  (name, lang, d["caption"], d["style"], d["rect"], d["font"]))
            for c in d["controls"]:
                print("  control id %5d %-8s %-40r style %#010x at %s" %
                      (c["id"], c["cls"], c["text"], c["style"], c["rect"]))
        elif kind == "STRING":
            for ident, text in decode_strings(name, data).items():
                found["STRING"][(ident, lang)] = text
                print("STRING %d lang %d %r" % (ident, lang, text))
        elif kind == "GROUP_ICON":
            images = decode_group_icon(data)
            found["GROUP_ICON"][(name, lang)] = images
            print("GROUP_ICON %s lang %d images %s" % (name, lang, images))
        else:
            print("%s %s lang %d, %d bytes" % (kind, name, lang, len(data)))
    return found


WS_CHILD, WS_VISIBLE, WS_TABSTOP, WS_GROUP, WS_VSCROLL = 0x40000000, 0x10000000, 0x10000, 0x20000, 0x200000
CBS_SORT, CBS_DROPDOWNLIST = 0x100, 3

# Control kinds: (class, style bits that must be set, style bits that must be clear,
# mask of the type field, its value).
KINDS = {
    "defpush": ("button", WS_TABSTOP, 0, 0xF, 1),
    "push": ("button", WS_TABSTOP, 0, 0xF, 0),
    "radio": ("button", 0, WS_TABSTOP, 0xF, 4),        # manual radio button
    "check": ("button", WS_TABSTOP, 0, 0xF, 2),        # manual check box
    "group": ("button", 0, WS_TABSTOP, 0xF, 7),
    "list": ("combobox", WS_TABSTOP | WS_VSCROLL, CBS_SORT, 0x3, CBS_DROPDOWNLIST),
    "label": ("static", WS_GROUP, WS_TABSTOP, 0x1F, 0),  # left-aligned, starts a group
    "text": ("static", 0, WS_TABSTOP, 0x1F, 0),            # left-aligned
}

# The dialogs as the program shows them: (id, kind, text, (x, y, w, h)).
# The stop dialog's texts wrap where one line would cut them (the first one in
# English, the first two in Japanese), so both copies are taller than 63 units.
STOP_EN = [
    (2, "defpush", "Continue", (103, 50, 50, 14)),
    (65535, "text", "If you abort the transfer, the device may not be able to start up normally.",
     (6, 6, 191, 16)),
    (65535, "text", "(If so try the transfer again and let it complete.)", (6, 24, 191, 8)),
    (65535, "text", "Are you sure you wish to abort the transfer?", (6, 33, 191, 8)),
    (1, "push", "Abort", (49, 50, 50, 14)),
]
STOP_JA_TEXTS = ["続行", "転送中に停止すると、通常起動ができなくなります。",
                 "(再度ＩＰＬモードでシステム転送を完了してください)", "転送を停止してもよろしいですか？", "停止"]
STOP_JA_GEOMETRY = {2: (94, 59, 47, 12), 1: (38, 59, 47, 12)}
STOP_JA_TEXT_PLACES = [(6, 6, 143, 16), (6, 24, 143, 16), (6, 42, 143, 8)]
CONFIG_EN = [
    (1, "defpush", "OK", (46, 165, 50, 14)),
    (2, "push", "Cancel", (102, 165, 50, 14)),
    (101, "radio", "Use Serial Port", (10, 12, 100, 10)),
    (102, "radio", "Use MIDI", (10, 70, 45, 10)),
    (114, "group", "Port", (23, 26, 86, 35)),
    (103, "radio", "COM1", (28, 35, 35, 10)),
    (104, "radio", "COM2", (68, 35, 35, 10)),
    (105, "radio", "COM3", (28, 47, 35, 10)),
    (106, "radio", "COM4", (68, 47, 35, 10)),
    (115, "group", "Baudrate", (117, 26, 56, 35)),
    (108, "radio", "38.4kBps", (121, 35, 46, 10)),
    (109, "radio", "57.6kBps", (121, 47, 46, 10)),
    (110, "list", "", (59, 86, 119, 53)),
    (112, "label", "Out Port", (21, 88, 36, 10)),
    (111, "list", "", (59, 102, 119, 50)),
    (113, "label", "In Port", (21, 104, 38, 10)),
    (65535, "group", "Device Select", (4, 1, 188, 141)),
    (107, "check", "Skip Version Check", (11, 147, 102, 15)),
    (65535, "group", "", (17, 19, 165, 47)),
    (65535, "group", "", (17, 77, 165, 59)),
    (116, "list", "", (101, 117, 77, 67)),
    (117, "label", "Data Transfer Rate", (21, 120, 68, 8)),
]
CONFIG_JA_GEOMETRY = {1: (60, 165, 50, 12), 2: (116, 165, 50, 12), 107: (13, 147, 102, 15),
                      116: (96, 118, 82, 54), 117: (21, 120, 74, 10)}
STOP_STYLE = 0x90C800C4    # WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_3DLOOK
CONFIG_STYLE = 0x80C800C0  # WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT


def control_faults(dialog, expected):
    """What differs between a decoded dialog's controls and the expected table."""
    faults = []
    controls = dialog["controls"]
    if len(controls) != len(expected):
        return ["%d controls, not %d" % (len(controls), len(expected))]
    for n, (c, (ident, kind, text, rect)) in enumerate(zip(controls, expected)):
        cls, must, must_not, mask, value = KINDS[kind]
        where = "control %d (id %d)" % (n + 1, ident)
        got_cls = c["cls"].lower() if isinstance(c["cls"], str) else c["cls"]
        if c["id"] != ident:
            faults.append("%s: id %d" % (where, c["id"]))
        if got_cls != cls:
            faults.append("%s: class %r, not %s" % (where, c["cls"], cls))
        style = c["style"]
        if style & (WS_CHILD | WS_VISIBLE) != WS_CHILD | WS_VISIBLE:
            faults.append("%s: not a visible child (style %#x)" % (where, style))
        if style & must != must or style & must_not or style & mask != value:
            faults.append("%s: style %#x is not that of a %s" % (where, style, kind))
        if c["text"] != text:
            faults.append("%s: text %r, not %r" % (where, c["text"], text))
        if tuple(c["rect"]) != rect:
            faults.append("%s: at %s, not %s" % (where, c["rect"], rect))
    return faults


def check(found):
    problems = []

    def need(condition, what):
        print(("ok      " if condition else "MISSING ") + what)
        if not condition:
            problems.append(what)

    menu = found["MENU"].get(("VUPMENU", 1033))
    need(menu is not None and [(t, i) for t, i, _ in menu] ==
         [("&Exit", 201), ("&Update...", 207), ("&Stop...", 202), ("&Config...", 203)],
         "menu VUPMENU (1033) with &Exit 201, &Update... 207, &Stop... 202, &Config... 203")
    icons = [v for (n, _), v in found["GROUP_ICON"].items() if n == "VWICON"]
    need(bool(icons) and sorted((w, h, b) for w, h, _, b in icons[0]) == [(16, 16, 4), (32, 32, 4)],
         "icon VWICON with 32x32 and 16x16 images of 16 colours")
    stop_en = found["DIALOG"].get(("STOP_DIALOG", 1033))
    need(stop_en is not None and stop_en["style"] == 0x90C800C4 and stop_en["rect"] == (15, 10, 204, 72)
         and [c["id"] for c in stop_en["controls"]] == [2, 65535, 65535, 65535, 1]
         and stop_en["controls"][0]["text"] == "Continue" and stop_en["controls"][4]["text"] == "Abort",
         "STOP_DIALOG (1033): style 0x90C800C4, 204 x 72, Continue 2 ... Abort 1")
    if stop_en is not None:
        faults = control_faults(stop_en, STOP_EN)
        need(not faults and stop_en["caption"] == "Stop transfer" and stop_en["font"] == (8, "MS Sans Serif"),
             "STOP_DIALOG (1033): caption, font and every control's kind, style, text and place"
             + "".join("\n        " + f for f in faults))
    stop_ja = found["DIALOG"].get(("STOP_DIALOG", 1041))
    if stop_ja is not None:
        places = [STOP_JA_GEOMETRY[2]] + STOP_JA_TEXT_PLACES + [STOP_JA_GEOMETRY[1]]
        expected = [(i, k, t, place)
                    for (i, k, _, _), t, place in zip(STOP_EN, STOP_JA_TEXTS, places)]
        faults = control_faults(stop_ja, expected)
        if stop_ja["style"] != STOP_STYLE:
            faults.insert(0, "dialog style %#x" % stop_ja["style"])
        need(not faults and stop_ja["caption"] == "Stop transfer",
             "STOP_DIALOG (1041): caption, style and every control's kind, style, text and place"
             + "".join("\n        " + f for f in faults))
    need(stop_ja is not None and stop_ja["rect"][2:] == (155, 81)
         and stop_ja["font"] == (9, "ＭＳ Ｐゴシック")
         and stop_ja["controls"][0]["text"] == "続行" and stop_ja["controls"][4]["text"] == "停止"
         and stop_ja["controls"][3]["text"] == "転送を停止してもよろしいですか？",
         "STOP_DIALOG (1041): 155 x 81, ＭＳ Ｐゴシック 9, 続行 / 停止")
    config_ids = [1, 2, 101, 102, 114, 103, 104, 105, 106, 115, 108, 109, 110, 112, 111, 113,
                  65535, 107, 65535, 65535, 116, 117]
    for lang, face, size in ((1033, "MS Sans Serif", 8), (1041, "ＭＳ ゴシック", 9)):
        d = found["DIALOG"].get(("CONFIG_DIALOG", lang))
        need(d is not None and d["caption"] == "Config" and d["rect"] == (15, 10, 197, 185)
             and d["font"] == (size, face) and [c["id"] for c in d["controls"]] == config_ids,
             "CONFIG_DIALOG (%d): Config, 197 x 185, %s %d, 22 controls in order" % (lang, face, size))
        if d is not None:
            expected = [(i, k, t, CONFIG_JA_GEOMETRY.get(i, r) if lang == 1041 else r)
                        for i, k, t, r in CONFIG_EN]
            faults = control_faults(d, expected)
            if d["style"] != CONFIG_STYLE:
                faults.insert(0, "dialog style %#x" % d["style"])
            need(not faults,
                 "CONFIG_DIALOG (%d): style %#x (modal frame, caption, system menu) and every "
                 "control's kind, style, text and place" % (lang, CONFIG_STYLE)
                 + "".join("\n        " + f for f in faults))
    expected = {
        (1001, 1033): "The MIDI output device selected in configuration dialog was not found.\n"
                      "Please select another MIDI output device.",
        (1002, 1033): "The MIDI input device selected in configuration dialog was not found.\n"
                      "Please select another MIDI input device.",
        (1003, 1033): "Failed to change current directory that was used before.\n"
                      "(The application will still operate correctly.)",
        (1003, 1041): "前回起動時のディレクトリへの\n移動に失敗しました。\nディレクトリ移動を行いません。",
    }
    for key, text in expected.items():
        need(found["STRING"].get(key) == text, "string %d (%d) %r" % (key[0], key[1], text[:30]))
    for ident in (1001, 1002):
        text = found["STRING"].get((ident, 1041), "")
        need(text.startswith("設定ファイルで指定された") and "可能性が" in text,
             "string %d (1041) in Japanese" % ident)
    return not problems


def main():
    args = sys.argv[1:]
    checking = bool(args) and args[0] == "--check"
    if checking:
        args = args[1:]
    if len(args) != 1:
        print(__doc__)
        return 2
    found = dump(args[0])
    if checking:
        print()
        return 0 if check(found) else 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
