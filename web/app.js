'use strict';
// The page's behaviour. Every sample comes from the program itself (zkt2wav.js): this script
// only hands it the arguments a user would type, and shows, plays and offers what it wrote.

const element = (id) => document.getElementById(id);
const supported_rates = ['48000', '44100', '22050', '11025', '8000'];
const header_size = 44;
const most_pad_seconds = 60;
const pad_typing_pause_ms = 400;
// The browser's own delay between rendering a sample and the device playing it is well below
// this; closing sooner would cut the end of the sound.
const tail_ms = 1000;
// A stall of the audio clock this long against the wall clock is a gap in the sound.
const stall_seconds = 0.02;

let chosen_image = null;
let sound = null; // the latest conversion: its file, name, rate and samples as played
let playback = null; // the sound being played, or paused
let wake_lock = null;
const awake_for = new Set(); // what needs the screen on: 'playing', 'recording'
let wake_request = null;
let device_rate = 0;
let conversions = 0; // only the latest conversion's result is shown
let pad_timer = 0;
let pad_text = '0'; // the padding as last typed, whether by keys, paste or a script

// A message in one of the page's places for them; a failure stands out.
function show_message(id, text, failed = false) {
  const place = element(id);
  place.textContent = text;
  place.classList.toggle('failed', failed);
}

function say(text, failed = false) {
  show_message('status', text, failed);
}

// A link offers its file once there is one, and is announced as disabled until then.
function offer(link, blob, name) {
  withdraw(link);
  link.href = URL.createObjectURL(blob);
  link.download = name;
  link.removeAttribute('aria-disabled');
}

function withdraw(link) {
  if (link.href)
    URL.revokeObjectURL(link.href);
  link.removeAttribute('href');
  link.setAttribute('aria-disabled', 'true');
}

function find_device_rate() {
  try {
    const context = new AudioContext();
    device_rate = context.sampleRate;
    context.close();
  } catch (error) {
    device_rate = 0;
  }
}

// The device's own output rate when the program can make it, so that no resampler touches
// the pulses; 44100 otherwise.
function choose_default_rate() {
  const rate = String(device_rate);
  element('rate').value = supported_rates.includes(rate) ? rate : '44100';
}

const what_rates_keep = {
  48000: 'keeps every pulse as the machine makes it, the longer last pulse of each byte too.',
  44100: 'keeps every pulse; the last pulse of a byte comes out longer only where its bit 0 ' +
             'is 0.',
  22050: 'makes the short pulses one or two samples wide and the last pulse of a byte no ' +
             'longer than the others, and the sound runs 2% short: a loader that minds may fail.',
  11025: 'makes the short pulses one or two samples wide and the last pulse of a byte no ' +
             'longer than the others, and the sound runs 2% short: a loader that minds may fail.',
  8000: 'is too coarse for the pulses: a 1\'s two pulses are each shorter than a sample, so ' +
            'they vanish and every 1 is lost.',
};

function show_rate_hint() {
  const rate = Number(element('rate').value);
  let device = '';
  if (device_rate === rate)
    device = ' This device plays at this rate, so nothing resamples the pulses.';
  else if (device_rate)
    device = ` This device plays at ${device_rate} Hz, so the browser resamples the sound.`;
  element('rate-why').textContent = `${rate} Hz ${what_rates_keep[rate]}${device}`;
}

// Seconds of silence as people write them, with a decimal point or comma; null for anything
// the program would refuse.
function pad_seconds() {
  const text = element('pad').value.trim();
  if (text === '')
    return '0';
  if (!/^(\d+([.,]\d*)?|[.,]\d+)$/.test(text))
    return null;
  const seconds = text.replace(',', '.');
  return Number(seconds) <= most_pad_seconds ? seconds : null;
}

// The padding as the program is to get it, or null, said on the page, when it would refuse it.
function accepted_pad() {
  const pad = pad_seconds();
  element('pad').setAttribute('aria-invalid', String(pad === null));
  if (pad === null)
    say('Silence at both ends must be seconds from 0 to 60, like 1.5.', true);
  return pad;
}

// A name that starts with - would read as an option.
function as_argument(name) {
  return name.startsWith('-') ? `./${name}` : name;
}

function wav_name_for(image_name) {
  const name = image_name.replace(/\.[^.]*$/, '') + '.wav';
  return name === image_name ? `${image_name}.wav` : name;
}

