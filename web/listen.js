'use strict';
// Saving from the machine and checking a recording. Every decision comes from the program's
// own check (zkt2wav-check.js): this script only hands it the samples the browser hears or
// decodes, and shows what it found.

const level_every_ms = 100;
const frames_per_feed = 65536;
const image_block = 65536;
// Where the browser must resample a file whose rate can't be told, it does so to this rate.
const fallback_check_rate = 48000;

// The check's program is fetched when first needed, so that it doesn't slow the page's start.
let check_script = null;

function load_check_program() {
  if (!check_script) {
    check_script = new Promise((resolve, reject) => {
      const script = document.createElement('script');
      script.src = 'zkt2wav-check.js';
      script.onload = resolve;
      script.onerror = () => {
        check_script = null;
        reject(new Error('The check could not be loaded: reload the page.'));
      };
      document.head.append(script);
    });
  }
  return check_script;
}

// One check in a fresh instance of the program's check, which holds one recording.
class Check {
  static async start(rate, channels, clip_level, lossy, name, format) {
    await load_check_program();
    const module = await createZkt2wavCheck();
    const refusal = module.ccall(
        'check_start', 'string',
        ['number', 'number', 'number', 'number', 'string', 'string', 'number'],
        [rate, channels, clip_level, lossy ? 1 : 0, name, format, 0]);
    if (refusal)
      throw new Error(`${name}: ${refusal}`);
    return new Check(module, channels);
  }

  constructor(module, channels) {
    this.module = module;
    this.channels = channels;
  }

  // Feeds one block of samples, a Float32Array per channel.
  feed(channel_data) {
    const frames = channel_data[0].length;
    const at = this.module._check_buffer(frames) / 4;
    const heap = this.module.HEAPF32;
    for (let c = 0; c < this.channels; ++c) {
      const samples = channel_data[Math.min(c, channel_data.length - 1)];
      for (let i = 0; i < frames; ++i)
        heap[at + i * this.channels + c] = samples[i];
    }
    this.module._check_feed(frames);
  }

  progress() {
    return JSON.parse(this.module.UTF8ToString(this.module._check_progress()));
  }

  program_bytes(index) {
    const size = this.module._check_program_size(index);
    const at = this.module._check_program_bytes(index);
    return this.module.HEAPU8.slice(at, at + size);
  }

  finish() {
    this.module._check_finish();
  }

  // Reads the image a block at a time, and only as far as the recovered bytes go.
  async compare_image(file) {
    for (let from = 0; from === 0 || from < file.size; from += image_block) {
      const block = await file_bytes(file, from, image_block);
      // The buffer may grow the memory, and with it replace the view of it.
      const at = this.module._check_image_buffer(block.length);
      this.module.HEAPU8.set(block, at);
      if (!this.module._check_image(block.length))
        return;
    }
  }

  report(json) {
    return this.module.UTF8ToString(this.module._check_report(json ? 1 : 0));
  }
}

function seconds_text(seconds) {
  const minutes = Math.floor(seconds / 60);
  return `${minutes}:${(seconds - 60 * minutes).toFixed(1).padStart(4, '0')}`;
}

function program_text(number, program, take) {
  const where = take > 1 ? `recording ${take}, ` : '';
  const state = program.complete ? (program.verdict === 'pass' ? 'PASS' : 'FAIL') : 'reading';
  return `${number}. ${where}at ${seconds_text(program.seconds)}: ` +
         `${program.bytes} ${program.bytes === 1 ? 'byte' : 'bytes'}, ` +
         `margin ${Math.round(100 * program.margin)}%, ${state}`;
}

// ---- Record ----

// The samples as the device delivers them, a block at a time, each channel copied. Asked to
// flush, it hands over what it holds and says so.
const tap_processor = `
class Tap extends AudioWorkletProcessor {
  constructor() {
    super();
    this.blocks = [];
    this.frames = 0;
    this.port.onmessage = () => {
      this.hand_over();
      this.port.postMessage('flushed');
    };
  }
  hand_over() {
    if (this.frames === 0)
      return;
    const channels = this.blocks[0].length;
    const joined = [];
    for (let c = 0; c < channels; ++c) {
      const samples = new Float32Array(this.frames);
      let at = 0;
      for (const block of this.blocks) {
        samples.set(block[Math.min(c, block.length - 1)], at);
        at += block[0].length;
      }
      joined.push(samples);
    }
    this.port.postMessage(joined, joined.map((samples) => samples.buffer));
    this.blocks = [];
    this.frames = 0;
  }
  process(inputs) {
    const input = inputs[0];
    if (input.length > 0) {
      this.blocks.push(input.map((channel) => channel.slice()));
      this.frames += input[0].length;
    }
    if (this.frames >= 2048)
      this.hand_over();
    return true;
  }
}
registerProcessor('tap', Tap);`;

