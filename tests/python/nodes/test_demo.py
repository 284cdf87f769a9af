"""The demo plays its own test pattern through both trees and writes a contact sheet."""
import os
import re
import subprocess
import sys

import cv2

REPO_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
DEMO = os.path.join(REPO_DIR, "examples", "demo.py")


def test_demo_runs_both_pairs_and_writes_a_contact_sheet(tmp_path):
    sheet = tmp_path / "sheet.png"
    child = subprocess.run([sys.executable, DEMO, "--seconds", "1", "--sheet", str(sheet)],
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stdout + child.stderr
    # The threaded tree waits for the capture's first frame, so a healthy run warns of nothing.
    assert "无法读取视频帧" not in child.stdout + child.stderr
    seen = re.findall(r"frames seen (\d+), distinct frames (\d+)", child.stdout)
    assert len(seen) == 2, child.stdout
    for frames, distinct in seen:
        assert int(frames) >= int(distinct) >= 10
    assert child.stdout.count("tick time p50") == 2
    image = cv2.imread(str(sheet))
    assert image is not None and image.shape[1] > 0
