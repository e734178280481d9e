"""Whether an extension module meets the manylinux_2_17_x86_64 policy (manylinux2014, PEP 599),
decided from the binary itself, in the standard library alone.

It reads the ELF file: its header, the PT_GNU_STACK program header, the dynamic section
(DT_NEEDED, DT_RPATH, DT_RUNPATH) and the symbol versions the binary requires
(.gnu.version_r, with the undefined symbols of .dynsym that ask for each). The rules:

    elf              a 64-bit little-endian x86-64 shared object
    libraries        every needed library is one the policy lets a wheel take from the system
    symbol versions  no GLIBC_ version above 2.17, GLIBCXX_ above 3.4.19, CXXABI_ above
                     1.3.7 or GCC_ above 4.8.0, and no version the policy does not name
    stack            a PT_GNU_STACK header without the execute flag (without one, the
                     loader gives the process an executable stack)
    rpath            every RPATH and RUNPATH entry is relative to $ORIGIN and stays inside
                     the wheel, given the extension's directory in it

The build back end (tools/build_backend.py) imports it to choose the wheel's platform tag.
As a script it prints what it found in each file and every rule a file breaks, and exits 1
when one does:

    python3.X tools/manylinux_policy.py [--wheel-dir corvessa/util] EXTENSION...
"""
import argparse
import collections
import posixpath
import re
import struct
import sys

POLICY = "manylinux_2_17_x86_64"
# The tags of a wheel that meets the policy: its PEP 600 name and its PEP 599 alias.
PLATFORM_TAGS = ("manylinux_2_17_x86_64", "manylinux2014_x86_64")
# The libraries PEP 599 lets a manylinux2014 wheel take from the system, and the loader.
ALLOWED_LIBRARIES = frozenset({
    "libgcc_s.so.1", "libstdc++.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libc.so.6",
    "libnsl.so.1", "libutil.so.1", "libpthread.so.0", "libresolv.so.2", "libX11.so.6",
    "libXext.so.6", "libXrender.so.1", "libICE.so.6", "libSM.so.6", "libGL.so.1",
    "libgobject-2.0.so.0", "libgthread-2.0.so.0", "libglib-2.0.so.0", "ld-linux-x86-64.so.2",
})
# The newest symbol version of each family that the policy's systems provide.
NEWEST_VERSIONS = {"GLIBC": (2, 17), "GLIBCXX": (3, 4, 19), "CXXABI": (1, 3, 7), "GCC": (4, 8, 0)}
UNNUMBERED_VERSIONS = frozenset({"CXXABI_TM_1"})
VERSION_NAME = re.compile(r"^([A-Z]+)_([0-9]+(?:\.[0-9]+)*)$")

EM_X86_64 = 62
ET_DYN = 3
PT_GNU_STACK = 0x6474E551
PF_X = 1
SHT_DYNAMIC = 6
SHT_DYNSYM = 11
SHT_GNU_VERNEED = 0x6FFFFFFE
SHT_GNU_VERSYM = 0x6FFFFFFF
DT_NEEDED, DT_RPATH, DT_RUNPATH = 1, 15, 29
SHN_UNDEF = 0
SYMBOLS_SHOWN = 4

# What the checks need of a binary. elf is None for a 64-bit little-endian x86-64 shared
# object, else what the file is instead; stack is the PT_GNU_STACK flags, or None without
# one; versions maps each required (library, version) to the undefined symbols that ask
# for it.
Binary = collections.namedtuple("Binary", "elf needed rpaths stack versions")
Header = collections.namedtuple("Header", "phoff shoff phentsize phnum shentsize shnum")
Section = collections.namedtuple("Section", "type link info offset size entsize")


def read_binary(path):
    with open(path, "rb") as f:
        data = f.read()
    kind = elf_kind(data)
    if kind:
        return Binary(kind, [], [], None, {})
    fields = struct.unpack_from("<16sHHIQQQIHHHHHH", data)
    header = Header(fields[5], fields[6], *fields[9:13])
    sections = read_sections(data, header)
    if section_of_type(sections, SHT_DYNAMIC) is None:
        return Binary("a shared object without a dynamic section to read", [], [], None, {})
    needed, rpaths = read_dynamic(data, sections)
    return Binary(None, needed, rpaths, stack_flags(data, header), read_versions(data, sections))


