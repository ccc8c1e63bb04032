#!/usr/bin/python3
"""Plays a random 2 KiB image through two builds of the page, in turn, into a PulseAudio
daemon of its own while stress-ng loads the machine, records every playback and prints what
the check read from it, where the sound had gaps and what the page said at the end.

Usage: playback_under_load.py OLD_SITE NEW_SITE PROGRAM [--runs N] [--load 'STRESS-NG ARGS']
"""

import argparse
import contextlib
import json
import os
import pathlib
import random
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import wave

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / 'tests'))
from sound_path import SINK_RATE, Daemon, Page, die_with_the_caller

# On a 2-core machine busy cores, memory pressure and short-lived processes left both pages
# whole; it took a few hundred context switches a second beside them to make the old page
# drop samples, and a thousand made every playback of either fail.
LOAD = '--cpu 2 --vm 2 --vm-bytes 30% --fork 4 --switch 1 --switch-freq 500'


@contextlib.contextmanager
def load(args, scratch, seconds):
    """stress-ng with the arguments, in a process group of its own that is ended on the way
    out, and that ends by itself after the seconds given should nothing end it."""
    home = scratch / 'stress'
    home.mkdir()
    with (scratch / 'stress.log').open('w') as log:
        process = subprocess.Popen(
            ['stress-ng', *args, '--temp-path', str(home), '--timeout', f'{seconds:.0f}s'],
            cwd=home, env=dict(os.environ, HOME=str(home), TMPDIR=str(home)),
            stdout=log, stderr=subprocess.STDOUT, start_new_session=True,
            preexec_fn=die_with_the_caller)
    try:
        # Figures taken without the load would pass for figures under it.
        time.sleep(2)
        if process.poll() is not None:
            raise RuntimeError('stress-ng stopped at once:\n' +
                               (scratch / 'stress.log').read_text())
        yield
    finally:
        for sig in (signal.SIGTERM, signal.SIGKILL):
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, sig)
            with contextlib.suppress(subprocess.TimeoutExpired):
                process.wait(10)


def check(program, recording, image):
    """Whether the check passed, and its JSON report or, where it wrote none, what it said."""
    result = subprocess.run([program, '--check', recording, '-i', image, '--json'],
                            capture_output=True, text=True)
    try:
        return result.returncode == 0, json.loads(result.stdout)
    except json.JSONDecodeError:
        return False, (result.stdout + result.stderr).strip()


def playback(daemon, driver, site, image, heard, program):
    """Plays the image once through the site into a recording at the path heard, and returns
    whether the check passed, whether it found gaps, whether the page said the sound
    stuttered, and a line saying so."""
    try:
        page = Page(driver, site)
        page.play(image, str(SINK_RATE), daemon.recording(heard))
    except Exception as error:  # a page stuck under load is a figure too, not the end
        return False, False, False, f'FAIL, the playback did not finish: {error!r}'
    status = page.status().split('\n')[0]
    stutter = 'stuttered' in status
    said = f'stutter reported: "{status}"' if stutter else f'no stutter reported ("{status}")'
    passed, report = check(program, heard, image)
    if not isinstance(report, dict):
        return passed, False, stutter, f'FAIL, the check wrote no report: {report}; {said}'
    differ = report['mismatches']
    gaps = ', '.join(f'{1000 * d["length"]:.0f} ms at {d["seconds"]:.3f} s (byte {d["byte"]})'
                     for d in report['dropouts'])
    found = (f'{report["bytes"]} bytes read, '
             f'{"too few to compare" if differ is None else f"{differ} differ"}, '
             f'{f"gaps: {gaps}" if gaps else "no gap"}')
    if not passed and not gaps:
        found += f' ({"; ".join(report["reasons"])})'
    return (passed, bool(gaps), stutter,
            f'{"PASS" if passed else "FAIL"}, {found}; {said}')


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('old_site', type=pathlib.Path)
    parser.add_argument('new_site', type=pathlib.Path)
    parser.add_argument('program', type=pathlib.Path)
    parser.add_argument('--runs', type=int, default=10)
    parser.add_argument('--load', default=LOAD, help=f'stress-ng arguments (default: {LOAD})')
    args = parser.parse_args()
    sites = {'old': args.old_site.resolve(), 'new': args.new_site.resolve()}
    program = args.program.resolve()
    load_args = shlex.split(args.load)
    # SIGTERM too must stop the load and the daemon on the way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    with contextlib.ExitStack() as stack:
        scratch = pathlib.Path(tempfile.mkdtemp(prefix='zkt2wav-load-'))
        stack.callback(shutil.rmtree, scratch)
        image = scratch / 'random.zkt'
        image.write_bytes(random.Random(2048).randbytes(2048))
        subprocess.run([program, '-i', image, '-o', scratch / 'native.wav', '-f',
                        str(SINK_RATE)], check=True, capture_output=True)
        with wave.open(str(scratch / 'native.wav')) as file:
            seconds = file.getnframes() / file.getframerate()
        print(f'{image.stat().st_size} random bytes, {seconds:.1f} s of sound at {SINK_RATE} Hz, '
              f'played {args.runs} times through each page', flush=True)

        daemon = Daemon(scratch)
        daemon.start()
        stack.callback(daemon.stop)
        driver = daemon.browser()
        stack.callback(driver.quit)
        stack.enter_context(load(load_args, scratch, 2 * args.runs * (seconds + 60) + 60))
        started = time.monotonic()
        # Per page: passed the check, had gaps, the page said the sound stuttered.
        tally = {name: [0, 0, 0] for name in sites}
        for run in range(1, args.runs + 1):
            for name, site in sites.items():
                heard = scratch / f'{name}-{run}.wav'
                *counts, line = playback(daemon, driver, site, image, heard, program)
                tally[name] = [total + count for total, count in zip(tally[name], counts)]
                heard.unlink(missing_ok=True)
                print(f'{name} {run}: {line}', flush=True)
        minutes = (time.monotonic() - started) / 60
    for name, (passed, gapped, stutters) in tally.items():
        print(f'{name} page: {passed} of {args.runs} passed the check; {gapped} had gaps; '
              f'the page reported a stutter after {stutters}')
    print(f'load: stress-ng {shlex.join(load_args)}; {2 * args.runs} playbacks in '
          f'{minutes:.1f} min')


if __name__ == '__main__':
    main()