function command_line(image_name, output_name, pad) {
  const args = ['-i', as_argument(image_name), '-o', as_argument(output_name),
                '-f', element('rate').value, '-g', element('gain').value, '--pad', pad];
  if (element('invert').checked)
    args.push('--invert');
  return args;
}

// One fresh instance of the program per conversion, so that its state lives for one run, as
// in a process. The output is a device that takes each block as it is written: the whole
// file never sits in the program's memory, and since a device can't be seeked back to, the
// program writes the header's true lengths first, as it does for a pipe.
async function run_program(image, image_name, output_name, args) {
  const blocks = [];
  const messages = [];
  const program = await createZkt2wav({print: () => {}, printErr: (line) => messages.push(line)});
  const fs = program.FS;
  fs.mkdir('/work');
  fs.chdir('/work');
  fs.writeFile(image_name, image);
  const device = fs.makedev(64, 0);
  fs.registerDevice(device, {
    read: () => 0,
    write: (stream, buffer, offset, length) => {
      blocks.push(buffer.slice(offset, offset + length));
      return length;
    },
  });
  fs.mkdev(output_name, device);
  const status = program.callMain(args);
  return {status, messages, wav: new Blob(blocks, {type: 'audio/wav'})};
}

function out_of_memory(error) {
  return error instanceof RangeError || /memory|allocation/i.test(String(error));
}

function converting_text() {
  return `Converting ${chosen_image.name} at ${element('rate').value} Hz…`;
}

// Whatever was shown no longer matches the controls from here on.
async function convert() {
  clearTimeout(pad_timer);
  const conversion = ++conversions;
  forget_result();
  const pad = accepted_pad();
  if (pad === null)
    return;
  if (!chosen_image) {
    say('Choose a tape image.');
    return;
  }
  say(converting_text());
  await new Promise((resolve) => setTimeout(resolve, 0));
  const started = performance.now();
  const output_name = wav_name_for(chosen_image.name);
  try {
    const image = new Uint8Array(await chosen_image.arrayBuffer());
    const result = await run_program(image, chosen_image.name, output_name,
                                     command_line(chosen_image.name, output_name, pad));
    if (conversion !== conversions)
      return;
    if (result.status !== 0) {
      say(result.messages.join('\n') || `The conversion ended with status ${result.status}.`,
          true);
      return;
    }
    await show_result(result, output_name, performance.now() - started, conversion);
  } catch (error) {
    if (conversion !== conversions)
      return;
    say(out_of_memory(error)
            ? 'The browser ran out of memory for this image. Try a lower sample rate, or ' +
                  'convert it with the zkt2wav program on a computer.'
            : `The conversion failed: ${error}`,
        true);
  }
}

function clock(seconds) {
  const whole = Math.floor(seconds);
  return `${Math.floor(whole / 60)}:${String(whole % 60).padStart(2, '0')}`;
}

function size_text(bytes) {
  return bytes < 1024 * 1024 ? `${(bytes / 1024).toFixed(1)} KiB`
                             : `${(bytes / 1024 / 1024).toFixed(1)} MiB`;
}

// The device is to receive the file's own values: an 8-bit sample s is (s - 128) / 128, which
// a 32-bit float holds exactly. Browsers that decode the file themselves scale the two halves
// differently.
function audio_buffer_of(samples, rate) {
  const values = new Float32Array(samples.length);
  for (let i = 0; i < samples.length; ++i)
    values[i] = (samples[i] - 128) / 128;
  const buffer = new AudioBuffer({numberOfChannels: 1, length: values.length, sampleRate: rate});
  buffer.copyToChannel(values, 0);
  return buffer;
}

async function show_result(result, output_name, milliseconds, conversion) {
  const bytes = new Uint8Array(await result.wav.arrayBuffer());
  if (conversion !== conversions)
    return;
  const rate = new DataView(bytes.buffer).getUint32(24, true);
  const samples = bytes.subarray(header_size);
  const seconds = samples.length / rate;
  sound = {rate, seconds, buffer: audio_buffer_of(samples, rate)};
  offer(element('download'), result.wav, output_name);
  element('play').disabled = false;
  element('stop').disabled = false;
  show_time(0, seconds);
  const length = seconds < 60 ? `${seconds.toFixed(1)} s` : clock(seconds);
  const warnings = result.messages.filter((line) => line.startsWith('Warning: '));
  say([`Ready: ${output_name}, ${length} of sound at ${rate} Hz, ${size_text(bytes.length)}. ` +
           `Converted in ${(milliseconds / 1000).toFixed(2)} s.`,
       ...warnings].join('\n'));
  draw_start(samples, rate);
}

