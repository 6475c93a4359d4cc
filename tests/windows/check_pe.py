#!/usr/bin/python3
"""Checks the release build of the Windows updater, read back from the PE file.

Usage: check_pe.py brightwick-updater.exe

What a player's Windows XP machine needs and what the build scripts cannot
show: a 32-bit GUI program for subsystem 5.01 that imports only system DLLs
(and nothing XP lacks), with the dialog template, the icons and the manifest
exactly as designed, and none of xdelta3's code (GPL: the updater decodes
patches itself). Prints every failed check and exits 1 if there is any.
"""
import struct
import sys
import xml.etree.ElementTree as ElementTree

import pefile

RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_MANIFEST = 3, 5, 14, 24

# DLLs every Windows from XP on ships; anything else (a MinGW runtime DLL,
# libcurl, zlib, winpthreads, bcrypt.dll...) would be missing beside the exe.
ALLOWED_DLLS = {
    "kernel32.dll", "user32.dll", "comctl32.dll", "shell32.dll", "advapi32.dll",
    "crypt32.dll", "ws2_32.dll", "msvcrt.dll", "winmm.dll",
}

# Functions the program must call itself, so a stand-in cannot pass.
REQUIRED_IMPORTS = {
    "user32.dll": {"DialogBoxParamA", "EndDialog", "SetDlgItemTextA", "SendDlgItemMessageA",
                   "MessageBoxA"},
    "comctl32.dll": {"InitCommonControlsEx"},
    "shell32.dll": {"ShellExecuteA"},
    # winhttp.dll, which some Windows XP lack, is loaded at run time (the
    # system's proxy settings) and never imported.
    # GetModuleFileNameW and CreateDirectoryA: the updater finds its own
    # file to replace it, and makes the folders a release adds.
    "kernel32.dll": {"MoveFileExA", "Sleep", "TerminateProcess", "LoadLibraryW", "GetProcAddress",
                     "FreeLibrary", "GlobalFree", "GetModuleFileNameW", "CreateDirectoryA"},
    "msvcrt.dll": {"_beginthread", "_fsopen", "_filelengthi64"},
    "winmm.dll": {"timeBeginPeriod"},
}

# Functions of Windows Vista and later that MinGW, libcurl or libstdc++ pick
# up when built for a newer Windows; XP refuses to load a program that
# imports any of them.
NEWER_THAN_XP = {
    "GetTickCount64", "InitializeSRWLock", "AcquireSRWLockExclusive", "AcquireSRWLockShared",
    "ReleaseSRWLockExclusive", "ReleaseSRWLockShared", "TryAcquireSRWLockExclusive",
    "TryAcquireSRWLockShared", "InitializeConditionVariable", "SleepConditionVariableCS",
    "SleepConditionVariableSRW", "WakeConditionVariable", "WakeAllConditionVariable",
    "InitializeCriticalSectionEx", "InitOnceExecuteOnce", "InitOnceBeginInitialize",
    "InitOnceComplete", "FlsAlloc", "FlsFree", "FlsGetValue", "FlsSetValue",
    "CreateEventExA", "CreateEventExW", "CreateMutexExA", "CreateMutexExW",
    "CreateSemaphoreExW", "GetFileInformationByHandleEx", "SetFileInformationByHandle",
    "CreateSymbolicLinkA", "CreateSymbolicLinkW", "GetFinalPathNameByHandleA",
    "GetFinalPathNameByHandleW", "GetLocaleInfoEx", "LCMapStringEx", "CompareStringEx",
    "GetUserDefaultLocaleName", "QueryFullProcessImageNameA", "QueryFullProcessImageNameW",
    "GetErrorMode", "SetThreadErrorMode", "CancelIoEx", "GetCurrentProcessorNumber",
    "GetLogicalProcessorInformationEx", "WSAPoll", "inet_pton", "inet_ntop", "InetPtonA",
    "InetPtonW", "InetNtopA", "InetNtopW", "if_nametoindex", "if_indextoname",
    "BCryptGenRandom", "BCryptOpenAlgorithmProvider", "_set_invalid_parameter_handler",
    "_localtime64_s", "_gmtime64_s", "localtime_s", "gmtime_s",
}

# Strings xdelta3's library core carries (its messages and result names),
# each found in the updater built while it still applied patches with
# xdelta3; the release build is stripped, so its symbols cannot be looked for.
XDELTA3_STRINGS = [
    b"XD3_INVALID_INPUT", b"XD3_GETSRCBLK", b"not a VCDIFF input",
    b"VCDIFF input version > 0 is not supported", b"VCD_TARGET not implemented",
    b"unknown secondary compressor ID", b"secondary decoder invalid repeat code",
    b"FGK Adaptive Huffman", b"Static Huffman",
]

