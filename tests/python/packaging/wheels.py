"""What a binary wheel asks of the machine it is installed on, read from the wheel file alone:
its tags, and for every shared object in it the machine it is built for, the libraries it
needs (DT_NEEDED, by readelf) and the newest glibc symbol version it uses. A manylinux wheel
is built for its tag's machine and may need only the libraries every manylinux platform of
that architecture provides, or ones it carries itself, and no glibc newer than its tag.
readelf reads any architecture's ELF files, so a wheel is checked on any machine."""
import hashlib
import os
import re
import subprocess
import tempfile
import zipfile

# The libraries a manylinux platform provides (the same list for manylinux2014 and every
# manylinux_2_x tag, on every architecture), plus the architecture's dynamic loader, which
# every executable names.
MANYLINUX_LIBRARIES = frozenset({
    "libgcc_s.so.1", "libstdc++.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libc.so.6",
    "libnsl.so.1", "libutil.so.1", "libpthread.so.0", "libresolv.so.2", "libX11.so.6",
    "libXext.so.6", "libXrender.so.1", "libICE.so.6", "libSM.so.6", "libGL.so.1",
    "libgobject-2.0.so.0", "libgthread-2.0.so.0", "libglib-2.0.so.0"})

# Per architecture of a platform tag: its dynamic loader, readelf's name for its ELF machine,
# and Debian's name for the architecture.
ARCHITECTURES = {
    "x86_64": {"loader": "ld-linux-x86-64.so.2", "machine": "Advanced Micro Devices X86-64",
               "debian": "amd64"},
    "aarch64": {"loader": "ld-linux-aarch64.so.1", "machine": "AArch64", "debian": "arm64"},
}

# Legacy aliases of the manylinux_2_x tags.
LEGACY_TAGS = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}


def parse_name(path):
    """(python tag, platform tags) of a wheel file name: name-version[-build]-py-abi-platform."""
    parts = os.path.basename(path)[:-len(".whl")].split("-")
    return parts[-3], parts[-1].split(".")


def python_minor(python_tag):
    """'3.9' for cp39, '3.13' for cp313."""
    match = re.fullmatch(r"cp3(\d+)", python_tag)
    if not match:
        raise ValueError("not a CPython 3 wheel: %s" % python_tag)
    return "3." + match.group(1)


def tag_arch(platform_tags):
    """The architecture of a wheel's platform tags: 'x86_64', 'aarch64'; a wheel whose tags
    name none of ARCHITECTURES, or several, raises ValueError."""
    found = {arch for tag in platform_tags for arch in ARCHITECTURES if tag.endswith("_" + arch)}
    if len(found) != 1:
        raise ValueError("no single known architecture in %s" % ".".join(platform_tags))
    return found.pop()


def glibc_of_tag(platform_tags):
    """The oldest glibc any of the wheel's platform tags promises to run on, or None when none
    of them is a manylinux tag."""
    found = []
    for tag in platform_tags:
        match = re.fullmatch(r"manylinux_(\d+)_(\d+)_\w+", tag)
        legacy = tag.split("_", 1)[0]
        if match:
            found.append((int(match.group(1)), int(match.group(2))))
        elif legacy in LEGACY_TAGS:
            found.append(LEGACY_TAGS[legacy])
    return min(found) if found else None


def readelf(args, path):
    done = subprocess.run(["readelf", "--wide", *args, path], capture_output=True, text=True)
    return done.stdout if done.returncode == 0 else None


def elf_needs(path):
    """(ELF machine, needed libraries, newest GLIBC_x.y version needed) of one ELF file, or
    None when it is not one."""
    dynamic = readelf(["--dynamic"], path)
    if dynamic is None:
        return None
    machine = re.search(r"^\s*Machine:\s*(.+?)\s*$", readelf(["--file-header"], path) or "",
                        re.M)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
    versions = readelf(["--version-info"], path) or ""
    glibc = [tuple(int(n) for n in v.split("."))
             for v in re.findall(r"Name: GLIBC_([0-9.]+)", versions)]
    return machine.group(1) if machine else "", needed, max(glibc, default=None)


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def audit(wheel):
    """Check a wheel's shared objects against the manylinux rules of its architecture. Returns
    a dict: the wheel's tag, architecture, size, the shared objects inspected, the needed
    libraries neither allowed nor carried by the wheel ("foreign"), the objects built for
    another machine than the tag's ("wrong_machine"), the newest glibc version used and
    whether its tag allows it."""
    python_tag, platform_tags = parse_name(wheel)
    arch = tag_arch(platform_tags)
    allowed = MANYLINUX_LIBRARIES | {ARCHITECTURES[arch]["loader"]}
    promised = glibc_of_tag(platform_tags)
    objects, foreign, wrong_machine, newest = [], set(), [], None
    with tempfile.TemporaryDirectory() as unpacked:
        with zipfile.ZipFile(wheel) as archive:
            archive.extractall(unpacked)
        files = [os.path.join(d, f) for d, _, names in os.walk(unpacked) for f in names]
        carried = {os.path.basename(f) for f in files}
        for path in files:
            if ".so" not in os.path.basename(path):
                continue
            found = elf_needs(path)
            if found is None:
                continue
            name = os.path.relpath(path, unpacked)
            objects.append(name)
            machine, needed, glibc = found
            if machine != ARCHITECTURES[arch]["machine"]:
                wrong_machine.append("%s (%s)" % (name, machine))
            foreign.update(n for n in needed if n not in allowed | carried)
            if glibc and (newest is None or glibc > newest):
                newest = glibc
    return {
        "wheel": os.path.basename(wheel), "python_tag": python_tag, "arch": arch,
        "tag": ".".join(platform_tags), "size": os.path.getsize(wheel),
        "sha256": sha256_of(wheel),
        "objects": sorted(objects), "foreign": sorted(foreign),
        "wrong_machine": sorted(wrong_machine),
        "glibc": ".".join(map(str, newest)) if newest else "",
        "glibc_fits": promised is not None and (newest is None or newest <= promised),
    }
