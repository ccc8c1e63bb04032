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

// The samples as the device delivers them, a block at a time, each channel copied.
const tap_processor = `
class Tap extends AudioWorkletProcessor {
  constructor() {
    super();
    this.blocks = [];
    this.frames = 0;
  }
  process(inputs) {
    const input = inputs[0];
    if (input.length > 0) {
      this.blocks.push(input.map((channel) => channel.slice()));
      this.frames += input[0].length;
    }
    if (this.frames >= 2048) {
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
    return true;
  }
}
registerProcessor('tap', Tap);`;

let recording = null; // the recording being made
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

async function start_recording() {
  const button = element('record');
  button.disabled = true;
  try {
    const stream = await open_input();
    const settings = stream.getAudioTracks()[0].getSettings();
    const channels = Math.min(2, settings.channelCount || 1);
    const context = input_context(settings);
    // Where the permission prompt outlasted the click, the context starts suspended.
    if (context.state !== 'running')
      await context.resume();
    await context.audioWorklet.addModule('data:text/javascript;base64,' + btoa(tap_processor));
    const check = await Check.start(context.sampleRate, channels,
                                    clip_level(settings.sampleSize || 0, false), false,
                                    'microphone', 'the browser\'s input');
    const tap = new AudioWorkletNode(context, 'tap', {
      numberOfInputs: 1, numberOfOutputs: 0, channelCount: channels,
      channelCountMode: 'explicit', channelInterpretation: 'speakers'});
    const source = context.createMediaStreamSource(stream);
    ++takes;
    const r = {stream, context, check, take: takes, first: found_programs.length, ticker: 0};
    tap.port.onmessage = (event) => check.feed(event.data);
    source.connect(tap);
    r.ticker = setInterval(() => show_progress(r), level_every_ms);
    recording = r;
    button.textContent = 'Stop';
    button.setAttribute('aria-pressed', 'true');
    say_recording(`Recording at ${context.sampleRate} Hz: play the tape, or save from the ` +
                  'machine.');
    keep_awake('recording');
  } catch (error) {
    say_recording(error.message, true);
  }
  button.disabled = false;
}

function stop_recording() {
  const r = recording;
  recording = null;
  clearInterval(r.ticker);
  r.stream.getTracks().forEach((track) => track.stop());
  r.context.close();
  r.check.finish();
  show_progress(r);
  let_sleep('recording');
  element('record').textContent = 'Record';
  element('record').setAttribute('aria-pressed', 'false');
  element('level').querySelector('meter').value = -60;
  element('level-words').textContent = '';
  const count = found_programs.length - r.first;
  say_recording(`Stopped: ${count} ${count === 1 ? 'program' : 'programs'} found. Press ` +
                'Record to go on.');
}

function show_level(level) {
  const meter = element('level').querySelector('meter');
  meter.value = level.dbfs === null ? -60 : Math.max(-60, level.dbfs);
  const words = element('level-words');
  if (words.textContent !== level.words)
    words.textContent = level.words;
}

function show_progress(r) {
  const progress = r.check.progress();
  show_level(progress.level);
  progress.programs.forEach((program, index) => show_program(r, r.first + index, program));
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
  return {item, summary, link, complete: false};
}