// Waiting longer than this for the device means it won't come.
const device_wait_ms = 3000;

let recording = null; // the recording being made
let record_busy = false; // starting or stopping: the button waits
let takes = 0;
const found_programs = []; // every program found, over every recording: its list entry

// Why the microphone can't be used, and what to do about it.
function microphone_trouble(error) {
  if (!window.isSecureContext)
    return 'Recording needs a secure page: open it over https://, from localhost or from a ' +
           'file on this device.';
  if (!navigator.mediaDevices || !navigator.mediaDevices.getUserMedia)
    return 'This browser can\'t record from a microphone or line input.';
  if (error && (error.name === 'NotAllowedError' || error.name === 'SecurityError'))
    return 'The page may not use the microphone: allow it in the browser\'s site settings ' +
           '(by the address bar), then press Record again.';
  if (error && (error.name === 'NotFoundError' || error.name === 'OverconstrainedError'))
    return 'No microphone or line input was found: plug the cable in, then press Record again.';
  return `The microphone could not be opened: ${error ? error.message : 'unknown error'}.`;
}

function say_recording(text, failed = false) {
  const status = element('record-status');
  status.textContent = text;
  status.classList.toggle('failed', failed);
}

// The browser must hand the samples over as they came: no echo cancelling, noise
// suppression or gain riding, each of which reshapes the pulses.
async function open_input() {
  if (!window.isSecureContext || !navigator.mediaDevices || !navigator.mediaDevices.getUserMedia)
    throw new Error(microphone_trouble(null));
  try {
    return await navigator.mediaDevices.getUserMedia({
      audio: {echoCancellation: false, noiseSuppression: false, autoGainControl: false}});
  } catch (error) {
    throw new Error(microphone_trouble(error));
  }
}

// A context at the input's own rate, so that no resampler touches the pulses.
function input_context(settings) {
  try {
    return new AudioContext({sampleRate: settings.sampleRate});
  } catch (error) {
    return new AudioContext();
  }
}

function within(ms, promise, failure) {
  return Promise.race([promise, new Promise((resolve, reject) => setTimeout(
      () => reject(new Error(failure)), ms))]);
}

// Everything a recording holds open, given back: the device's light goes out.
function release_input(r) {
  if (r.stream)
    r.stream.getTracks().forEach((track) => track.stop());
  if (r.context)
    r.context.close();
}

async function open_recording(r) {
  r.stream = await open_input();
  const settings = r.stream.getAudioTracks()[0].getSettings();
  r.channels = Math.min(2, settings.channelCount || 1);
  r.context = input_context(settings);
  // Where the permission prompt outlasted the click, the context starts suspended.
  if (r.context.state !== 'running')
    await within(device_wait_ms, r.context.resume(), 'The browser kept the sound off: press ' +
                 'Record again.');
  await r.context.audioWorklet.addModule('data:text/javascript;base64,' + btoa(tap_processor));
  r.check = await Check.start(r.context.sampleRate, r.channels,
                              clip_level(settings.sampleSize || 0), false, 'microphone',
                              'the browser\'s input');
  r.tap = new AudioWorkletNode(r.context, 'tap', {
    numberOfInputs: 1, numberOfOutputs: 0, channelCount: r.channels,
    channelCountMode: 'explicit', channelInterpretation: 'speakers'});
  r.source = r.context.createMediaStreamSource(r.stream);
  r.tap.port.onmessage = (event) => {
    if (event.data === 'flushed')
      r.flushed();
    else
      r.check.feed(event.data);
  };
  r.source.connect(r.tap);
}

function show_recording(on) {
  const button = element('record');
  button.textContent = on ? 'Stop' : 'Record';
  button.classList.toggle('recording', on);
}