STYLE = 0x90C808C4  # WS_POPUP|WS_VISIBLE|WS_CAPTION|WS_SYSMENU|DS_CENTER|DS_MODALFRAME|DS_SETFONT|DS_3DLOOK
EX_STYLE = 0x101  # WS_EX_DLGMODALFRAME|WS_EX_WINDOWEDGE
DS_SETFONT = 0x40
WS_EX_NOPARENTNOTIFY = 0x4
STATIC_ATOM = 0x0082

failures = []


def check(condition, what):
    print(("ok      " if condition else "FAILED  ") + what)
    if not condition:
        failures.append(what)


def resource(pe, kind, ident):
    """Bytes of resource `kind`/`ident` (any language), or None."""
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return None
    for kind_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind_entry.id != kind:
            continue
        for id_entry in kind_entry.directory.entries:
            if id_entry.id != ident:
                continue
            for language in id_entry.directory.entries:
                data = language.data.struct
                return pe.get_data(data.OffsetToData, data.Size)
    return None


class Reader:
    """Reads a dialog template: little-endian fields, UTF-16 strings."""

    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, fmt):
        values = struct.unpack_from("<" + fmt, self.data, self.pos)
        self.pos += struct.calcsize("<" + fmt)
        return values if len(values) > 1 else values[0]

    def text(self):
        end = self.pos
        while self.data[end:end + 2] != b"\0\0":
            end += 2
        value = self.data[self.pos:end].decode("utf-16-le")
        self.pos = end + 2
        return value

    def text_or_ordinal(self):
        """A string, or ('ordinal', n) for 0xFFFF n, or '' for none."""
        if self.data[self.pos:self.pos + 2] == b"\xff\xff":
            self.pos += 2
            return ("ordinal", self.take("H"))
        return self.text()

    def align(self):
        self.pos = (self.pos + 3) & ~3


def check_header(pe):
    check(pe.FILE_HEADER.Machine == 0x14C, "machine is i386")
    check(pe.OPTIONAL_HEADER.Magic == 0x10B, "PE32 (32-bit) image")
    check(pe.OPTIONAL_HEADER.Subsystem == 2, "Windows GUI subsystem")
    version = (pe.OPTIONAL_HEADER.MajorSubsystemVersion, pe.OPTIONAL_HEADER.MinorSubsystemVersion)
    check(version == (5, 1), f"subsystem version 5.01 (is {version[0]}.{version[1]:02})")
    os_version = (pe.OPTIONAL_HEADER.MajorOperatingSystemVersion,
                  pe.OPTIONAL_HEADER.MinorOperatingSystemVersion)
    check(os_version <= (5, 1), f"operating system version at most 5.1 (is {os_version})")


