"""A PulseAudio daemon of the caller's own, whose only device is a null sink, and the page
played into it by headless Chromium and recorded as a sound card would hear it."""

import base64
import contextlib
import ctypes
import io
import os
import signal
import struct
import subprocess
import tempfile
import time
import wave

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

SINK_RATE = 44100


def wait_for(condition, what, seconds=20):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError(f'{what} did not happen in {seconds} s')
        time.sleep(0.05)


def downloaded(driver, link=None):
    """The file a link of the page offers (Download, where none is given), fetched inside the
    page."""
    encoded = driver.execute_async_script('''
        const done = arguments[arguments.length - 1];
        fetch(arguments[0].href)
            .then((response) => response.arrayBuffer())
            .then((buffer) => {
              const bytes = new Uint8Array(buffer);
              let text = '';
              for (let i = 0; i < bytes.length; i += 0x8000)
                text += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
              done(btoa(text));
            });''', link or driver.find_element(By.ID, 'download'))
    return base64.b64decode(encoded)


def headless_chromium(scratch, env=None, *flags):
    """Debian's Chromium under its driver, its profile in the scratch directory, free to play
    sound without a click."""
    options = webdriver.ChromeOptions()
    options.binary_location = '/usr/bin/chromium'
    for flag in ('--headless=new', '--no-sandbox', '--disable-gpu', '--no-first-run',
                 '--disable-background-networking', '--disable-component-update',
                 '--disable-sync', '--autoplay-policy=no-user-gesture-required',
                 '--user-data-dir=' + tempfile.mkdtemp(dir=scratch), *flags):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service('/usr/bin/chromedriver', env=env), options=options)


def die_with_the_caller():
    # A caller killed by a timeout must not leave what it started running for ever.
    ctypes.CDLL(None, use_errno=True).prctl(1, int(signal.SIGTERM))  # PR_SET_PDEATHSIG


def stop(process):
    process.terminate()
    try:
        process.wait(10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


class Daemon:
    """PulseAudio with a null sink at SINK_RATE in 32-bit float, so that what reaches the sink
    is kept as Chromium sent it; its state lives in the scratch directory given."""

    def __init__(self, scratch):
        self.scratch = scratch
        self.runtime = scratch / 'run'
        # Every PulseAudio client here, Chromium too, reaches this daemon and no other, and
        # keeps its cookie and state in the scratch directory rather than in the user's home.
        self.env = dict(os.environ, HOME=str(scratch), XDG_CONFIG_HOME=str(scratch / 'config'),
                        XDG_RUNTIME_DIR=str(self.runtime),
                        PULSE_RUNTIME_PATH=str(self.runtime / 'pulse'),
                        PULSE_SERVER=f'unix:{self.runtime}/native')
        self.process = None

    def start(self):
        self.runtime.mkdir(mode=0o700)
        log_path = self.scratch / 'pulseaudio.log'
        with log_path.open('w') as log:
            self.process = subprocess.Popen(
                ['pulseaudio', '--daemonize=no', '--exit-idle-time=-1', '-n',
                 '--log-target=stderr',
                 f'--load=module-native-protocol-unix socket={self.runtime}/native',
                 '--load=module-null-sink sink_name=tape format=float32le channels=2 '
                 f'rate={SINK_RATE}'],
                env=self.env, stdout=subprocess.DEVNULL, stderr=log,
                preexec_fn=die_with_the_caller)
        try:
            # A module that fails to load leaves the daemon answering without it.
            wait_for(lambda: self.pactl('get-default-sink').stdout.strip() == 'tape',
                     'PulseAudio answering with its sink')
        except RuntimeError as error:
            self.stop()
            raise RuntimeError(f'{error}:\n' + log_path.read_text()) from None

    def stop(self):
        stop(self.process)

    def pactl(self, *args):
        return subprocess.run(['pactl', *args], env=self.env, capture_output=True, text=True)

    @contextlib.contextmanager
    def recording(self, path):
        """The sink's monitor in 32-bit float stereo, raw or as a WAVE file by the path's
        suffix."""
        raw = path if path.suffix != '.wav' else path.with_name(path.name + '.raw')
        # In the daemon's default fragments of two seconds, the last would be lost at the stop.
        process = subprocess.Popen(
            ['parecord', '--device=tape.monitor', '--format=float32le', '--channels=2',
             f'--rate={SINK_RATE}', '--latency-msec=20', '--raw', str(raw)],
            env=self.env)
        try:
            # The sound must not start before the recording does. A client is listed as soon
            # as it connects, which on a busy machine may be seconds before its first samples;
            # the sink's silence reaches the file the moment they flow.
            wait_for(lambda: raw.exists() and raw.stat().st_size > 0, 'parecord recording')
            yield
        finally:
            stop(process)
        if raw != path:
            samples = raw.read_bytes()
            path.write_bytes(struct.pack('<4sI4s4sIHHIIHH4sI', b'RIFF', 36 + len(samples),
                                         b'WAVE', b'fmt ', 16, 3, 2, SINK_RATE, SINK_RATE * 8,
                                         8, 32, b'data', len(samples)) + samples)
            raw.unlink()

    def browser(self):
        return headless_chromium(self.scratch, self.env)


class Page:
    def __init__(self, driver, site):
        self.driver = driver
        driver.get((site / 'index.html').as_uri())

    def element(self, id):
        return self.driver.find_element(By.ID, id)

    def status(self):
        return self.element('status').text

    def convert(self, image, rate):
        Select(self.element('rate')).select_by_value(rate)
        self.element('image').send_keys(str(image))
        WebDriverWait(self.driver, 60).until(lambda d: self.element('download').get_attribute(
            'href') or 'failed' in self.element('status').get_attribute('class'))
        if not self.element('download').get_attribute('href'):
            raise AssertionError(self.status())

    def play_to_the_end(self, seconds):
        self.element('play').click()
        WebDriverWait(self.driver, seconds + 20, poll_frequency=0.05).until(
            lambda d: self.element('play').text == 'Play' and
            self.element('progress').get_attribute('value') == '1')

    def samples(self):
        with wave.open(io.BytesIO(downloaded(self.driver))) as file:
            return file.readframes(file.getnframes()), file.getframerate()

    def play(self, image, rate, recording):
        """Converts the image at the rate, plays it through inside the recording (a context
        manager) and returns the file's samples."""
        self.convert(image, rate)
        samples, file_rate = self.samples()
        with recording:
            self.play_to_the_end(len(samples) / file_rate)
            # What the page has finished may still be on its way through Chromium's and the
            # daemon's buffers, which hold far less than this.
            time.sleep(1)
        return samples