async function start_recording() {
  const r = {take: takes + 1, first: found_programs.length, ticker: 0, announced: ''};
  try {
    await open_recording(r);
  } catch (error) {
    release_input(r);
    say_recording(error.message, true);
    return;
  }
  takes = r.take;
  r.ticker = setInterval(() => show_progress(r), level_every_ms);
  recording = r;
  show_recording(true);
  r.status = `Recording at ${r.context.sampleRate} Hz: play the tape, or save from the machine.`;
  say_recording(r.status);
  keep_awake('recording');
}

// The samples still on their way are read before the last program is closed.
async function stop_recording() {
  const r = recording;
  recording = null;
  clearInterval(r.ticker);
  r.source.disconnect();
  await within(device_wait_ms, new Promise((resolve) => {
    r.flushed = resolve;
    r.tap.port.postMessage('flush');
  }), 'flush').catch(() => {});
  r.tap.port.onmessage = null;
  release_input(r);
  r.check.finish();
  show_progress(r, true);
  let_sleep('recording');
  show_recording(false);
  element('level').querySelector('meter').value = -60;
  element('level-words').textContent = '';
  const count = found_programs.length - r.first;
  say_recording(`Stopped: ${count} ${count === 1 ? 'program' : 'programs'} found. Press ` +
                'Record to go on.');
}

async function record_pressed() {
  if (record_busy)
    return;
  record_busy = true;
  element('record').setAttribute('aria-disabled', 'true');
  try {
    await (recording ? stop_recording() : start_recording());
  } finally {
    record_busy = false;
    element('record').removeAttribute('aria-disabled');
  }
}

