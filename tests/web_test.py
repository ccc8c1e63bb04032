"""Drives the page through its own controls in headless Chromium: every download must be the
program's own output, byte for byte, served over http, opened from disk and offline.

Usage: web_test.py SITE_DIR PROGRAM EXAMPLE_IMAGE
Set ZKT2WAV_SCREENSHOT to a path to keep a picture of the page after a conversion.
"""

import base64
import functools
import http.server
import os
import pathlib
import random
import subprocess
import sys
import tempfile
import threading
import unittest

from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

from sound_path import downloaded, headless_chromium

SITE, PROGRAM, EXAMPLE = (pathlib.Path(arg).resolve() for arg in sys.argv[1:4])
RATES = ('48000', '44100', '22050', '11025', '8000')
SCRATCH = pathlib.Path(tempfile.mkdtemp(prefix='zkt2wav-web-'))


def generated_image():
    path = SCRATCH / 'generated.zkt'
    path.write_bytes(random.Random(7).randbytes(600))
    return path


def browser():
    return headless_chromium(SCRATCH, None, '--disable-quic', '--window-size=390,844')


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


class Site:
    """The site served on 127.0.0.1 at a free port, until stopped."""

    def __init__(self):
        handler = functools.partial(QuietHandler, directory=str(SITE))
        self.server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.url = f'http://127.0.0.1:{self.server.server_port}/'

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class Page:
    """The page as a user drives it: options first, then the image or the Convert button."""

    def __init__(self, driver, url):
        self.driver = driver
        driver.get(url)

    def element(self, id):
        return self.driver.find_element(By.ID, id)

    def set_options(self, rate='44100', gain='4', invert=False, pad='0'):
        Select(self.element('rate')).select_by_value(rate)
        Select(self.element('gain')).select_by_value(gain)
        if self.element('invert').is_selected() != invert:
            self.element('invert').click()
        if self.element('pad').get_attribute('value') != pad:
            self.element('pad').clear()
            self.element('pad').send_keys(pad)

    def convert(self, image=None):
        """Chooses the image, or waits for the options just set: either converts at once."""
        if image:
            self.element('image').send_keys(str(image))
        WebDriverWait(self.driver, 60).until(
            lambda d: self.element('download').get_attribute('href') or
            'failed' in self.element('status').get_attribute('class'))

    def status(self):
        return self.element('status').text

    def download(self):
        return downloaded(self.driver)


def program_output(image, rate='44100', gain='4', invert=False, pad='0'):
    output = SCRATCH / 'native.wav'
    args = [str(PROGRAM), '-i', str(image), '-o', str(output), '-f', rate, '-g', gain,
            '--pad', pad] + (['--invert'] if invert else [])
    subprocess.run(args, check=True)
    return output.read_bytes()


