"""What a binary wheel asks of the machine it is installed on, read from the wheel file alone:
its tags, and for every shared object in it the libraries it needs (DT_NEEDED, by readelf) and
the newest glibc symbol version it uses. A manylinux wheel may need only the libraries every
manylinux platform provides, or ones it carries itself, and no glibc newer than its tag."""
import os
import re
import subprocess
import tempfile
import zipfile

# The libraries a manylinux platform provides (the same list for manylinux2014 and every
# manylinux_2_x tag), plus the dynamic loader, which every executable names.
MANYLINUX_LIBRARIES = frozenset({
    "libgcc_s.so.1", "libstdc++.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libc.so.6",
    "libnsl.so.1", "libutil.so.1", "libpthread.so.0", "libresolv.so.2", "libX11.so.6",
    "libXext.so.6", "libXrender.so.1", "libICE.so.6", "libSM.so.6", "libGL.so.1",
    "libgobject-2.0.so.0", "libgthread-2.0.so.0", "libglib-2.0.so.0", "ld-linux-x86-64.so.2"})

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


def glibc_of_tag(platform_tags):
    """The oldest glibc any of the wheel's platform tags promises to run on, or None when none
    of them is a manylinux tag."""
    found = []
    for tag in platform_tags:
        match = re.fullmatch(r"manylinux_(\d+)_(\d+)_\w+", tag)
        if match:
            found.append((int(match.group(1)), int(match.group(2))))
        elif tag.rsplit("_x86_64", 1)[0] in LEGACY_TAGS:
            found.append(LEGACY_TAGS[tag.rsplit("_x86_64", 1)[0]])
    return min(found) if found else None


def readelf(args, path):
    done = subprocess.run(["readelf", "--wide", *args, path], capture_output=True, text=True)
    return done.stdout if done.returncode == 0 else None


def elf_needs(path):
    """(needed libraries, newest GLIBC_x.y version needed) of one ELF file, or None when it is
    not one."""
    dynamic = readelf(["--dynamic"], path)
    if dynamic is None:
        return None
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
    versions = readelf(["--version-info"], path) or ""
    glibc = [tuple(int(n) for n in v.split("."))
             for v in re.findall(r"Name: GLIBC_([0-9.]+)", versions)]
    return needed, max(glibc, default=None)


def audit(wheel):
    """Check a wheel's shared objects against the manylinux rules. Returns a dict: the wheel's
    tag, size, the shared objects inspected, the needed libraries neither allowed nor carried
    by the wheel ("foreign"), the newest glibc version used and whether its tag allows it."""
    python_tag, platform_tags = parse_name(wheel)
    promised = glibc_of_tag(platform_tags)
    objects, foreign, newest = [], set(), None
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
            objects.append(os.path.relpath(path, unpacked))
            needed, glibc = found
            foreign.update(n for n in needed if n not in MANYLINUX_LIBRARIES | carried)
            if glibc and (newest is None or glibc > newest):
                newest = glibc
    return {
        "wheel": os.path.basename(wheel), "python_tag": python_tag,
        "tag": ".".join(platform_tags), "size": os.path.getsize(wheel),
        "objects": sorted(objects), "foreign": sorted(foreign),
        "glibc": ".".join(map(str, newest)) if newest else "",
        "glibc_fits": promised is not None and (newest is None or newest <= promised),
    }