def elf_kind(data):
    """None for a 64-bit little-endian x86-64 shared object, else what the file is."""
    if data[:4] != b"\x7fELF":
        return "not an ELF file"
    if data[4:6] != b"\x02\x01":
        return "not a 64-bit little-endian ELF file"
    elf_type, machine = struct.unpack_from("<HH", data, 16)
    if machine != EM_X86_64:
        return "an ELF file for machine %d, not x86-64 (%d)" % (machine, EM_X86_64)
    if elf_type != ET_DYN:
        return "an ELF file of type %d, not a shared object (%d)" % (elf_type, ET_DYN)
    return None


def stack_flags(data, header):
    for i in range(header.phnum):
        p_type, p_flags = struct.unpack_from("<II", data, header.phoff + i * header.phentsize)
        if p_type == PT_GNU_STACK:
            return p_flags
    return None


def read_sections(data, header):
    sections = []
    for i in range(header.shnum):
        fields = struct.unpack_from("<IIQQQQIIQQ", data, header.shoff + i * header.shentsize)
        sections.append(Section(fields[1], fields[6], fields[7], fields[4], fields[5], fields[9]))
    return sections


def section_of_type(sections, section_type):
    return next((s for s in sections if s.type == section_type), None)


def string_at(data, table, offset):
    start = table.offset + offset
    return data[start:data.index(b"\0", start)].decode()


def read_dynamic(data, sections):
    """(needed libraries, [(RPATH or RUNPATH, entry)]) from the dynamic section."""
    dynamic = section_of_type(sections, SHT_DYNAMIC)
    needed, rpaths = [], []
    strings = sections[dynamic.link]
    for offset in range(dynamic.offset, dynamic.offset + dynamic.size, 16):
        tag, value = struct.unpack_from("<qQ", data, offset)
        if tag == DT_NEEDED:
            needed.append(string_at(data, strings, value))
        elif tag in (DT_RPATH, DT_RUNPATH):
            name = "RPATH" if tag == DT_RPATH else "RUNPATH"
            rpaths += [(name, entry) for entry in string_at(data, strings, value).split(":")]
    return needed, rpaths


def read_versions(data, sections):
    """{(library, version): [undefined symbols that require it]} from .gnu.version_r and
    .gnu.version beside .dynsym."""
    verneed = section_of_type(sections, SHT_GNU_VERNEED)
    if verneed is None:
        return {}
    strings = sections[verneed.link]
    by_index = {}  # version index (as .gnu.version holds it) -> (library, version)
    offset = verneed.offset
    for _ in range(verneed.info):
        _, count, file_name, aux, next_need = struct.unpack_from("<HHIII", data, offset)
        library = string_at(data, strings, file_name)
        aux_offset = offset + aux
        for _ in range(count):
            _, _, index, name, next_aux = struct.unpack_from("<IHHII", data, aux_offset)
            by_index[index] = (library, string_at(data, strings, name))
            aux_offset += next_aux
        offset += next_need
    versions = {required: [] for required in by_index.values()}
    for symbol, index in undefined_symbols(data, sections):
        if index in by_index:
            versions[by_index[index]].append(symbol)
    return versions