class PageTest(unittest.TestCase):
    def setUp(self):
        self.driver = browser()
        self.addCleanup(self.driver.quit)
        self.site = Site()
        self.addCleanup(self.site.stop)

    def expect_same_bytes(self, page, image, **options):
        self.assertTrue(page.element('download').get_attribute('href'), page.status())
        self.assertEqual(page.download(), program_output(image, **options), options)

    def test_downloads_are_the_programs_output(self):
        # Convert is never pressed: each change of an option must make the sound again, and
        # nothing older may be offered meanwhile.
        page = Page(self.driver, self.site.url)
        for image in (EXAMPLE, generated_image()):
            page.convert(image)
            for rate in RATES:
                for gain in ('1', '7'):
                    for invert in (False, True):
                        options = dict(rate=rate, gain=gain, invert=invert,
                                       pad='0.1' if invert else '0')
                        with self.subTest(image=image.name, **options):
                            page.set_options(**options)
                            page.convert()
                            self.expect_same_bytes(page, image, **options)
        if os.environ.get('ZKT2WAV_SCREENSHOT'):
            page.set_options()
            page.convert(EXAMPLE)
            self.driver.execute_script('document.activeElement.blur()')
            whole_page = self.driver.execute_cdp_cmd(
                'Page.captureScreenshot', {'format': 'png', 'captureBeyondViewport': True})
            pathlib.Path(os.environ['ZKT2WAV_SCREENSHOT']).write_bytes(
                base64.b64decode(whole_page['data']))

    def test_the_programs_messages_are_shown(self):
        page = Page(self.driver, self.site.url)
        empty = SCRATCH / 'empty.zkt'
        empty.write_bytes(b'')
        page.convert(empty)
        self.assertIn('Warning: the tape image is empty; the WAVE file holds only the lead-in.',
                      page.status())
        # Ten million bytes would make more than the 4 GiB a WAVE file can hold.
        big = SCRATCH / 'big.zkt'
        big.write_bytes(bytes(10_000_000))
        page.convert(big)
        self.assertEqual(page.status(),
                         'Error writing big.wav.\nThe output is too large for a WAVE file.')
        self.assertIsNone(page.element('download').get_attribute('href'))

    def test_the_padding_takes_a_point_or_a_comma(self):
        page = Page(self.driver, self.site.url)
        page.convert(EXAMPLE)
        for typed, seconds in (('1,5', '1.5'), ('0.25', '0.25'), ('', '0'), (' 2 ', '2'),
                               ('abc', None), ('1e1', None), ('60,5', None), ('-1', None)):
            with self.subTest(typed=typed):
                page.set_options(pad=typed)
                page.convert()
                if seconds is None:
                    self.assertEqual(page.status(), 'Silence at both ends must be seconds '
                                                    'from 0 to 60, like 1.5.')
                    self.assertIsNone(page.element('download').get_attribute('href'))
                    self.assertEqual(page.element('download').get_attribute('aria-disabled'),
                                     'true')
                else:
                    self.expect_same_bytes(page, EXAMPLE, pad=seconds)

    def test_the_rate_hint_follows_the_rate(self):
        page = Page(self.driver, self.site.url)
        for rate, says in (('48000', 'the longer last pulse of each byte too'),
                           ('44100', 'only where its bit 0 is 0'),
                           ('22050', 'no longer than the others'),
                           ('11025', 'no longer than the others'),
                           ('8000', 'too coarse for the pulses')):
            with self.subTest(rate=rate):
                Select(page.element('rate')).select_by_value(rate)
                self.assertTrue(page.element('rate-why').text.startswith(f'{rate} Hz '))
                self.assertIn(says, page.element('rate-why').text)

    def test_the_result_is_in_view_on_a_phone(self):
        self.driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride', {
            'width': 390, 'height': 844, 'deviceScaleFactor': 3, 'mobile': True})
        page = Page(self.driver, self.site.url)
        page.convert(generated_image())
        for id in ('status', 'play', 'progress', 'download'):
            with self.subTest(id=id):
                top, bottom, height = self.driver.execute_script(
                    'const box = arguments[0].getBoundingClientRect();'
                    'return [box.top, box.bottom, window.innerHeight];', page.element(id))
                self.assertGreaterEqual(top, 0)
                self.assertLessEqual(bottom, height)

    def test_play_moves_the_progress_bar(self):
        page = Page(self.driver, self.site.url)
        page.convert(generated_image())
        page.element('play').click()
        WebDriverWait(self.driver, 20).until(
            lambda d: float(page.element('progress').get_attribute('value')) > 0)
        self.assertEqual(page.element('play').text, 'Pause')
        page.element('stop').click()
        self.assertEqual(page.element('play').text, 'Play')

    def test_opened_from_disk(self):
        page = Page(self.driver, (SITE / 'index.html').as_uri())
        page.convert(EXAMPLE)
        self.expect_same_bytes(page, EXAMPLE)

    def test_works_offline_after_a_first_visit(self):
        page = Page(self.driver, self.site.url)
        WebDriverWait(self.driver, 30).until(
            lambda d: d.execute_script('return navigator.serviceWorker.controller !== null'))
        self.site.stop()
        self.driver.refresh()
        page.convert(EXAMPLE)
        self.expect_same_bytes(page, EXAMPLE)
        # The check is a program of its own, cached beside the converter.
        recording = SCRATCH / 'offline.wav'
        recording.write_bytes(page.download())
        page.element('check-image').send_keys(str(EXAMPLE))
        page.element('check-recording').send_keys(str(recording))
        WebDriverWait(self.driver, 30).until(
            lambda d: 'Verdict: PASS' in page.element('check-report').text)


if __name__ == '__main__':
    unittest.main(argv=sys.argv[:1], verbosity=2)