// The words change with every peak; what they say of the level is announced only when that
// changes.
function show_level(r, level) {
  const meter = element('level').querySelector('meter');
  meter.value = level.dbfs === null ? -60 : Math.max(-60, level.dbfs);
  const words = element('level-words');
  if (words.textContent !== level.words)
    words.textContent = level.words;
  const kind = level.words.split(/[:(]/)[0].trim();
  if (kind !== r.announced) {
    r.announced = kind;
    element('level-said').textContent = kind;
  }
}

function show_progress(r, final = false) {
  const progress = r.check.progress();
  if (!final)
    show_level(r, progress.level);
  progress.programs.forEach((program, index) => show_program(r, r.first + index, program, final));
}

// A program's entry: what was found, a name the user may change, and its image once whole.
function program_entry(number) {
  const item = document.createElement('li');
  const summary = document.createElement('span');
  const name = document.createElement('input');
  const link = document.createElement('a');
  name.type = 'text';
  name.value = `program-${number}.zkt`;
  name.setAttribute('aria-label', `File name of program ${number}`);
  link.className = 'button';
  link.textContent = 'Save';
  link.download = name.value;
  link.setAttribute('role', 'link');
  link.setAttribute('aria-disabled', 'true');
  name.addEventListener('input', () => {
    link.download = name.value.trim() || `program-${number}.zkt`;
  });
  item.append(summary, name, link);
  element('programs').append(item);
  return {summary, link, complete: false, bytes: -1};
}

// The image is made again whenever what was read of it changes, and once more when the
// recording ends, so that what is saved is what the list says.
function show_program(r, index, program, final) {
  if (!found_programs[index])
    found_programs[index] = program_entry(index + 1);
  const entry = found_programs[index];
  const text = program_text(index + 1, program, r.take);
  entry.summary.textContent = text;
  if (!program.complete || (entry.complete && entry.bytes === program.bytes && !final))
    return;
  if (!entry.complete)
    say_recording(`${r.status} Found ${text}.`);
  entry.complete = true;
  entry.bytes = program.bytes;
  if (entry.link.href)
    URL.revokeObjectURL(entry.link.href);
  entry.link.href = URL.createObjectURL(new Blob([r.check.program_bytes(index - r.first)]));
  entry.link.removeAttribute('aria-disabled');
}

// ---- Check a recording ----

const text_decoder = new TextDecoder('latin1');

function ascii(bytes, at, length) {
  return text_decoder.decode(bytes.subarray(at, at + length));
}

function find_text(bytes, text, from = 0, to = bytes.length) {
  const codes = Array.from(text, (letter) => letter.charCodeAt(0));
  for (let at = from; at + codes.length <= to; ++at)
    if (bytes[at] === codes[0] && codes.every((code, k) => bytes[at + k] === code))
      return at;
  return -1;
}

// What the header of a file for the browser to decode says, where decoding would lose it:
// the rate (so that the file is decoded at its own), the samples' size (for the level of
// clipping) and whether the codec is lossy. Each reader gives null for a file not its own.
function flac_format(bytes) {
  if (ascii(bytes, 0, 4) !== 'fLaC')
    return null;
  return {rate: (bytes[18] << 12) | (bytes[19] << 4) | (bytes[20] >> 4),
          bits: (((bytes[20] & 1) << 4) | (bytes[21] >> 4)) + 1, name: 'FLAC', lossy: false};
}

function ogg_format(bytes, view) {
  if (ascii(bytes, 0, 4) !== 'OggS')
    return null;
  const vorbis = find_text(bytes, '\x01vorbis', 0, 256);
  if (vorbis >= 0 && vorbis + 16 <= bytes.length)
    return {rate: view.getUint32(vorbis + 12, true), bits: 0, name: 'Ogg Vorbis', lossy: true};
  // Opus is always decoded at 48000.
  if (find_text(bytes, 'OpusHead', 0, 256) >= 0)
    return {rate: 48000, bits: 0, name: 'Ogg Opus', lossy: true};
  return null;
}

function mp4_format(bytes, view) {
  if (ascii(bytes, 4, 4) !== 'ftyp')
    return null;
  const entry = find_text(bytes, 'mp4a');
  if (entry < 4 || entry + 30 > bytes.length)
    return null;
  return {rate: view.getUint16(entry + 28), bits: 0, name: 'MPEG-4 audio (AAC)', lossy: true};
}

// A WAVE file whose codec the page doesn't read itself, such as ADPCM.
const wave_codecs = {2: 'Microsoft ADPCM', 0x11: 'IMA ADPCM', 0x31: 'GSM 6.10'};

function wave_codec_format(bytes, view) {
  if (ascii(bytes, 0, 4) !== 'RIFF' || ascii(bytes, 8, 4) !== 'WAVE')
    return null;
  const format = find_text(bytes, 'fmt ', 12, Math.min(bytes.length, 4096));
  if (format < 0 || format + 16 > bytes.length)
    return null;
  const tag = view.getUint16(format + 8, true);
  return {rate: view.getUint32(format + 12, true), bits: 0,
          name: `${wave_codecs[tag] || `codec ${tag}`}, WAV (Microsoft)`, lossy: true};
}

const mp3_rates = [[11025, 12000, 8000], null, [22050, 24000, 16000], [44100, 48000, 32000]];
const adts_rates = [96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025,
                    8000, 7350];

// MP3, or AAC in ADTS frames, as the first frame's header says.
function mpeg_frame_format(bytes) {
  let at = 0;
  if (ascii(bytes, 0, 3) === 'ID3')
    at = 10 + ((bytes[6] << 21) | (bytes[7] << 14) | (bytes[8] << 7) | bytes[9]);
  if (at + 4 > bytes.length || bytes[at] !== 0xFF || (bytes[at + 1] & 0xE0) !== 0xE0)
    return null;
  if ((bytes[at + 1] & 0x06) === 0) {
    const rate = adts_rates[(bytes[at + 2] >> 2) & 15];
    return rate ? {rate, bits: 0, name: 'AAC (ADTS)', lossy: true} : null;
  }
  const rates = mp3_rates[(bytes[at + 1] >> 3) & 3];
  const index = (bytes[at + 2] >> 2) & 3;
  return rates && index < 3 ? {rate: rates[index], bits: 0, name: 'MPEG audio (MP3)', lossy: true}
                            : null;
}

const format_readers = [flac_format, ogg_format, mp4_format, wave_codec_format,
                        mpeg_frame_format];

// Rate 0 where it can't be told.
function recording_format(bytes) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  if (bytes.length >= 32) {
    for (const read of format_readers) {
      const format = read(bytes, view);
      if (format)
        return format;
    }
  }
  return {rate: 0, bits: 0, name: 'unknown format', lossy: true};
}

// The samples as the browser decodes them, at the file's own rate where it can be told. The
// bytes are handed over, not copied: the whole file and its samples are in memory at once.
async function decoded_recording(bytes, format) {
  const rate = format.rate || fallback_check_rate;
  const context = new OfflineAudioContext(1, 1, rate);
  const sound = await context.decodeAudioData(bytes.buffer);
  return {sound, rate, resampled: !format.rate};
}

