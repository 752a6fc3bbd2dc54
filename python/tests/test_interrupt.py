"""Stopping a running extraction (Ctrl-C, an exception from a signal handler
or from the progress callback) and reporting its progress."""

import json
import logging
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import dataset
import karvik
from karvik import BoundingBox, extract
from oracle import Box, expected_records, read_las

LOGGER = "karvik_core.pipeline.executor"

# What the extraction keeps of the long dataset: a sliver of every tile.
SLIVER = (10000.005, 10010.005, 30000.005, 30100.005)


@pytest.fixture(scope="session")
def long_tile(tmp_path_factory):
    directory = tmp_path_factory.mktemp("long")
    return dataset.write_dataset(directory, columns=1, rows=1, points_per_tile=500_000)[0]


@pytest.fixture(scope="session")
def long_index(long_tile):
    """One tile of 500,000 points listed 320 times: 160 million points to
    read, seconds of work on any machine, from 14 MB of data."""
    path = long_tile.path.parent / "long.gpkg"
    dataset.write_index(path, [long_tile] * 320)
    return str(path)


@pytest.fixture(scope="session")
def medium_index(long_tile):
    """The same tile listed 80 times: long enough for a few progress reports."""
    path = long_tile.path.parent / "medium.gpkg"
    dataset.write_index(path, [long_tile] * 80)
    return str(path)


# Runs in a child, so that a Ctrl-C arriving after the extraction cannot end
# the test session: the extraction with a SIGINT sent from a timer thread
# 0.5 s in, then a complete one from the small index. Prints what happened as JSON.
CHILD = """
import json, os, signal, sys, threading, time
sys.path[:0] = [{module_dir!r}]
import karvik

class FromHandler(Exception):
    pass

def raise_from_handler(signum, frame):
    raise FromHandler("raised by the handler")

if {custom_handler!r}:
    signal.signal(signal.SIGINT, raise_from_handler)
sent = []
def interrupt():
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)

box = karvik.BoundingBox(*{sliver!r})
timer = threading.Timer(0.5, interrupt)
started = time.monotonic()
timer.start()
try:
    karvik.extract({index!r}, {output!r}, box)
    outcome = {{"raised": None}}
except BaseException as error:
    ended = time.monotonic()
    outcome = {{"raised": type(error).__name__, "message": str(error), "after_signal": ended - sent[0],
                "elapsed": ended - started}}
timer.join()
outcome["listing"] = sorted(os.listdir(os.path.dirname({output!r})))
with open({output!r}, "rb") as previous:
    outcome["previous"] = previous.read().decode(errors="replace")
stats = karvik.extract({small_index!r}, {output!r}, box)
outcome["next_written"] = stats.points_written
print(json.dumps(outcome))
"""


@pytest.mark.parametrize("custom_handler, raised, message", [
    (False, "KeyboardInterrupt", ""),
    (True, "FromHandler", "raised by the handler"),
], ids=["ctrl_c", "handler_exception"])
def test_a_signal_stops_the_extraction_leaving_nothing(index, long_index, tmp_path, custom_handler, raised,
                                                       message):
    output = tmp_path / "out.las"
    output.write_text("previous result")
    script = CHILD.format(module_dir=str(Path(karvik.__file__).parent), custom_handler=custom_handler,
                          sliver=SLIVER, index=long_index, small_index=index, output=str(output))
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                           timeout=300)
    assert child.returncode == 0, child.stderr
    outcome = json.loads(child.stdout)
    assert outcome["raised"] == raised, "the extraction ended before the signal"
    assert outcome["message"] == message
    # Within 0.2 s on an idle machine; the margin is for a loaded one and sanitizers.
    assert outcome["after_signal"] < 0.6, outcome
    assert outcome["listing"] == ["out.las"]  # no temporary file left
    assert outcome["previous"] == "previous result"
    assert outcome["next_written"] > 0  # the pool serves the next extraction
    assert read_las(output).count == outcome["next_written"]


class Stop(Exception):
    pass


def test_progress_reports_while_running_and_at_the_end(tiles, index, medium_index, tmp_path):
    reports = []
    stats = extract(medium_index, tmp_path / "out.las", BoundingBox(*SLIVER), progress=reports.append)
    assert len(reports) >= 2
    assert all(type(r) is karvik.ExtractionProgress for r in reports)
    seen = [(r.tiles_done, r.tiles_total, r.points_read, r.points_written) for r in reports]
    assert seen == sorted(seen)  # nothing goes back
    assert all(total in (0, 80) and done <= 80 for done, total, _, _ in seen)
    assert seen[-1] == (80, 80, stats.points_read, stats.points_written)
    assert 0 < seen[0][2] < stats.points_read  # the first report comes while points are read
    # About ten a second: the extraction lasted stats.elapsed_time.
    assert len(reports) <= stats.elapsed_time * 10 + 2
    assert repr(reports[-1]) == (f"ExtractionProgress(tiles_done=80, tiles_total=80, "
                                 f"points_read={stats.points_read}, points_written={stats.points_written})")

    # A short extraction gets its final report, with the right counts.
    reports.clear()
    region = Box(*SLIVER)
    stats = extract(index, tmp_path / "short.las", BoundingBox(*SLIVER), progress=reports.append)
    assert reports[-1].points_written == stats.points_written == len(expected_records(tiles, region)) // 28


@pytest.mark.parametrize("run", [
    lambda index, output, geometry, progress: extract(index, output, geometry, progress=progress),
    lambda index, output, geometry, progress: karvik.read(index, geometry, progress=progress),
], ids=["extract", "read"])
def test_an_exception_from_the_callback_stops_the_extraction(index, long_index, tmp_path, run):
    output = tmp_path / "out.las"
    output.write_text("previous result")
    calls = []

    def progress(report):
        calls.append(report)
        if len(calls) == 2:
            raise Stop("enough")

    with pytest.raises(Stop, match="enough"):
        run(long_index, output, BoundingBox(*SLIVER), progress)
    assert len(calls) == 2 and calls[1].tiles_done < 320
    assert sorted(os.listdir(tmp_path)) == ["out.las"]
    assert output.read_text() == "previous result"
    assert len(karvik.read(index, BoundingBox(*SLIVER)).points) > 0


def test_progress_must_be_callable_or_none(index, tmp_path):
    with pytest.raises(TypeError, match="argument 'progress': must be callable, not int"):
        extract(index, tmp_path / "out.las", BoundingBox(*SLIVER), progress=1)
    assert extract(index, tmp_path / "out.las", BoundingBox(*SLIVER), progress=None).points_written > 0


class Abort(BaseException):
    """Not an Exception, as KeyboardInterrupt and SystemExit are not."""


def test_a_base_exception_from_a_log_handler_stops_the_extraction(long_index, tmp_path):
    # A failing handler is reported as unraisable; but a KeyboardInterrupt that
    # a signal raised in it must not be swallowed.
    class Raising(logging.Handler):
        def emit(self, record):
            raise Abort(record.getMessage())

    logger = logging.getLogger(LOGGER)
    handler = Raising()
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    try:
        with pytest.raises(Abort, match="Opening tile index"):
            extract(long_index, tmp_path / "out.las", BoundingBox(*SLIVER), verbose=True)
    finally:
        logger.removeHandler(handler)
        logger.setLevel(logging.NOTSET)
    assert os.listdir(tmp_path) == []