function show_program(r, index, program) {
  if (!found_programs[index])
    found_programs[index] = program_entry(index + 1);
  const entry = found_programs[index];
  entry.summary.textContent = program_text(index + 1, program, r.take);
  if (program.complete && !entry.complete) {
    entry.complete = true;
    const image = new Blob([r.check.program_bytes(index - r.first)]);
    entry.link.href = URL.createObjectURL(image);
    entry.link.removeAttribute('aria-disabled');
  }
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

// A WAVE file whose codec the page doesn't read itself, such as mu-law or ADPCM.
function wave_codec_format(bytes, view) {
  if (ascii(bytes, 0, 4) !== 'RIFF' || ascii(bytes, 8, 4) !== 'WAVE')
    return null;
  const format = find_text(bytes, 'fmt ', 12, Math.min(bytes.length, 4096));
  if (format < 0 || format + 16 > bytes.length)
    return null;
  return {rate: view.getUint32(format + 12, true), bits: 0,
          name: `WAVE, codec ${view.getUint16(format + 8, true)}`, lossy: true};
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

// The samples as the browser decodes them, at the file's own rate where it can be told.
async function decoded_recording(bytes, format) {
  const rate = format.rate || fallback_check_rate;
  const context = new OfflineAudioContext(1, 1, rate);
  const sound = await context.decodeAudioData(bytes.slice().buffer);
  return {sound, rate, resampled: !format.rate};
}

// A WAVE file holding PCM or floating-point samples is read here, a block at a time as the
// command line reads it: the browser would take the whole file into memory, and scale a
// 16-bit sample by 1/32767 above zero where the command line scales every one by 1/32768.
const wave_subtypes = {
  1: {8: 'Unsigned 8 bit PCM', 16: 'Signed 16 bit PCM', 24: 'Signed 24 bit PCM',
      32: 'Signed 32 bit PCM'},
  3: {32: '32 bit float', 64: '64 bit float'},
};

async function file_bytes(file, from, length) {
  return new Uint8Array(await file.slice(from, from + length).arrayBuffer());
}

async function wave_layout(file) {
  const head = await file_bytes(file, 0, 12);
  if (head.length < 12 || ascii(head, 0, 4) !== 'RIFF' || ascii(head, 8, 4) !== 'WAVE')
    return null;
  let format = null;
  for (let at = 12; at + 8 <= file.size;) {
    const chunk = await file_bytes(file, at, 48);
    const view = new DataView(chunk.buffer);
    const size = view.getUint32(4, true);
    if (ascii(chunk, 0, 4) === 'fmt ' && chunk.length >= 24) {
      const extensible = view.getUint16(8, true) === 0xFFFE && chunk.length >= 34;
      const tag = extensible ? view.getUint16(32, true) : view.getUint16(8, true);
      const bits = view.getUint16(22, true);
      const subtype = wave_subtypes[tag] && wave_subtypes[tag][bits];
      if (!subtype)
        return null;
      const channels = view.getUint16(10, true);
      if (channels < 1)
        return null;
      format = {rate: view.getUint32(12, true), channels, bits,
                float: tag === 3,
                name: `${subtype}, ${extensible ? 'WAVEX' : 'WAV'} (Microsoft)`};
    } else if (ascii(chunk, 0, 4) === 'data' && format) {
      const frame_size = format.channels * format.bits / 8;
      const frames = Math.floor(Math.min(size, file.size - at - 8) / frame_size);
      return {...format, data: at + 8, frames, frame_size};
    }
    at += 8 + size + (size & 1);
  }
  return null;
}

// Each sample as the command line's reader gives it, in -1..1.
function sample_reader(layout, view) {
  if (layout.float)
    return layout.bits === 32 ? (at) => view.getFloat32(at, true)
                              : (at) => view.getFloat64(at, true);
  switch (layout.bits) {
    case 8: return (at) => (view.getUint8(at) - 128) / 128;
    case 16: return (at) => view.getInt16(at, true) / 32768;
    case 24: return (at) => ((view.getInt8(at + 2) << 16) | view.getUint16(at, true)) / 8388608;
    default: return (at) => view.getInt32(at, true) / 2147483648;
  }
}

async function feed_wave(check, file, layout) {
  const bytes_per_sample = layout.bits / 8;
  for (let frame = 0; frame < layout.frames; frame += frames_per_feed) {
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

function clip_level(bits, float) {
  return bits > 0 && !float ? 1 - 2 ** (1 - bits) : 1;
}

async function checked_wave(file, layout) {
  const check = await Check.start(layout.rate, layout.channels,
                                  clip_level(layout.bits, layout.float), false, file.name,
                                  layout.name);
  await feed_wave(check, file, layout);
  return check;
}

async function feed_recording(check, sound) {
  const channels = [];
  for (let c = 0; c < check.channels; ++c)
    channels.push(sound.getChannelData(c));
  for (let from = 0; from < sound.length; from += frames_per_feed) {
    check.feed(channels.map((samples) => samples.subarray(from, from + frames_per_feed)));
    // Lets the page answer during a long recording.
    await new Promise((resolve) => setTimeout(resolve, 0));
  }
}

async function checked_by_the_browser(file) {
  const bytes = new Uint8Array(await file.arrayBuffer());
  const format = recording_format(bytes);
  let decoded;
  try {
    decoded = await decoded_recording(bytes, format);
  } catch (error) {
    throw new Error(`${file.name}: this browser can't decode it as sound.`);
  }
  const {sound, rate, resampled} = decoded;
  const name = resampled ? `${format.name}, resampled by the browser` : format.name;
  const check = await Check.start(rate, sound.numberOfChannels, clip_level(format.bits, false),
                                  format.lossy, file.name, name);
  await feed_recording(check, sound);
  return check;
}

let checks = 0; // only the latest check's report is shown

function say_check(text, failed = false) {
  const report = element('check-report');
  report.textContent = text;
  report.classList.toggle('failed', failed);
}

async function check_recording() {
  const file = element('check-recording').files[0];
  const image_file = element('check-image').files[0];
  const json_link = element('check-json');
  json_link.removeAttribute('href');
  json_link.setAttribute('aria-disabled', 'true');
  if (!file)
    return;
  const run = ++checks;
  say_check(`Checking ${file.name}...`);
  try {
    const layout = await wave_layout(file);
    const check = layout ? await checked_wave(file, layout) : await checked_by_the_browser(file);
    check.finish();
    if (image_file)
      await check.compare_image(image_file);
    if (run !== checks)
      return;
    say_check(check.report(false));
    json_link.href = URL.createObjectURL(new Blob([check.report(true)],
                                                  {type: 'application/json'}));
    json_link.download = `${file.name.replace(/\.[^.]*$/, '')}.check.json`;
    json_link.removeAttribute('aria-disabled');
  } catch (error) {
    if (run === checks)
      say_check(error.message, true);
  }
}

function wire_listening() {
  element('record').addEventListener('click', () => (recording ? stop_recording()
                                                               : start_recording()));
  element('check-recording').addEventListener('change', check_recording);
  element('check-image').addEventListener('change', check_recording);
}

wire_listening();
