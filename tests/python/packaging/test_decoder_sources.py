"""The bundled decoder's recipe without the network: the Debian mirror taken from APT sources
as apt reads them, and the build key and the wheel's notice following the FFmpeg source version
that decoder/fetch.sh used. The sources are laid out as fetch.sh leaves them once verified, and
finished builds as build.sh leaves them, so nothing is downloaded or compiled. The fetch itself
from Debian's index, pinned and in place of a pin that is gone, is fetch_fallback_check.py."""
import os
import shutil
import subprocess

import pytest

from environments import REPO_DIR

DECODER_DIR = os.path.join(REPO_DIR, "decoder")


def manifest():
    values = {}
    with open(os.path.join(DECODER_DIR, "manifest.env"), encoding="utf-8") as f:
        for line in f:
            if "=" in line and not line.startswith("#"):
                name, value = line.strip().split("=", 1)
                values[name] = value.strip("'")
    return values


def child_env(**extra):
    env = {key: value for key, value in os.environ.items()
           if key not in ("DEBIAN_MIRROR", "DECODER_TEST_FFMPEG_PIN", "APT_CONFIG")}
    env.update(extra)
    return env


# Each case: sources.list, files of sources.list.d, and the mirror expected (None: none found).
MIRROR_CASES = {
    "deb822-security-first": (
        "",
        {"debian.sources": "Types: deb\nURIs: http://mirror.invalid/debian-security\n"
                           "Suites: trixie-security\nComponents: main\n\n"
                           "Types: deb deb-src\nURIs: http://mirror.invalid/debian/\n"
                           "Suites: trixie trixie-updates\nComponents: main contrib\n"
                           "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n"},
        "http://mirror.invalid/debian"),
    "switched-off-and-third-party-entries-left-out": (
        "# deb http://commented.invalid/debian bookworm main\n"
        "deb [arch=amd64 signed-by=/usr/share/keyrings/other.gpg] https://other.invalid/node nodistro main\n"
        "deb http://other.invalid/debian bookworm stable\n",
        {"a.sources": "Enabled: no\nTypes: deb\nURIs: http://off.invalid/debian\n"
                      "Suites: bookworm\nComponents: main\n",
         "b.list": "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] "
                   "http://mirror.invalid/pub/debian bookworm main\n"},
        "http://mirror.invalid/pub/debian"),
    "no-release-suite": (
        "deb http://mirror.invalid/debian bookworm-updates main\n"
        "deb http://mirror.invalid/debian-security bookworm-security main\n",
        {}, None),
}


@pytest.mark.parametrize("case", MIRROR_CASES)
def test_the_debian_mirror_is_read_from_apt_sources_as_apt_reads_them(tmp_path, case):
    sources_list, parts, expected = MIRROR_CASES[case]
    (tmp_path / "parts").mkdir()
    (tmp_path / "lists").mkdir()
    (tmp_path / "sources.list").write_text(sources_list)
    for name, text in parts.items():
        (tmp_path / "parts" / name).write_text(text)
    (tmp_path / "apt.conf").write_text(
        'Dir::Etc::sourcelist "%s/sources.list";\nDir::Etc::sourceparts "%s/parts";\n'
        'Dir::State::Lists "%s/lists";\n' % (tmp_path, tmp_path, tmp_path))
    script = os.path.join(DECODER_DIR, "debian_mirror.sh")
    env = child_env(APT_CONFIG=str(tmp_path / "apt.conf"))
    done = subprocess.run(["sh", script], capture_output=True, text=True, env=env, timeout=60)
    if expected is None:
        assert done.returncode != 0 and "DEBIAN_MIRROR" in done.stderr, done
    else:
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == expected
    env["DEBIAN_MIRROR"] = "http://chosen.invalid/debian"
    done = subprocess.run(["sh", script], capture_output=True, text=True, env=env, timeout=60)
    assert done.stdout.strip() == "http://chosen.invalid/debian"