def undefined_symbols(data, sections):
    """(name, version index) of each undefined symbol of .dynsym."""
    dynsym, versym = section_of_type(sections, SHT_DYNSYM), section_of_type(sections, SHT_GNU_VERSYM)
    if dynsym is None or versym is None:
        return
    strings = sections[dynsym.link]
    for i in range(1, dynsym.size // dynsym.entsize):
        name, _, _, shndx = struct.unpack_from("<IBBH", data, dynsym.offset + i * dynsym.entsize)
        if shndx == SHN_UNDEF:
            (index,) = struct.unpack_from("<H", data, versym.offset + 2 * i)
            yield string_at(data, strings, name), index & 0x7FFF


def violations(binary, wheel_dir):
    """[(rule, why)] of every rule the binary breaks; wheel_dir is the directory of the
    wheel that holds it ("corvessa/util")."""
    if binary.elf:
        return [("elf", "%s; the policy is for 64-bit x86-64 shared objects" % binary.elf)]
    found = [("libraries", "%s is not among the libraries the policy allows" % library)
             for library in binary.needed if library not in ALLOWED_LIBRARIES]
    for (library, version), symbols in sorted_versions(binary):
        why = version_violation(version, library, symbols)
        if why:
            found.append(("symbol versions", why))
    if binary.stack is None:
        found.append(("stack", "no PT_GNU_STACK header: the loader makes the stack executable"))
    elif binary.stack & PF_X:
        found.append(("stack", "PT_GNU_STACK asks for an executable stack"))
    for name, entry in binary.rpaths:
        why = rpath_violation(entry, wheel_dir)
        if why:
            found.append(("rpath", "%s entry %s %s" % (name, entry, why)))
    return found


def version_violation(version, library, symbols):
    """Why a required symbol version breaks the policy, or None."""
    if version in UNNUMBERED_VERSIONS:
        return None
    family, number = parse_version(version)
    newest = NEWEST_VERSIONS.get(family)
    if not newest:
        return "%s from %s is not a version the policy names (needed by %s)" % (
            version, library, symbol_list(symbols))
    if number > newest:
        return "%s from %s is newer than %s_%s (needed by %s)" % (
            version, library, family, ".".join(map(str, newest)), symbol_list(symbols))
    return None


def parse_version(version):
    """(family, numbers) of a symbol version: ("GLIBC", (2, 17)) for GLIBC_2.17; (version, ())
    for one without a number (GLIBC_PRIVATE). It orders the versions of a family by number."""
    match = VERSION_NAME.match(version)
    if not match:
        return version, ()
    return match.group(1), tuple(int(n) for n in match.group(2).split("."))


def rpath_violation(entry, wheel_dir):
    """Why an RPATH or RUNPATH entry leaves the wheel, or None."""
    for origin in ("$ORIGIN", "${ORIGIN}"):
        if entry == origin or entry.startswith(origin + "/"):
            inside = posixpath.normpath(posixpath.join(wheel_dir, entry[len(origin) + 1:]))
            if inside == ".." or inside.startswith("../"):
                return "leaves the wheel (from %s)" % wheel_dir
            return None
    return "is not relative to $ORIGIN"


def sorted_versions(binary):
    """The items of binary.versions, by family, then number, then library."""
    return sorted(binary.versions.items(), key=lambda item: (parse_version(item[0][1]), item[0][0]))


def symbol_list(symbols):
    shown = ", ".join(sorted(symbols)[:SYMBOLS_SHOWN])
    if len(symbols) > SYMBOLS_SHOWN:
        shown += ", ... %d in all" % len(symbols)
    return shown or "no symbol"


def description(binary):
    """Lines that say what the binary holds, as the rules read it."""
    if binary.elf:
        return ["file: " + binary.elf]
    lines = ["file: 64-bit x86-64 shared object",
             "needed libraries: " + (", ".join(binary.needed) or "none")]
    lines += ["symbol version %s from %s: %s" % (version, library, symbol_list(symbols))
              for (library, version), symbols in sorted_versions(binary)]
    if binary.stack is None:
        lines.append("stack: no PT_GNU_STACK header")
    else:
        lines.append("stack: %s" % ("executable" if binary.stack & PF_X else "not executable"))
    lines.append("rpath: " + (", ".join("%s %s" % pair for pair in binary.rpaths) or "none"))
    return lines


def report(path, wheel_dir):
    """Prints what the file holds and the rules it breaks; returns whether it meets the policy."""
    binary = read_binary(path)
    found = violations(binary, wheel_dir)
    print(path)
    for line in description(binary):
        print("  " + line)
    for rule, why in found:
        print("  FAILS %s: %s" % (rule, why))
    print("  %s %s" % ("does not meet" if found else "meets", POLICY))
    return not found


def main(argv=None):
    parser = argparse.ArgumentParser(description="Checks extension modules against the %s policy." % POLICY)
    parser.add_argument("--wheel-dir", default="corvessa/util",
                        help="the extensions' directory in the wheel, for $ORIGIN in RPATH and RUNPATH")
    parser.add_argument("extensions", nargs="+", metavar="EXTENSION")
    args = parser.parse_args(argv)
    results = [report(path, args.wheel_dir) for path in args.extensions]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