function forget_result() {
  stop();
  withdraw(element('download'));
  element('play').disabled = true;
  element('stop').disabled = true;
  element('progress').value = 0;
  element('time').textContent = '';
  sound = null;
  const canvas = element('signal');
  canvas.getContext('2d').clearRect(0, 0, canvas.width, canvas.height);
}

// The samples around the start of the tone, as an audio editor shows them.
function draw_start(samples, rate) {
  const shown = Math.round(rate * 0.06);
  let first = samples.subarray(0, 4 * rate).findIndex((sample) => sample !== 128);
  first = Math.max(0, (first < 0 ? 0 : first) - Math.round(shown / 8));
  const canvas = element('signal');
  const context = canvas.getContext('2d');
  const colours = getComputedStyle(document.documentElement);
  const middle = canvas.height / 2;
  context.clearRect(0, 0, canvas.width, canvas.height);
  context.strokeStyle = colours.getPropertyValue('--line').trim();
  context.beginPath();
  context.moveTo(0, middle);
  context.lineTo(canvas.width, middle);
  context.stroke();
  context.strokeStyle = colours.getPropertyValue('--trace').trim();
  context.lineWidth = 1.5;
  context.beginPath();
  for (let i = 0; i < shown && first + i < samples.length; ++i) {
    const x = (i / shown) * canvas.width;
    const y = middle - ((samples[first + i] - 128) / 128) * (middle - 4);
    if (i === 0)
      context.moveTo(x, y);
    else
      context.lineTo(x, y);
  }
  context.stroke();
}

// Time to go is rounded up, so that a sound still playing never shows 0:00, and so is the
// time played once the sound is over, so that both ends show the same length.
function show_time(played, length) {
  const over = played >= length;
  element('progress').value = length > 0 ? Math.min(1, played / length) : 0;
  element('time').textContent = `${clock(over ? Math.ceil(length) : played)} played, ` +
                                `${clock(Math.ceil(Math.max(0, length - played)))} to go`;
}

// A phone that sleeps in the middle of a load ruins it.
async function keep_awake(reason) {
  awake_for.add(reason);
  if (wake_lock && !wake_lock.released)
    return;
  // One request at a time: two at once would leave a lock that is never given back.
  if (!wake_request) {
    wake_request = (navigator.wakeLock ? navigator.wakeLock.request('screen')
                                       : Promise.resolve(null))
                       .catch(() => null)
                       .then((lock) => {
                         wake_lock = lock;
                         wake_request = null;
                         if (awake_for.size === 0)
                           let_sleep(reason);
                       });
  }
  await wake_request;
}

function let_sleep(reason) {
  awake_for.delete(reason);
  if (awake_for.size > 0)
    return;
  if (wake_lock)
    wake_lock.release().catch(() => {});
  wake_lock = null;
}

function played_seconds(p) {
  return Math.max(0, p.context.currentTime - p.started);
}

// Gaps in the sound: the browser counts them where it can; elsewhere the audio clock stalls
// against the wall clock while the device plays on.
function note_gaps(p) {
  const played = played_seconds(p);
  const stats = p.context.playbackStats;
  if (stats) {
    if (stats.underrunEvents > p.underruns)
      p.gaps.push(played);
    p.underruns = stats.underrunEvents;
    return;
  }
  if (!p.context.getOutputTimestamp)
    return;
  const stamp = p.context.getOutputTimestamp();
  const lag = stamp.performanceTime / 1000 - stamp.contextTime;
  if (p.lag === null || lag < p.lag)
    p.lag = lag;
  else if (lag - p.lag > stall_seconds) {
    p.gaps.push(played);
    p.lag = lag;
  }
}

function follow_playback(p) {
  if (p.context.state !== 'running')
    return;
  note_gaps(p);
  show_time(played_seconds(p), sound.seconds);
}

function show_playing(playing) {
  element('play').textContent = playing ? 'Pause' : 'Play';
  if (playing)
    keep_awake('playing');
  else
    let_sleep('playing');
}

