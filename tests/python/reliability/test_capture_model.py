"""The capture against a stateful model (capture_model.py): Hypothesis draws sequences of
start, stop, pause, resume, seek and frame reads on a real clip while background threads
read pairs; every call returns within its bound and every pair fits the numbering rules.
The model runs in a child interpreter, so a deadlock fails the test instead of hanging it."""
import json
import os

import pytest

import clips
from reliability_support import STRESS, scaled

HERE = os.path.dirname(os.path.abspath(__file__))
FRAMES = 12
EXAMPLES = scaled(40, 1000)
STEPS = scaled(40, 60)
READERS = 2

RUN_MODEL = """
import sys
sys.path.insert(0, sys.argv[1])
from capture_model import main
main(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]), int(sys.argv[6]))
"""


@pytest.fixture(scope="module")
def model_clip(clip_dir):
    """200 fps, 12 frames: it loops about every 0.06 s, so examples meet re-opens."""
    return clips.write_clip(clip_dir / "model12.mkv", frames=FRAMES, fps=200.0)


def test_capture_follows_its_model(run_python, model_clip):
    result = run_python(RUN_MODEL, timeout=scaled(120, 1800),
                        args=[HERE, model_clip, FRAMES, EXAMPLES, STEPS, READERS])
    assert result.returncode == 0, result.stderr[-6000:]
    totals = json.loads(result.stdout.strip().splitlines()[-1])
    # The run exercised what it is meant to; the rarer checks are certain only at full size.
    assert totals["examples"] >= EXAMPLES and totals["reader_pairs"] >= totals["examples"]
    rare = ("paused_checks", "sequence_checks", "reloads") if STRESS else ()
    for key in ("seeks", "restarts", "pauses") + rare:
        assert totals[key] > 0, totals