// A WAVE file holding PCM, floating-point, mu-law or A-law samples is read here, a block at a
// time as the command line reads it: the browser would take the whole file into memory, and
// scale a 16-bit sample by 1/32767 above zero where the command line scales every one by
// 1/32768. Its 64-bit (RF64) and big-endian (RIFX) forms too.
const wave_subtypes = {
  1: {8: 'Unsigned 8 bit PCM', 16: 'Signed 16 bit PCM', 24: 'Signed 24 bit PCM',
      32: 'Signed 32 bit PCM'},
  3: {32: '32 bit float', 64: '64 bit float'},
  6: {8: 'A-Law'},
  7: {8: 'U-Law'},
};
const wave_forms = {RIFF: 'WAV', RIFX: 'WAV', RF64: 'RF64'};
const rf64_size_unknown = 0xFFFFFFFF;

async function file_bytes(file, from, length) {
  return new Uint8Array(await file.slice(from, from + length).arrayBuffer());
}

function wave_format(view, little, form) {
  const extensible = view.getUint16(8, little) === 0xFFFE && view.byteLength >= 34;
  const tag = extensible ? view.getUint16(32, little) : view.getUint16(8, little);
  const bits = view.getUint16(22, little);
  const channels = view.getUint16(10, little);
  const subtype = wave_subtypes[tag] && wave_subtypes[tag][bits];
  if (!subtype || channels < 1)
    return null;
  const major = form === 'RF64' ? 'RF64 (RIFF 64)' : `${extensible ? 'WAVEX' : 'WAV'} (Microsoft)`;
  return {rate: view.getUint32(12, little), channels, bits, tag, little,
          name: `${subtype}, ${major}`};
}

async function wave_layout(file) {
  const head = await file_bytes(file, 0, 12);
  const form = head.length === 12 && ascii(head, 8, 4) === 'WAVE' && ascii(head, 0, 4);
  if (!wave_forms[form])
    return null;
  const little = form !== 'RIFX';
  let format = null;
  let long_data = 0; // an RF64 file's data size
  for (let at = 12; at + 8 <= file.size;) {
    const chunk = await file_bytes(file, at, 48);
    const view = new DataView(chunk.buffer);
    const id = ascii(chunk, 0, 4);
    let size = view.getUint32(4, little);
    if (id === 'ds64' && chunk.length >= 24)
      long_data = view.getUint32(16, true) + 2 ** 32 * view.getUint32(20, true);
    if (id === 'data' && form === 'RF64' && size === rf64_size_unknown)
      size = long_data;
    if (id === 'fmt ' && chunk.length >= 24) {
      format = wave_format(view, little, form);
      if (!format)
        return null;
    } else if (id === 'data' && format) {
      const frame_size = format.channels * format.bits / 8;
      const frames = Math.floor(Math.min(size, file.size - at - 8) / frame_size);
      return {...format, data: at + 8, frames, frame_size};
    }
    at += 8 + size + (size & 1);
  }
  return null;
}

// G.711's expansions, to the 16-bit values the command line's reader gives.
function mu_law(byte) {
  const u = ~byte & 0xFF;
  const magnitude = ((((u & 0x0F) << 3) + 0x84) << ((u >> 4) & 7)) - 0x84;
  return u & 0x80 ? -magnitude : magnitude;
}

function a_law(byte) {
  const a = byte ^ 0x55;
  const segment = (a >> 4) & 7;
  let magnitude = (a & 0x0F) << 4;
  magnitude = segment === 0 ? magnitude + 8
            : segment === 1 ? magnitude + 0x108 : (magnitude + 0x108) << (segment - 1);
  return a & 0x80 ? magnitude : -magnitude;
}

// Each sample as the command line's reader gives it, in -1..1.
function sample_reader(layout, view) {
  const little = layout.little;
  if (layout.tag === 3)
    return layout.bits === 32 ? (at) => view.getFloat32(at, little)
                              : (at) => view.getFloat64(at, little);
  if (layout.tag === 7)
    return (at) => mu_law(view.getUint8(at)) / 32768;
  if (layout.tag === 6)
    return (at) => a_law(view.getUint8(at)) / 32768;
  switch (layout.bits) {
    case 8: return (at) => (view.getUint8(at) - 128) / 128;
    case 16: return (at) => view.getInt16(at, little) / 32768;
    case 24: return little
        ? (at) => ((view.getInt8(at + 2) << 16) | view.getUint16(at, true)) / 8388608
        : (at) => ((view.getInt8(at) << 16) | view.getUint16(at + 1, false)) / 8388608;
    default: return (at) => view.getInt32(at, little) / 2147483648;
  }
}

