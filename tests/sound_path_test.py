"""Plays the page's sound in headless Chromium into a PulseAudio daemon of the test's own, whose
only device is a null sink, and records the sink as a sound card would hear it. At the sink's
rate nothing may resample, so every sample heard must be the file's own, bit for bit; at
another rate something must, and the check must still read the image from what was heard.

Usage: sound_path_test.py SITE_DIR PROGRAM EXAMPLE_IMAGE
"""

import pathlib
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

from sound_path import SINK_RATE, Daemon, Page

SITE, PROGRAM, EXAMPLE = (pathlib.Path(arg).resolve() for arg in sys.argv[1:4])
SCRATCH = pathlib.Path(tempfile.mkdtemp(prefix='zkt2wav-sound-'))
DAEMON = Daemon(SCRATCH)


def generated_image():
    path = SCRATCH / 'generated.zkt'
    path.write_bytes(random.Random(7).randbytes(256))
    return path


def setUpModule():
    unittest.addModuleCleanup(shutil.rmtree, SCRATCH)
    DAEMON.start()
    unittest.addModuleCleanup(DAEMON.stop)


class SoundPathTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.driver = DAEMON.browser()
        cls.addClassCleanup(cls.driver.quit)

    def play(self, image, rate, recording_path):
        return Page(self.driver, SITE).play(image, rate, DAEMON.recording(recording_path))

    def test_at_the_sinks_rate_every_sample_is_heard_as_it_is(self):
        for image in (EXAMPLE, generated_image()):
            with self.subTest(image=image.name):
                samples = self.play(image, str(SINK_RATE), SCRATCH / f'{image.stem}.raw')
                heard = (SCRATCH / f'{image.stem}.raw').read_bytes()
                frames = [heard[i:i + 8] for i in range(0, len(heard), 8)]
                first_sound = next((i for i, frame in enumerate(frames) if any(frame)), None)
                self.assertIsNotNone(first_sound, 'nothing was heard')
                start = first_sound - next(i for i, s in enumerate(samples) if s != 128)
                self.assertGreaterEqual(start, 0, 'the sound started before the recording')
                self.assertGreaterEqual(len(frames) - start, len(samples),
                                        'the recording stopped before the sound')
                wrong = [(s, struct.unpack('<2f', frame))
                         for s, frame in zip(samples, frames[start:])
                         if frame != struct.pack('<2f', (s - 128) / 128, (s - 128) / 128)]
                print(f'{image.name}: {len(samples)} samples compared on both channels, '
                      f'{len(wrong)} differ')
                worst = max((abs(h - (s - 128) / 128) for s, pair in wrong for h in pair),
                            default=0)
                first = '; '.join(f'{s} as {left:.9g} and {right:.9g}, not {(s - 128) / 128:.9g}'
                                  for s, (left, right) in wrong[:3])
                self.assertEqual(len(wrong), 0,
                                 f'by up to {worst:.6g}; the first heard left and right: {first}')

    def test_at_another_rate_the_check_reads_the_image_from_the_sound(self):
        for image in (EXAMPLE, generated_image()):
            with self.subTest(image=image.name):
                heard = SCRATCH / f'{image.stem}.wav'
                self.play(image, '22050', heard)
                check = subprocess.run([PROGRAM, '--check', heard, '-i', image],
                                       capture_output=True, text=True)
                self.assertEqual(check.returncode, 0, check.stdout + check.stderr)


if __name__ == '__main__':
    unittest.main(argv=sys.argv[:1], verbosity=2)
