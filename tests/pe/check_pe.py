"""check_pe.py: checks a built kadron.exe as a file, without running it.

Usage: check_pe.py --exe FILE --machine i386|amd64 --version-header GENERATED/version_info.h [--icon ICO]

The machine type and console subsystem, the imported DLLs, and the version
resource (fixed fields, every string, the translation) and icon group, each
compared with the version data the build was made from: the generated
version_info.h, which also feeds the resource script. Exits 0 when every check
holds, 1 otherwise, naming each failed check.
"""
import argparse
import re
import struct
import sys

import pefile

MACHINES = {"i386": (pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"], 0x10B),
            "amd64": (pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"], 0x20B)}
CONSOLE = pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"]
IMPORTS = {"KERNEL32.DLL", "VERSION.DLL", "MSVCRT.DLL"}
ICON_GROUP_ID = 101
REGISTERED = "\u00ae"

# The string values of the resource script, each with the macro that gives it.
STRINGS = {"Comments": "KADRON_COMMENTS", "CompanyName": "KADRON_COMPANY_NAME",
           "FileDescription": "KADRON_PRODUCT_NAME", "FileVersion": "KADRON_FILE_VERSION_TEXT",
           "InternalName": "KADRON_INTERNAL_NAME", "LegalCopyright": "KADRON_LEGAL_COPYRIGHT",
           "LegalTrademarks": "KADRON_LEGAL_TRADEMARKS", "OriginalFilename": "KADRON_ORIGINAL_FILENAME",
           "PrivateBuild": "KADRON_PRIVATE_BUILD", "ProductName": "KADRON_PRODUCT_NAME",
           "ProductVersion": "KADRON_PRODUCT_VERSION_TEXT", "SpecialBuild": "KADRON_SPECIAL_BUILD"}


def read_macros(path):
    """The #define lines of the header: name -> (parameter or None, body)."""
    with open(path, encoding="utf-8") as f:
        text = f.read().replace("\\\n", " ")
    macros = {}
    for m in re.finditer(r"^#define\s+(\w+)(?:\((\w+)\))?[ \t]*(.*)$", text, re.M):
        macros[m.group(1)] = (m.group(2), m.group(3).strip())
    return macros


def expand_text(macros, name):
    """A macro's text: its string literals joined, a parameter standing for the registered sign."""
    parameter, body = macros[name]
    parts = []
    for token in re.finditer(r'"((?:[^"\\]|\\.)*)"|(\w+)', body):
        if token.group(1) is not None:
            parts.append(token.group(1).encode().decode("unicode_escape"))
        elif token.group(2) == parameter:
            parts.append(REGISTERED)
        else:
            raise ValueError(f"{name}: unexpected token {token.group(2)}")
    return "".join(parts)


def numbers(macros, name):
    return [int(n, 0) for n in macros[name][1].split(",")]


def version_pair(four):
    return (four[0] << 16 | four[1], four[2] << 16 | four[3])


class Checks:
    def __init__(self):
        self.failed = []
        self.count = 0

    def equal(self, what, actual, expected):
        self.count += 1
        if actual != expected:
            self.failed.append(f"{what}: {actual!r}, expected {expected!r}")


def check_header(pe, machine, checks):
    expected_machine, expected_magic = MACHINES[machine]
    checks.equal("machine", pe.FILE_HEADER.Machine, expected_machine)
    checks.equal("optional header magic", pe.OPTIONAL_HEADER.Magic, expected_magic)
    checks.equal("subsystem", pe.OPTIONAL_HEADER.Subsystem, CONSOLE)
    checks.equal("executable, not a DLL",
                 (pe.FILE_HEADER.IMAGE_FILE_EXECUTABLE_IMAGE, pe.FILE_HEADER.IMAGE_FILE_DLL), (True, False))
    dlls = {entry.dll.decode().upper() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    checks.equal("imported DLLs", sorted(dlls), sorted(IMPORTS))


def check_version(pe, macros, checks):
    fixed = pe.VS_FIXEDFILEINFO[0] if getattr(pe, "VS_FIXEDFILEINFO", None) else None
    if fixed is None:
        checks.equal("version resource", None, "present")
        return
    checks.equal("signature", fixed.Signature, 0xFEEF04BD)
    checks.equal("file version", (fixed.FileVersionMS, fixed.FileVersionLS),
                 version_pair(numbers(macros, "KADRON_FILE_VERSION")))
    checks.equal("product version", (fixed.ProductVersionMS, fixed.ProductVersionLS),
                 version_pair(numbers(macros, "KADRON_PRODUCT_VERSION")))
    for field, name in (("FileFlagsMask", "KADRON_FILE_FLAGS_MASK"), ("FileFlags", "KADRON_FILE_FLAGS"),
                        ("FileOS", "KADRON_FILE_OS"), ("FileType", "KADRON_FILE_TYPE"),
                        ("FileSubtype", "KADRON_FILE_SUBTYPE")):
        checks.equal(field, getattr(fixed, field), numbers(macros, name)[0])

    block_key = expand_text(macros, "KADRON_STRING_BLOCK")
    tables = {}
    translation = None
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            tables = {t.LangID.decode(): t.entries for t in info.StringTable}
        elif info.Key == b"VarFileInfo":
            translation = info.Var[0].entry.get(b"Translation") if info.Var else None
    checks.equal("string block keys", sorted(tables), [block_key])
    entries = tables.get(block_key, {})
    checks.equal("string names", sorted(k.decode() for k in entries), sorted(STRINGS))
    for key, name in STRINGS.items():
        actual = entries.get(key.encode())
        checks.equal(key, actual.decode() if actual is not None else None, expand_text(macros, name))
    language, code_page = numbers(macros, "KADRON_TRANSLATION")
    checks.equal("translation", translation, f"0x{language:04x} 0x{code_page:04x}")


def resource(pe, type_id, resource_id):
    directory = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in directory.entries if directory is not None else []:
        if kind.id != type_id:
            continue
        for entry in kind.directory.entries:
            if entry.id == resource_id and entry.directory.entries:
                data = entry.directory.entries[0].data.struct
                return pe.get_data(data.OffsetToData, data.Size)
    return None


def check_icon(pe, icon_file, checks):
    group = resource(pe, pefile.RESOURCE_TYPE["RT_GROUP_ICON"], ICON_GROUP_ID)
    if group is None:
        checks.equal("icon group 101", None, "present")
        return
    _, kind, count = struct.unpack_from("<HHH", group, 0)
    checks.equal("icon group type and count", (kind, count), (1, 1))
    width, height, colours, _, planes, bits, size, image_id = struct.unpack_from("<BBBBHHIH", group, 6)
    checks.equal("icon size, colours, planes, bits", (width, height, colours, planes, bits), (32, 32, 16, 1, 4))
    image = resource(pe, pefile.RESOURCE_TYPE["RT_ICON"], image_id)
    checks.equal("icon image size", len(image) if image is not None else None, size)
    if icon_file:
        with open(icon_file, "rb") as f:
            ico = f.read()
        ico_size, ico_offset = struct.unpack_from("<II", ico, 6 + 8)
        checks.equal("icon image matches the icon file", image, ico[ico_offset:ico_offset + ico_size])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--machine", required=True, choices=sorted(MACHINES))
    parser.add_argument("--version-header", required=True)
    parser.add_argument("--icon")
    args = parser.parse_args()

    pe = pefile.PE(args.exe)
    macros = read_macros(args.version_header)
    checks = Checks()
    check_header(pe, args.machine, checks)
    check_version(pe, macros, checks)
    check_icon(pe, args.icon, checks)
    for failure in checks.failed:
        print(f"FAILED {failure}")
    print(f"{args.exe}: {checks.count - len(checks.failed)} of {checks.count} checks hold")
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
