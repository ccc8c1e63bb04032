"""Records into the page from Chromium's fake capture device and checks recordings in it: each
image it saves must be the one `zkt2wav --check` recovers from the same file, and each report
the command line's.

Usage: listen_test.py SITE_DIR PROGRAM EXAMPLE_IMAGE
Set ZKT2WAV_SCREENSHOT to a path to keep a picture of the Record section while it decodes.
"""

import contextlib
import functools
import http.server
import json
import os
import pathlib
import random
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

from sound_path import downloaded, headless_chromium, wait_for

SITE, PROGRAM, EXAMPLE = (pathlib.Path(arg).resolve() for arg in sys.argv[1:4])
SCRATCH = pathlib.Path(tempfile.mkdtemp(prefix='zkt2wav-listen-'))
RATE = 44100


def run(*args):
    # In the scratch directory, so that the program names the recording as the page does.
    return subprocess.run([str(arg) for arg in args], capture_output=True, text=True,
                          cwd=SCRATCH)


def sox(*args):
    result = run('sox', '-R', *args)
    if result.returncode != 0:
        raise RuntimeError(result.stderr)


def path(name):
    return SCRATCH / name


def converted(image, name):
    """The image as the program plays it, with a second of silence at each end, in 16 bits."""
    eight_bit = path(name + '.8.wav')
    run(PROGRAM, '-i', image, '-o', eight_bit, '--pad', '1').check_returncode()
    sox(eight_bit, '-b', '16', path(name))
    return path(name)


def seconds(recording):
    return float(run('soxi', '-D', recording).stdout)


def tone(name, length, *synth):
    sox('-n', '-r', RATE, '-b', '16', '-c', '1', path(name), 'synth', length, *synth)
    return path(name)


def degraded(clean):
    """Tape dropouts of 15 and 100 ms in the data (the longer outlasts the silence that ends a
    program, and the data is taken up again after it), then 50 Hz hum 26 dB under the pulses
    and white noise."""
    length = seconds(clean)
    cut = path('cut.wav')
    sox(clean, cut, *dropout(1 + 0.3 * (length - 2), 0.1), *dropout(1 + 0.7 * (length - 2), 0.015))
    hum = tone('hum.wav', length, 'sine', '50', 'vol', '0.022')
    noise = tone('noise.wav', length, 'whitenoise', 'vol', '0.01')
    sox('-m', '-v', '1', cut, '-v', '1', hum, '-v', '1', noise, path('degraded.wav'))
    return path('degraded.wav')


def dropout(at, length):
    """Sox effects that silence the sound from `at` for `length` seconds, keeping its time."""
    return ['trim', '0', f'={at}', f'={at + length}', 'pad', f'{length}@{at}']


def level_walk():
    """What the meter must put in words, one after another."""
    parts = [tone('silent.wav', 1.5, 'sine', '1000', 'vol', '0'),
             tone('good.wav', 1.5, 'sine', '1000', 'vol', '0.3'),
             tone('faint.wav', 1.5, 'sine', '1000', 'vol', '0.0002'),
             tone('clipped.wav', 1.5, 'square', '1000', 'vol', '2'),
             tone('hum-alone.wav', 2.5, 'sine', '50', 'vol', '0.05')]
    sox(*parts, path('levels.wav'))
    return path('levels.wav')


def setUpModule():
    global IMAGE, CLEAN, DEGRADED, TWO, M4A, M4A_AS_WAVE, WAVE_FORMS
    IMAGE = path('random.zkt')
    IMAGE.write_bytes(bytes(byte & 0x7F for byte in random.Random(21).randbytes(200)))
    CLEAN = converted(IMAGE, 'clean.wav')
    DEGRADED = degraded(CLEAN)
    TWO = path('two.wav')
    sox(converted(EXAMPLE, 'example.wav'), CLEAN, TWO)
    # The same sound in other forms of WAVE: 64-bit, big-endian, mu-law.
    WAVE_FORMS = [path('rf64.wav'), path('rifx.wav'), path('mu-law.wav')]
    run('ffmpeg', '-v', 'error', '-i', CLEAN, '-rf64', 'always',
        WAVE_FORMS[0]).check_returncode()
    sox(CLEAN, '-B', WAVE_FORMS[1])
    sox(CLEAN, '-e', 'u-law', WAVE_FORMS[2])
    M4A = path('clean.m4a')
    run('ffmpeg', '-v', 'error', '-i', CLEAN, '-c:a', 'aac', '-b:a', '192k',
        M4A).check_returncode()
    # The same sound as another decoder hears it, for the command line.
    M4A_AS_WAVE = path('m4a.wav')
    run('ffmpeg', '-v', 'error', '-i', M4A, '-c:a', 'pcm_f32le', M4A_AS_WAVE).check_returncode()


