"""The README and the pages in docs/ hold as written.

Every ```python block runs as written, each in a fresh interpreter with a time limit, from the
repository root and with the build's package tree (the plug-in and the stand-in host) on the
path, as a reader who has run `make build` would run it. Sources that stand for the reader's
own are replaced in the block's text before it runs: `clip.mp4` by a generated clip, and the
camera URL `rtsp://camera/stream` by a local port where nothing listens (its open fails at
once, as a camera that is not there yet). A block that cannot run here is skipped when the
line right before its fence is the comment `<!-- not run: REASON -->`; the reason appears in
the test report.

Every relative link leads to a file or folder of the repository, and a link with `#anchor` to
a heading of the Markdown page it names, by GitHub's anchors.
"""
import glob
import os
import re
import subprocess
import sys
import unicodedata

import pytest

import clips

REPO_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))))
PAGES = ["README.md"] + sorted(os.path.relpath(path, REPO_DIR) for path in
                               glob.glob(os.path.join(REPO_DIR, "docs", "*.md")))
TIME_LIMIT = 60  # seconds per block; the longest (the first tree) runs its tree for 5 s

STAND_INS = {
    "rtsp://camera/stream": "rtsp://127.0.0.1:9/stream",
}

BLOCK = re.compile(r"^(?:<!-- not run: (?P<reason>.+?) -->\n)?```python\n(?P<code>.*?)^```",
                   re.M | re.S)