def lay_out_sources(src, pin, recorded=None):
    """The sources as fetch.sh leaves them verified: the pinned FFmpeg tree, and, when
    `recorded` is (pin, version), the tree of `version` that fetch.sh took in place of `pin`."""
    m = manifest()
    versions = [m["FFMPEG_DEB_VERSION"]] + ([recorded[1]] if recorded else [])
    (src / "debian-src").mkdir(parents=True)
    for version in versions:
        upstream = version.split(":", 1)[1].rsplit("-", 1)[0]
        tree = src / ("ffmpeg-" + upstream)
        tree.mkdir(exist_ok=True)
        (tree / ".verified").write_text(version + "\n")
        (tree / "COPYING.LGPLv2.1").write_text("LGPL 2.1\n")
        (src / "debian-src" / ("ffmpeg_%s.dsc" % version.split(":", 1)[1])).write_text(version)
    if recorded:
        (src / "ffmpeg-used.env").write_text(
            "FFMPEG_DEB_VERSION='%s'\nFFMPEG_PIN='%s'\n" % (recorded[1], recorded[0]))
    opencv = src / ("opencv-" + m["OPENCV_VERSION"])
    opencv.mkdir()
    (opencv / ".verified").write_text("")
    (opencv / "LICENSE").write_text("Apache 2.0\n")


def build(cache, pin, *args):
    env = child_env(PATH=os.environ["PATH"], PYTHON="/nonexistent/python")
    if pin:
        env["DECODER_TEST_FFMPEG_PIN"] = pin
    done = subprocess.run(["sh", os.path.join(DECODER_DIR, "build.sh"), str(cache), *args],
                          capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    return done


def test_the_build_key_and_the_notice_follow_the_ffmpeg_version_used(tmp_path):
    pinned = manifest()["FFMPEG_DEB_VERSION"]
    gone, newer = "7:7.1.4-0+deb13u1", "7:7.1.9-0+deb13u1"
    cases = {  # name: (the pin fetch.sh sees, what it took in place of it before)
        "pinned": (None, None),
        "gone-pin-replaced-by-the-pinned-version": (gone, (gone, pinned)),
        "gone-pin-replaced-by-a-newer-one": (gone, (gone, newer)),
    }
    keys, notices = {}, {}
    for name, (pin, recorded) in cases.items():
        cache = tmp_path / name
        lay_out_sources(cache / "src", pin, recorded)
        done = build(cache, pin, "--keys")
        assert ("the pinned version" if recorded is None
                else "taken before in place of the pinned " + gone) in done.stderr
        keys[name] = dict(line.split() for line in done.stdout.splitlines())
        # Finished builds under those keys: build.sh then only assembles the notices.
        ffmpeg = cache / ("ffmpeg-" + keys[name]["ffmpeg"])
        opencv = cache / ("opencv-" + keys[name]["opencv"])
        (ffmpeg / "share").mkdir(parents=True)
        (ffmpeg / "share" / "ffmpeg-configure.txt").write_text("configure '--disable-everything'\n")
        opencv.mkdir()
        (ffmpeg / ".done").touch()
        (opencv / ".done").touch()
        done = build(cache, pin)
        assert done.stdout.splitlines()[-1] == str(opencv)
        notices[name] = (opencv / "share" / "corvane-notices" / "NOTICE.txt").read_text()
        assert "@" not in notices[name]

    # The key changes with the version used, not with how it came to be chosen.
    assert keys["gone-pin-replaced-by-the-pinned-version"] == keys["pinned"]
    assert keys["gone-pin-replaced-by-a-newer-one"]["ffmpeg"] != keys["pinned"]["ffmpeg"]
    assert keys["gone-pin-replaced-by-a-newer-one"]["opencv"] != keys["pinned"]["opencv"]

    assert "FFmpeg 7.1.5 " in notices["pinned"]
    assert "version %s" % pinned in notices["pinned"]
    assert "exactly that source" in notices["pinned"]
    assert "Not the pinned version" not in notices["pinned"]
    newer_notice = " ".join(notices["gone-pin-replaced-by-a-newer-one"].split())
    assert "FFmpeg 7.1.9 " in newer_notice and "version %s" % newer in newer_notice
    assert "Not the pinned version" in newer_notice and "pins %s" % gone in newer_notice
    assert "same FFmpeg 7.1 series" in newer_notice
    assert "configure '--disable-everything'" in newer_notice
