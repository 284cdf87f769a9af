"""decoder/fetch.sh against Debian's real source index: the pinned FFmpeg source, and, with the
pin set to a version the index does not have, the suite's current version of the same series in
its place, checked through the signed index and recorded for build.sh. Needs the network (the
Debian mirror of the machine's APT sources) and downloads about 12 MB per case; skipped when
the index cannot be read. Not part of `make test`; run from tests/python:
    /usr/bin/python3 -m pytest -q -p no:cacheprovider packaging/fetch_fallback_check.py
"""
import hashlib
import os
import re
import subprocess

import pytest

from test_decoder_sources import DECODER_DIR, child_env, manifest

GONE_PIN = "7:7.1.4-0+deb13u1"


def fetch(root, pin, **extra):
    env = child_env(PYTHON="/nonexistent/python", **extra)
    if pin:
        env["DECODER_TEST_FFMPEG_PIN"] = pin
    return subprocess.run(["sh", os.path.join(DECODER_DIR, "fetch.sh"), str(root)],
                          capture_output=True, text=True, env=env, timeout=900)


def recorded(root):
    with open(os.path.join(root, "ffmpeg-used.env"), encoding="utf-8") as f:
        return dict(re.findall(r"^(\w+)='(.*)'$", f.read(), re.M))


@pytest.mark.parametrize("pin", [None, GONE_PIN], ids=["pinned", "pin-gone"])
def test_fetch_takes_the_pin_or_the_current_version_of_its_series(tmp_path, pin):
    m = manifest()
    # OpenCV's sources as fetch.sh leaves them verified, so that only FFmpeg is fetched.
    opencv = tmp_path / ("opencv-" + m["OPENCV_VERSION"])
    opencv.mkdir()
    (opencv / ".verified").write_text("")
    done = fetch(tmp_path, pin)
    if done.returncode != 0 and "could not read Debian's" in done.stderr:
        pytest.skip("Debian's source index cannot be read here: " + done.stderr.strip())
    assert done.returncode == 0, done.stderr
    record = recorded(tmp_path)
    version = record["FFMPEG_DEB_VERSION"]
    assert record["FFMPEG_PIN"] == (pin or m["FFMPEG_DEB_VERSION"])
    if pin is None and "no longer in" not in done.stderr:
        assert version == m["FFMPEG_DEB_VERSION"]
        assert "the pinned version" in done.stderr
        assert record["FFMPEG_DSC_SHA256"] == m["FFMPEG_DSC_SHA256"]
    else:
        assert re.fullmatch(r"7:7\.1\.[0-9]+-[^ ]+", version), version
        assert "taking its current %s of the same 7.1 series" % version in done.stderr
    tree = tmp_path / ("ffmpeg-" + record["FFMPEG_UPSTREAM_VERSION"])
    assert (tree / ".verified").read_text().strip() == version
    assert (tree / "configure").is_file() and (tree / "COPYING.LGPLv2.1").is_file()
    dsc = tmp_path / "debian-src" / record["FFMPEG_DSC"]
    assert hashlib.sha256(dsc.read_bytes()).hexdigest() == record["FFMPEG_DSC_SHA256"]

    # A second run keeps what the first one took, without asking the index: a mirror that
    # cannot be reached changes nothing.
    again = fetch(tmp_path, pin, DEBIAN_MIRROR="http://unreachable.invalid/debian")
    assert again.returncode == 0, again.stderr
    assert recorded(tmp_path) == record
    assert ("verified before" if version == (pin or m["FFMPEG_DEB_VERSION"])
            else "taken before in place of the pinned") in again.stderr