async function feed_wave(check, file, layout, wanted) {
  const bytes_per_sample = layout.bits / 8;
  for (let frame = 0; frame < layout.frames && wanted(); frame += frames_per_feed) {
    const frames = Math.min(frames_per_feed, layout.frames - frame);
    const block = await file_bytes(file, layout.data + frame * layout.frame_size,
                                   frames * layout.frame_size);
    const read = sample_reader(layout, new DataView(block.buffer));
    const channels = [];
    for (let c = 0; c < check.channels; ++c) {
      const samples = new Float32Array(frames);
      for (let i = 0; i < frames; ++i)
        samples[i] = read(i * layout.frame_size + c * bytes_per_sample);
      channels.push(samples);
    }
    check.feed(channels);
  }
}

// The largest value an integer sample of `bits` reaches; 1 where there are none.
function clip_level(bits) {
  return bits > 0 ? 1 - 2 ** (1 - bits) : 1;
}

async function checked_wave(file, layout, wanted) {
  const companded = layout.tag === 6 || layout.tag === 7;
  const check = await Check.start(layout.rate, layout.channels,
                                  clip_level(layout.tag === 1 ? layout.bits : 0),
                                  companded, file.name, layout.name);
  await feed_wave(check, file, layout, wanted);
  return check;
}

async function feed_recording(check, sound, wanted) {
  const channels = [];
  for (let c = 0; c < check.channels; ++c)
    channels.push(sound.getChannelData(c));
  for (let from = 0; from < sound.length && wanted(); from += frames_per_feed) {
    check.feed(channels.map((samples) => samples.subarray(from, from + frames_per_feed)));
    // Lets the page answer during a long recording.
    await new Promise((resolve) => setTimeout(resolve, 0));
  }
}

async function checked_by_the_browser(file, wanted) {
  const bytes = new Uint8Array(await file.arrayBuffer());
  const format = recording_format(bytes);
  let decoded;
  try {
    decoded = await decoded_recording(bytes, format);
  } catch (error) {
    throw new Error(`${file.name}: this browser can't decode it as sound; zkt2wav --check ` +
                    'on a computer reads more kinds of WAVE.');
  }
  const {sound, rate, resampled} = decoded;
  const name = resampled ? `${format.name}, resampled by the browser` : format.name;
  const check = await Check.start(rate, sound.numberOfChannels, clip_level(format.bits),
                                  format.lossy, file.name, name);
  await feed_recording(check, sound, wanted);
  return check;
}

let checks = 0; // only the latest check's report is shown

function say_check(text, failed = false) {
  const report = element('check-report');
  report.textContent = text;
  report.classList.toggle('failed', failed);
}

// Each choice of a file starts the check again; one that a later choice overtook stops.
async function check_recording() {
  const run = ++checks;
  const wanted = () => run === checks;
  const file = element('check-recording').files[0];
  const image_file = element('check-image').files[0];
  const json_link = element('check-json');
  if (json_link.href)
    URL.revokeObjectURL(json_link.href);
  json_link.removeAttribute('href');
  json_link.setAttribute('aria-disabled', 'true');
  say_check(file ? `Checking ${file.name}...` : '');
  if (!file)
    return;
  try {
    const layout = await wave_layout(file);
    const check = layout ? await checked_wave(file, layout, wanted)
                         : await checked_by_the_browser(file, wanted);
    check.finish();
    if (image_file)
      await check.compare_image(image_file);
    if (!wanted())
      return;
    say_check(check.report(false));
    json_link.href = URL.createObjectURL(new Blob([check.report(true)],
                                                  {type: 'application/json'}));
    json_link.download = `${file.name.replace(/\.[^.]*$/, '')}.check.json`;
    json_link.removeAttribute('aria-disabled');
  } catch (error) {
    if (wanted())
      say_check(error.message, true);
  }
}

function wire_listening() {
  element('record').addEventListener('click', record_pressed);
  element('check-recording').addEventListener('change', check_recording);
  element('check-image').addEventListener('change', check_recording);
}

wire_listening();
