'use strict';
// Saving from the machine: the microphone or line input, read by the program's own check as
// it arrives (check.js holds the check), and every program found offered as a tape image.

const level_every_ms = 100;

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
  show_message('record-status', text, failed);
}

// The browser must hand the samples over as they came: no echo cancelling, noise
// suppression or gain riding, each of which reshapes the pulses.
async function open_input() {
  // A page that isn't secure has no mediaDevices.
  if (!navigator.mediaDevices || !navigator.mediaDevices.getUserMedia)
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
  offer(entry.link, new Blob([r.check.program_bytes(index - r.first)]), entry.link.download);
}

element('record').addEventListener('click', record_pressed);