def check_imports(pe):
    imported = {}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        names = {i.name.decode() for i in entry.imports if i.name}
        imported.setdefault(entry.dll.decode().lower(), set()).update(names)
    print("imports:", ", ".join(sorted(imported)))
    for dll in sorted(imported):
        check(dll in ALLOWED_DLLS, f"{dll} is a system DLL of Windows XP")
    check(not getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", None), "no delay-loaded DLLs")
    check("winhttp.dll" not in imported, "winhttp.dll is not imported (it is loaded at run time)")
    for dll, names in REQUIRED_IMPORTS.items():
        missing = names - imported.get(dll, set())
        check(not missing, f"{dll} imports {', '.join(sorted(names))}"
              + (f" (missing {', '.join(sorted(missing))})" if missing else ""))
    everything = set().union(*imported.values()) if imported else set()
    newer = sorted(everything & NEWER_THAN_XP)
    check(not newer, "nothing newer than Windows XP imported" + (f": {newer}" if newer else ""))
    # XP's msvcrt.dll has none of the bounds-checked "_s" functions.
    secure = sorted(n for n in imported.get("msvcrt.dll", set()) if n.endswith("_s"))
    check(not secure, "no msvcrt _s functions" + (f": {secure}" if secure else ""))


def check_dialog(pe):
    data = resource(pe, RT_DIALOG, 1)
    check(data is not None, "dialog template IDD_PROGRESS (1) present")
    if data is None:
        return
    t = Reader(data)
    check(struct.unpack_from("<HH", data)[:2] != (1, 0xFFFF), "classic DLGTEMPLATE, not DLGTEMPLATEEX")
    style, ex_style, count, x, y, cx, cy = t.take("IIHhhhh")
    check(style == STYLE, f"dialog style 0x{STYLE:08X} (is 0x{style:08X})")
    check(ex_style == EX_STYLE, f"dialog extended style 0x{EX_STYLE:X} (is 0x{ex_style:X})")
    check((x, y, cx, cy) == (0, 0, 164, 46), f"dialog at 0,0 size 164x46 (is {x},{y} {cx}x{cy})")
    menu, window_class, caption = t.text_or_ordinal(), t.text_or_ordinal(), t.text()
    check(menu == "", f"no menu (is {menu!r})")
    check(window_class == "", f"default dialog class (is {window_class!r})")
    check(caption == "Brightwick Updater", f"caption 'Brightwick Updater' (is {caption!r})")
    if style & DS_SETFONT:
        size, face = t.take("H"), t.text()
        check((size, face) == (8, "MS Shell Dlg"), f"font 8pt 'MS Shell Dlg' (is {size}pt {face!r})")
    check(count == 2, f"two controls (is {count})")

    expected = [
        # id, class, text, style, extended style, x, y, cx, cy
        # The template writes "msctls_progress32"; windres (binutils) stores
        # every class name given as a string in upper case. Harmless: Windows
        # finds window classes by name without regard to case, as the
        # dialog manager's CreateWindowEx does for this control.
        (1, "MSCTLS_PROGRESS32", "Text", 0x50000000, WS_EX_NOPARENTNOTIFY, 7, 7, 154, 14),
        (2, ("ordinal", STATIC_ATOM), "", 0x50020000, WS_EX_NOPARENTNOTIFY, 9, 28, 148, 11),
    ]
    names = ["IDC_PROGRESS", "IDC_STATUS"]
    for index in range(min(count, 2)):
        t.align()
        c_style, c_ex, cx_, cy_, cw, ch, c_id = t.take("IIhhhhH")
        c_class, c_text = t.text_or_ordinal(), t.text_or_ordinal()
        extra = t.take("H")
        t.pos += extra
        got = (c_id, c_class, c_text, c_style, c_ex, cx_, cy_, cw, ch)
        want = expected[index]
        check(got == want, f"control {index + 1} {names[index]}: {want} (is {got})")
        check(extra == 0, f"control {index + 1} has no creation data")
    check(len(data) - t.pos < 4, "nothing after the last control")


def check_icons(pe):
    data = resource(pe, RT_GROUP_ICON, 1)
    check(data is not None, "icon group IDI_APPLICATION_ICON (1) present")
    if data is None:
        return
    reserved, kind, count = struct.unpack_from("<HHH", data)
    check((reserved, kind) == (0, 1), "icon group header")
    check(count == 2, f"two icon images (is {count})")
    sizes = []
    for index in range(count):
        w, h, colours, _, planes, bits, size, ident = struct.unpack_from("<BBBBHHIH", data,
                                                                          6 + 14 * index)
        width = w or 256
        sizes.append(width)
        check(bits == 8, f"icon {width}x{h or 256} has 8 bits per pixel (is {bits})")
        image = resource(pe, RT_ICON, ident)
        check(image is not None and len(image) == size, f"icon image {ident} present, {size} bytes")
        if image is not None:
            header_size, bmp_w, bmp_h, _, bmp_bits = struct.unpack_from("<IiiHH", image)
            check((header_size, bmp_w, bmp_h, bmp_bits) == (40, width, 2 * width, 8),
                  f"icon image {ident} is a {width}x{width} 8-bit bitmap")
    check(sorted(sizes) == [16, 32], f"icon sizes 32 and 16 (are {sizes})")


def check_no_xdelta3(data):
    found = [text.decode() for text in XDELTA3_STRINGS if text in data]
    check(not found, "none of xdelta3's strings" + (f": {found}" if found else ""))


def check_manifest(pe):
    data = resource(pe, RT_MANIFEST, 1)
    check(data is not None, "application manifest (1) present")
    if data is None:
        return
    root = ElementTree.fromstring(data)
    levels = [e for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]
    check(len(levels) == 1, "one requestedExecutionLevel")
    for level in levels:
        check(level.get("level") == "asInvoker", f"level asInvoker (is {level.get('level')})")
        check(level.get("uiAccess") == "false", f"uiAccess false (is {level.get('uiAccess')})")
    dependencies = [e.get("name") for e in root.iter()
                    if e.tag.endswith("}assemblyIdentity") and e.get("name")
                    and "common-controls" in e.get("name").lower()]
    check(not dependencies, "no dependency on Common Controls 6 (classic look)")


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    with open(sys.argv[1], "rb") as exe:
        data = exe.read()
    pe = pefile.PE(data=data)
    check_header(pe)
    check_no_xdelta3(data)
    check_imports(pe)
    check_dialog(pe)
    check_icons(pe)
    check_manifest(pe)
    if failures:
        print(f"\n{len(failures)} check(s) FAILED:\n  " + "\n  ".join(failures))
        return 1
    print("\nall checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
