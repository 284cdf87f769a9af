"""Every ```python block of README.md runs as written, each in a fresh interpreter with a
time limit, from the repository root and with the build's package tree (the plug-in and the
stand-in host) on the path, as a reader who has run `make build` would run it.

Sources that stand for the reader's own are replaced in the block's text before it runs:
`clip.mp4` by a generated clip, and the camera URL `rtsp://camera/stream` by a local port
where nothing listens (its open fails at once, as a camera that is not there yet). A block
that cannot run here is skipped when the line right before its fence is the comment
`<!-- not run: REASON -->`; the reason appears in the test report.
"""
import os
import re
import subprocess
import sys

import pytest

import clips

REPO_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))))
README = os.path.join(REPO_DIR, "README.md")
TIME_LIMIT = 60  # seconds per block; the longest (the first tree) runs its tree for 5 s

STAND_INS = {
    "rtsp://camera/stream": "rtsp://127.0.0.1:9/stream",
}

BLOCK = re.compile(r"^(?:<!-- not run: (?P<reason>.+?) -->\n)?```python\n(?P<code>.*?)^```",
                   re.M | re.S)


def readme_blocks():
    with open(README, encoding="utf-8") as f:
        text = f.read()
    blocks = []
    for match in BLOCK.finditer(text):
        line = text.count("\n", 0, match.start("code"))  # the fence's line, counted from 1
        marks = [pytest.mark.skip(reason="README.md line %d: %s" % (line, match["reason"]))
                 ] if match["reason"] else []
        blocks.append(pytest.param(match["code"], id="line%d" % line, marks=marks))
    return blocks


def test_the_readme_has_python_blocks():
    # Guards the pattern: a README whose blocks were all missed would pass everything below.
    assert len(readme_blocks()) >= 2


@pytest.fixture(scope="module")
def clip_mp4(tmp_path_factory):
    """25 fps, 50 frames of 160x120 in MP4, the container the README names."""
    return clips.write_clip(tmp_path_factory.mktemp("readme") / "clip.mp4", frames=50, fps=25.0,
                            fourcc="mp4v")


def run_block(code, clip):
    for placeholder, stand_in in dict(STAND_INS, **{"clip.mp4": clip}).items():
        code = code.replace(placeholder, stand_in)
    try:
        return subprocess.run([sys.executable, "-c", code], cwd=REPO_DIR, capture_output=True,
                              text=True, timeout=TIME_LIMIT)
    except subprocess.TimeoutExpired as exc:
        pytest.fail("the block did not finish within %d s:\n%s\n%s"
                    % (TIME_LIMIT, exc.stdout, exc.stderr))


@pytest.mark.parametrize("code", readme_blocks())
def test_readme_block_runs(code, clip_mp4):
    child = run_block(code, clip_mp4)
    assert child.returncode == 0, child.stdout + child.stderr


def test_the_warning_filter_keeps_the_first_of_the_repeated_lines(clip_mp4):
    code = next(block.values[0] for block in readme_blocks()
                if "class FirstThenEvery" in block.values[0])
    child = run_block(code, clip_mp4)
    assert child.stderr.count("视频未启动: " + clip_mp4) == 1, child.stderr
