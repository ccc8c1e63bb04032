'use strict';
// Checking a recording, and the check itself as the page calls it. Every decision comes from
// the program's own check (zkt2wav-check.js): the page only hands it the samples the browser
// hears or decodes, and shows what it found.

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
  static async start(rate, channels, clip_level, lossy, name, format, program = 0) {
    await load_check_program();
    const module = await createZkt2wavCheck();
    const refusal = module.ccall(
        'check_start', 'string',
        ['number', 'number', 'number', 'number', 'string', 'string', 'number'],
        [rate, channels, clip_level, lossy ? 1 : 0, name, format, program]);
    if (refusal)
      throw new Error(`${name}: ${refusal}`);
    return new Check(module, channels, program);
  }

  constructor(module, channels, program) {
    this.module = module;
    this.channels = channels;
    this.program = program;
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

  // Throws where the program asked for is beyond those found.
  finish() {
    const found = this.module._check_finish();
    if (found >= 0)
      throw new Error(`Unknown program: ${this.program + 1}. The recording holds ${found} ` +
                      `${found === 1 ? 'program' : 'programs'}.`);
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

// `request`: the program the report is on, and whether the check is still wanted.
async function checked_wave(file, layout, request) {
  const companded = layout.tag === 6 || layout.tag === 7;
  const check = await Check.start(layout.rate, layout.channels,
                                  clip_level(layout.tag === 1 ? layout.bits : 0),
                                  companded, file.name, layout.name, request.program);
  await feed_wave(check, file, layout, request.wanted);
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

async function checked_by_the_browser(file, request) {
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
                                  format.lossy, file.name, name, request.program);
  await feed_recording(check, sound, request.wanted);
  return check;
}

let checks = 0; // only the latest check's report is shown

function say_check(text, failed = false) {
  show_message('check-report', text, failed);
}

// The programs found, to choose the one the report is on.
function offer_programs(programs, chosen) {
  const select = element('check-program');
  select.replaceChildren(...(programs.length > 0 ? programs : [null]).map((program, index) => {
    const option = document.createElement('option');
    option.value = String(index + 1);
    option.textContent = program ? `${index + 1}: at ${program.seconds.toFixed(3)} s, ` +
                                       `${program.bytes} bytes`
                                 : '1';
    return option;
  }));
  select.value = String(Math.min(chosen, Math.max(programs.length, 1) - 1) + 1);
}

// Each choice starts the check again; one that a later choice overtook stops.
async function check_recording() {
  const run = ++checks;
  const wanted = () => run === checks;
  const program = Number(element('check-program').value) - 1;
  const file = element('check-recording').files[0];
  const image_file = element('check-image').files[0];
  const json_link = element('check-json');
  withdraw(json_link);
  say_check(file ? `Checking ${file.name}...` : '');
  if (!file)
    return;
  try {
    const layout = await wave_layout(file);
    const check = layout ? await checked_wave(file, layout, {program, wanted})
                         : await checked_by_the_browser(file, {program, wanted});
    check.finish();
    if (image_file)
      await check.compare_image(image_file);
    if (!wanted())
      return;
    say_check(check.report(false));
    const json = check.report(true);
    offer_programs(JSON.parse(json).programs, program);
    offer(json_link, new Blob([json], {type: 'application/json'}),
          `${file.name.replace(/\.[^.]*$/, '')}.check.json`);
  } catch (error) {
    if (wanted())
      say_check(error.message, true);
  }
}

element('check-recording').addEventListener('change', () => {
  offer_programs([], 0);
  check_recording();
});
offer_programs([], 0);
element('check-image').addEventListener('change', check_recording);
element('check-program').addEventListener('change', check_recording);