def recovered_by_program(recording):
    """Every program `zkt2wav --check` recovers from the recording, in order."""
    folder = pathlib.Path(tempfile.mkdtemp(dir=SCRATCH))
    checked = run(PROGRAM, '--check', recording, '-o', folder)
    if checked.returncode not in (0, 6):
        raise RuntimeError(checked.stderr)
    return [(folder / f'{n}.zkt').read_bytes()
            for n in range(1, len(list(folder.iterdir())) + 1)]


def differing_bytes(saved, expected):
    """Where each saved image parts from the one expected, to tell a lost stretch of sound
    from a different decision."""
    return [[i for i, (a, b) in enumerate(zip(one, other)) if a != b] + [len(one) - len(other)]
            for one, other in zip(saved, expected)]


def program_report(recording, image, json_report, program=1):
    result = run(PROGRAM, '--check', recording.name, '-i', image, '--program', program,
                 *(['--json'] if json_report else []))
    return json.loads(result.stdout) if json_report else result.stdout


def rounded(report):
    """The report with its figures to nine significant digits: the page's mathematical
    functions are not the C library's, and part from them in the last bits."""
    if isinstance(report, float):
        return float(f'{report:.9g}')
    if isinstance(report, dict):
        return {key: rounded(value) for key, value in report.items()}
    if isinstance(report, list):
        return [rounded(value) for value in report]
    return report


@contextlib.contextmanager
def page(*flags):
    driver = headless_chromium(SCRATCH, None, '--window-size=390,844', *flags)
    try:
        driver.get((SITE / 'index.html').as_uri())
        yield driver
    finally:
        driver.quit()