FENCE = re.compile(r"^```.*?^```[ \t]*$", re.M | re.S)
CODE_SPAN = re.compile(r"(`+)(?:(?!\1).)+?\1", re.S)
LINK = re.compile(r"!?\[(?:[^\]\\]|\\.)*\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
HEADING = re.compile(r"^#{1,6}[ \t]+(.+?)[ \t#]*$", re.M)


def read(page):
    with open(os.path.join(REPO_DIR, page), encoding="utf-8") as f:
        return f.read()


def python_blocks(page):
    text = read(page)
    blocks = []
    for match in BLOCK.finditer(text):
        line = text.count("\n", 0, match.start("code"))  # the fence's line, counted from 1
        where = "%s line %d" % (page, line)
        marks = [pytest.mark.skip(reason="%s: %s" % (where, match["reason"]))
                 ] if match["reason"] else []
        blocks.append(pytest.param(match["code"], id=where.replace(" ", ":"), marks=marks))
    return blocks


ALL_BLOCKS = [block for page in PAGES for block in python_blocks(page)]


def slug(heading):
    """GitHub's anchor of a heading: the text as rendered, in lower case, without
    punctuation, with each space a hyphen."""
    text, rendered = heading, []
    while text:
        code = CODE_SPAN.search(text)
        plain, text = (text[:code.start()], text[code.end():]) if code else (text, "")
        plain = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", plain)  # a link keeps its text
        rendered.append(plain.replace("*", ""))                        # emphasis marks go
        if code:
            rendered.append(code.group(0).strip("`").strip())          # code keeps its text
    return "".join(c for c in "".join(rendered).lower()
                   if c in " -_" or unicodedata.category(c)[0] in "LNM").replace(" ", "-")


def anchors(page):
    """Every anchor of a Markdown page; a repeated heading gets -1, -2, ... as on GitHub."""
    seen, result = {}, set()
    for match in HEADING.finditer(FENCE.sub("", read(page))):
        base = slug(match[1])
        count = seen.get(base, 0)
        seen[base] = count + 1
        result.add(base if count == 0 else "%s-%d" % (base, count))
    return result


def outside_code(text):
    """The text with fenced blocks and code spans blanked out, lines kept in place."""
    def blank(match):
        return re.sub(r"[^\n]", " ", match.group(0))
    return CODE_SPAN.sub(blank, FENCE.sub(blank, text))


def links(page):
    """(line, target) of every link outside code, in the order of the page."""
    text = outside_code(read(page))
    return [(text.count("\n", 0, m.start()) + 1, m[1]) for m in LINK.finditer(text)]


def broken_link(page, target):
    """Why a relative link of `page` does not resolve, or None when it does (or is not
    relative)."""
    if re.match(r"[a-z][a-z0-9+.-]*:", target, re.I) or target.startswith("//"):
        return None
    path, _, anchor = target.partition("#")
    linked = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
    if linked.startswith(".."):
        return "%s lies outside the repository" % linked
    if not os.path.exists(os.path.join(REPO_DIR, linked)):
        return "%s does not exist" % linked
    if anchor:
        if not linked.endswith(".md"):
            return "%s is not a Markdown page, so it has no #%s" % (linked, anchor)
        if anchor not in anchors(linked):
            return "%s has no heading with the anchor #%s" % (linked, anchor)
    return None


def test_the_patterns_find_every_block_and_link():
    # A page whose blocks or links the patterns missed would pass everything below.
    for page in PAGES:
        text = read(page)
        assert len(python_blocks(page)) == text.count("```python\n"), page
        assert outside_code(text).count("<!-- not run:") == sum(
            1 for block in python_blocks(page) if block.marks), (
            "%s: a not-run comment that is not right before a ```python fence" % page)
    assert len(python_blocks("README.md")) >= 2
    assert len(links("README.md")) >= 10


@pytest.mark.parametrize("heading, anchor", [
    ("Frame age and time", "frame-age-and-time"),
    ("Binary wheels, tested where they install", "binary-wheels-tested-where-they-install"),
    ("Live H.264 camera: frame age", "live-h264-camera-frame-age"),
    ("`corvane.plugins.video.capture.ParallVideoCapture`",
     "corvanepluginsvideocaptureparallvideocapture"),
    ("What a node's tick returns", "what-a-nodes-tick-returns"),
    ("Starting (`start`, on the caller's thread)", "starting-start-on-the-callers-thread"),
    ("The worker (`_capture_loop`, on the worker thread)",
     "the-worker-_capture_loop-on-the-worker-thread"),
    ("Offline, over **Debian 13**", "offline-over-debian-13"),
])
def test_anchors_are_githubs(heading, anchor):
    assert slug(heading) == anchor


def test_a_broken_link_is_found():
    # The check below must fail on what it is there to find.
    assert broken_link("README.md", "docs/no-such-page.md")
    assert broken_link("README.md", "docs/sources.md#no-such-heading")
    assert broken_link("docs/sources.md", "sources.md#Frame-age-and-time")  # anchors: lower case
    assert broken_link("docs/sources.md", "#reconnecting") is None
    assert broken_link("docs/sources.md", "../README.md#a-tree-in-a-dozen-lines") is None


@pytest.mark.parametrize("page", PAGES)
def test_relative_links_resolve(page):
    broken = ["line %d: (%s): %s" % (line, target, why) for line, target in links(page)
              for why in [broken_link(page, target)] if why]
    assert not broken, "\n".join(broken)


@pytest.fixture(scope="module")
def clip_mp4(tmp_path_factory):
    """25 fps, 50 frames of 160x120 in MP4, the container the pages name."""
    return clips.write_clip(tmp_path_factory.mktemp("docs") / "clip.mp4", frames=50, fps=25.0,
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


@pytest.mark.parametrize("code", ALL_BLOCKS)
def test_python_block_runs(code, clip_mp4):
    child = run_block(code, clip_mp4)
    assert child.returncode == 0, child.stdout + child.stderr


def test_the_warning_filter_keeps_the_first_of_the_repeated_lines(clip_mp4):
    code = next(block.values[0] for block in ALL_BLOCKS
                if "class FirstThenEvery" in block.values[0])
    child = run_block(code, clip_mp4)
    assert child.stderr.count("视频未启动: " + clip_mp4) == 1, child.stderr