// Each playback has a context of its own at the file's rate: the browser resamples only where
// the device can't play that rate. A gap fails the load where a delay costs nothing, so the
// context asks for the longest buffer the browser gives (Chromium: about 0.19 s, where
// 'playback' gives 0.02 s and a busy machine starved it).
const longest_latency_seconds = 1;

async function start_playback() {
  let context;
  try {
    context = new AudioContext({sampleRate: sound.rate, latencyHint: longest_latency_seconds});
  } catch (error) {
    say(`This browser can't play sound at ${sound.rate} Hz (${error.message}): download the ` +
            'file and play it with another player.',
        true);
    return;
  }
  const source = new AudioBufferSourceNode(context, {buffer: sound.buffer});
  source.connect(context.destination);
  const p = {context, source, started: context.currentTime, underruns: 0, lag: null, gaps: [],
             stopped: false, ticker: 0};
  playback = p;
  source.addEventListener('ended', () => playback_ended(p));
  source.start();
  if (context.state !== 'running')
    await context.resume();
  p.started = context.currentTime;
  p.underruns = context.playbackStats ? context.playbackStats.underrunEvents : 0;
  p.ticker = setInterval(() => follow_playback(p), 200);
  show_playing(true);
}

function end_playback(p) {
  clearInterval(p.ticker);
  if (playback === p)
    playback = null;
  show_playing(false);
}

function playback_ended(p) {
  if (p.stopped)
    return;
  note_gaps(p);
  end_playback(p);
  show_time(sound.seconds, sound.seconds);
  setTimeout(() => p.context.close(), tail_ms);
  if (p.gaps.length > 0)
    say(`The sound stuttered at ${clock(p.gaps[0])}; the load may have failed: play it again.`,
        true);
}

async function play_or_pause() {
  const p = playback;
  if (!p) {
    await start_playback();
  } else if (p.context.state === 'running') {
    await p.context.suspend();
    show_playing(false);
  } else {
    await p.context.resume();
    p.lag = null; // the clocks part while paused
    show_playing(true);
  }
}

function stop() {
  const p = playback;
  if (!p)
    return;
  p.stopped = true;
  end_playback(p);
  p.source.stop();
  p.context.close();
  if (sound)
    show_time(0, sound.seconds);
}

function choose(file) {
  if (!file)
    return;
  chosen_image = file;
  element('image-name').textContent = file.name;
  convert();
}

// Typing is given a moment to finish before the sound is made again; the old result goes at
// once.
function pad_typed() {
  if (element('pad').value === pad_text)
    return;
  pad_text = element('pad').value;
  clearTimeout(pad_timer);
  ++conversions;
  forget_result();
  if (accepted_pad() === null)
    return;
  say(chosen_image ? converting_text() : 'Choose a tape image.');
  if (chosen_image)
    pad_timer = setTimeout(convert, pad_typing_pause_ms);
}

function wire_controls() {
  const drop = element('drop');
  element('image').addEventListener('change', (event) => choose(event.target.files[0]));
  element('convert').addEventListener('click', convert);
  element('play').addEventListener('click', play_or_pause);
  element('stop').addEventListener('click', stop);
  element('rate').addEventListener('change', () => {
    show_rate_hint();
    convert();
  });
  element('gain').addEventListener('change', convert);
  element('invert').addEventListener('change', convert);
  element('pad').addEventListener('input', pad_typed);
  element('pad').addEventListener('change', pad_typed);
  document.addEventListener('visibilitychange', () => {
    // The browser gives the lock back whenever the page is hidden.
    if (document.visibilityState === 'visible' && awake_for.size > 0)
      awake_for.forEach(keep_awake);
  });
  drop.addEventListener('dragover', (event) => {
    event.preventDefault();
    drop.classList.add('over');
  });
  drop.addEventListener('dragleave', () => drop.classList.remove('over'));
  drop.addEventListener('drop', (event) => {
    event.preventDefault();
    drop.classList.remove('over');
    choose(event.dataTransfer.files[0]);
  });
}

find_device_rate();
choose_default_rate();
show_rate_hint();
wire_controls();
if ('serviceWorker' in navigator && location.protocol.startsWith('http'))
  navigator.serviceWorker.register('sw.js');