@contextlib.contextmanager
def served_on_the_network():
    """The site over plain http at this machine's own network address: not a secure page."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.connect(('192.0.2.1', 9))  # chooses the address a packet would leave from
        address = probe.getsockname()[0]
    handler = functools.partial(QuietHandler, directory=str(SITE))
    server = http.server.ThreadingHTTPServer((address, 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        yield f'http://{address}:{server.server_port}/'
    finally:
        server.shutdown()
        server.server_close()


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def capturing(recording):
    return page('--use-fake-ui-for-media-stream', '--use-fake-device-for-media-stream',
                f'--use-file-for-fake-audio-capture={recording}')


def text(driver, id):
    return driver.find_element(By.ID, id).text


class Record(unittest.TestCase):
    def saved_images(self, recording, count):
        """Records until `count` programs can be saved (the fake device plays the file over
        and over), then saves each. No program may be shown judged before its bytes are
        final."""
        with capturing(recording) as driver:
            driver.find_element(By.ID, 'record').click()
            links = lambda: driver.find_elements(By.CSS_SELECTOR, '#programs a[href][download]')
            judged = set()
            def saveable():
                judged.update(entry for entry in text(driver, 'programs').splitlines()
                              if entry.endswith(('PASS', 'FAIL')))
                return len(links()) >= count
            wait_for(saveable, f'{count} programs saved', 2 * seconds(recording) + 20)
            if os.environ.get('ZKT2WAV_SCREENSHOT'):
                # While a program is being read: the file plays again and again.
                wait_for(lambda: 'reading' in text(driver, 'programs'), 'a program read',
                         seconds(recording) + 10)
                section = driver.find_element(By.ID, 'record-heading').find_element(By.XPATH, '..')
                driver.execute_script('arguments[0].scrollIntoView()', section)
                section.screenshot(os.environ['ZKT2WAV_SCREENSHOT'])
            driver.find_element(By.ID, 'record').click()
            wait_for(lambda: text(driver, 'record-status').startswith('Stopped: '), 'the stop')
            found = int(text(driver, 'record-status').split()[1])
            self.assertGreaterEqual(found, count)
            final = text(driver, 'programs').splitlines()
            self.assertTrue(judged <= set(final), judged - set(final))
            return [downloaded(driver, link) for link in links()[:count]]

    def test_saves_what_the_check_recovers(self):
        for name, recording, originals in (('clean', CLEAN, [IMAGE]),
                                           ('degraded', DEGRADED, None),
                                           ('two programs', TWO, [EXAMPLE, IMAGE])):
            with self.subTest(name):
                expected = recovered_by_program(recording)
                self.assertEqual(len(expected), 2 if recording == TWO else 1)
                saved = self.saved_images(recording, len(expected))
                self.assertEqual(saved, expected, differing_bytes(saved, expected))
                if originals:
                    self.assertEqual(saved, [image.read_bytes() for image in originals])

    def test_goes_on_after_a_stop(self):
        with capturing(CLEAN) as driver:
            links = lambda: driver.find_elements(By.CSS_SELECTOR, '#programs a[href]')
            for take in (1, 2):
                driver.find_element(By.ID, 'record').click()
                wait_for(lambda: len(links()) >= take, f'program {take}', 30)
                driver.find_element(By.ID, 'record').click()
            entries = driver.find_elements(By.CSS_SELECTOR, '#programs li')
            self.assertTrue(entries[1].text.startswith('2. recording 2, at '), entries[1].text)
            self.assertEqual(downloaded(driver, links()[1]), IMAGE.read_bytes())

    def test_the_meter_says_what_it_hears(self):
        # In this order, each once the meter has heard enough of it (hum takes a second).
        expected = ['Silence', 'Good', 'Too quiet to read', 'Clipping', 'Hum at 50 Hz']
        heard = []
        with capturing(level_walk()) as driver:
            driver.find_element(By.ID, 'record').click()
            deadline = time.monotonic() + 20
            while heard != expected and time.monotonic() < deadline:
                words = text(driver, 'level').split(':')[0].split(' (')[0]
                if len(heard) < len(expected) and words == expected[len(heard)]:
                    heard.append(words)
                time.sleep(0.05)
        self.assertEqual(heard, expected)

    def test_says_why_the_microphone_is_unavailable(self):
        denied = ("The page may not use the microphone: allow it in the browser's site "
                  "settings (by the address bar), then press Record again.")
        insecure = ('Recording needs a secure page: open it over https://, from localhost or '
                    'from a file on this device.')
        with served_on_the_network() as url:
            for name, address, expected in (('denied', (SITE / 'index.html').as_uri(), denied),
                                             ('insecure', url, insecure)):
                with self.subTest(name), page('--use-fake-device-for-media-stream') as driver:
                    driver.get(address)
                    driver.find_element(By.ID, 'record').click()
                    wait_for(lambda: text(driver, 'record-status'), 'a message')
                    self.assertEqual(text(driver, 'record-status'), expected)


class CheckRecording(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pages = page()
        cls.driver = cls.pages.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.pages.__exit__(None, None, None)

    def checked(self, recording, image, program=1):
        """The page's report as text and as JSON, on the program chosen once the first
        report has listed them."""
        self.driver.refresh()
        self.driver.find_element(By.ID, 'check-image').send_keys(str(image))
        self.driver.find_element(By.ID, 'check-recording').send_keys(str(recording))
        reported = lambda: self.driver.find_element(By.ID, 'check-json').get_attribute('href')
        wait_for(reported, 'the report', 60)
        if program != 1:
            Select(self.driver.find_element(By.ID, 'check-program')).select_by_value(str(program))
            wait_for(lambda: reported() and f'report is on program {program}' in
                     text(self.driver, 'check-report'), f'the report on program {program}', 60)
        return (text(self.driver, 'check-report') + '\n',
                json.loads(downloaded(self.driver, self.driver.find_element(By.ID, 'check-json'))))

    def test_reports_as_the_command_line(self):
        for recording, image, program in ((CLEAN, IMAGE, 1), (DEGRADED, IMAGE, 1),
                                          (TWO, EXAMPLE, 1), (TWO, IMAGE, 2),
                                          *((form, IMAGE, 1) for form in WAVE_FORMS)):
            with self.subTest(f'{recording.name}, program {program}'):
                page_text, page_json = self.checked(recording, image, program)
                self.assertEqual(page_text, program_report(recording, image, False, program))
                self.assertEqual(rounded(page_json),
                                 rounded(program_report(recording, image, True, program)))

    def test_checks_what_only_the_browser_decodes(self):
        refused = run(PROGRAM, '--check', M4A)
        self.assertEqual(refused.returncode, 4)
        self.assertIn('It is not a WAVE, FLAC, AIFF or Ogg recording.', refused.stderr)
        _, page_json = self.checked(M4A, IMAGE)
        decoded_by_ffmpeg = program_report(M4A_AS_WAVE, IMAGE, True)
        self.assertEqual((page_json['verdict'], page_json['bytes'], page_json['mismatches']),
                         ('pass', IMAGE.stat().st_size, 0))
        self.assertEqual((page_json['recording']['rate'], page_json['recording']['lossy']),
                         (RATE, True))
        # Two AAC decoders part in the last bits and in the samples they drop at the start.
        self.assertAlmostEqual(page_json['speed'], decoded_by_ffmpeg['speed'], delta=0.0005)
        self.assertAlmostEqual(page_json['peak_dbfs'], decoded_by_ffmpeg['peak_dbfs'], delta=0.1)
        self.assertAlmostEqual(page_json['margin'], decoded_by_ffmpeg['margin'], delta=0.02)


if __name__ == '__main__':
    unittest.main(argv=sys.argv[:1], verbosity=2)
