'use strict';
// The page's behaviour. Every sample comes from the program itself (zkt2wav.js): this script
// only hands it the arguments a user would type, and shows, plays and offers what it wrote.

const element = (id) => document.getElementById(id);
const supported_rates = ['48000', '44100', '22050', '11025', '8000'];
const header_size = 44;

let chosen_image = null;
let wav_url = null;
let wake_lock = null;
let conversions = 0; // only the latest conversion's result is shown

function say(text, failed = false) {
  const status = element('status');
  status.textContent = text;
  status.classList.toggle('failed', failed);
}

// The device's own output rate when the program can make it, so that no resampler touches
// the pulses; 44100 otherwise.
function choose_default_rate() {
  let device_rate = 0;
  try {
    const context = new (window.AudioContext || window.webkitAudioContext)();
    device_rate = context.sampleRate;
    context.close();
  } catch (error) {
    device_rate = 0;
  }
  const rate = String(device_rate);
  const why = element('rate-why');
  if (supported_rates.includes(rate)) {
    element('rate').value = rate;
    why.textContent = `${rate} Hz: this device plays at that rate, so nothing resamples the pulses.`;
  } else {
    element('rate').value = '44100';
    why.textContent = device_rate
        ? `44100 Hz: this device plays at ${device_rate} Hz, which is not one of the five rates.`
        : '44100 Hz: this browser does not tell the rate of its sound output.';
  }
}

// A name that starts with - would read as an option.
function as_argument(name) {
  return name.startsWith('-') ? `./${name}` : name;
}

function wav_name_for(image_name) {
  const name = image_name.replace(/\.[^.]*$/, '') + '.wav';
  return name === image_name ? `${image_name}.wav` : name;
}

function command_line(image_name, output_name) {
  const args = ['-i', as_argument(image_name), '-o', as_argument(output_name),
                '-f', element('rate').value, '-g', element('gain').value,
                '--pad', element('pad').value.trim() || '0'];
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

async function convert() {
  if (!chosen_image) {
    say('Choose a tape image.');
    return;
  }
  const conversion = ++conversions;
  forget_result();
  say(`Converting ${chosen_image.name}…`);
  await new Promise((resolve) => setTimeout(resolve, 0));
  const started = performance.now();
  const output_name = wav_name_for(chosen_image.name);
  try {
    const image = new Uint8Array(await chosen_image.arrayBuffer());
    const result = await run_program(image, chosen_image.name, output_name,
                                     command_line(chosen_image.name, output_name));
    if (conversion !== conversions)
      return;
    if (result.status !== 0) {
      say(result.messages.join('\n') || `The conversion ended with status ${result.status}.`,
          true);
      return;
    }
    await show_result(result.wav, output_name, performance.now() - started);
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

async function show_result(wav, output_name, milliseconds) {
  const header = new DataView(await wav.slice(0, header_size).arrayBuffer());
  const rate = header.getUint32(24, true);
  const seconds = (wav.size - header_size) / rate;
  wav_url = URL.createObjectURL(wav);
  const download = element('download');
  download.download = output_name;
  download.href = wav_url;
  element('audio').src = wav_url;
  element('play').disabled = false;
  element('stop').disabled = false;
  show_time(0, seconds);
  const length = seconds < 60 ? `${seconds.toFixed(1)} s` : clock(seconds);
  say(`Ready: ${output_name}, ${length} of sound at ${rate} Hz, ${size_text(wav.size)}. ` +
      `Converted in ${(milliseconds / 1000).toFixed(2)} s.`);
  await draw_start(wav, rate);
}

function forget_result() {
  stop();
  element('download').removeAttribute('href');
  element('audio').removeAttribute('src');
  element('play').disabled = true;
  element('stop').disabled = true;
  if (wav_url)
    URL.revokeObjectURL(wav_url);
  wav_url = null;
  const canvas = element('signal');
  canvas.getContext('2d').clearRect(0, 0, canvas.width, canvas.height);
}

// The samples around the start of the tone, as an audio editor shows them.
async function draw_start(wav, rate) {
  const shown = Math.round(rate * 0.06);
  const samples = new Uint8Array(await wav.slice(header_size, header_size + 4 * rate).arrayBuffer());
  let first = samples.findIndex((sample) => sample !== 128);
  first = Math.max(0, (first < 0 ? 0 : first) - Math.round(shown / 8));
  const canvas = element('signal');
  const context = canvas.getContext('2d');
  const middle = canvas.height / 2;
  context.clearRect(0, 0, canvas.width, canvas.height);
  context.strokeStyle = '#d9d3c3';
  context.beginPath();
  context.moveTo(0, middle);
  context.lineTo(canvas.width, middle);
  context.stroke();
  context.strokeStyle = '#23395d';
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

function show_time(played, length) {
  element('progress').value = length > 0 ? played / length : 0;
  element('time').textContent =
      `${clock(played)} played, ${clock(Math.max(0, length - played))} to go`;
}

// A phone that sleeps in the middle of a load ruins it.
async function keep_awake() {
  try {
    wake_lock = navigator.wakeLock ? await navigator.wakeLock.request('screen') : null;
  } catch (error) {
    wake_lock = null;
  }
}

function let_sleep() {
  if (wake_lock)
    wake_lock.release().catch(() => {});
  wake_lock = null;
}

async function play_or_pause() {
  const audio = element('audio');
  if (audio.paused) {
    try {
      await audio.play();
    } catch (error) {
      say(`This browser would not play the sound: ${error.message}`, true);
    }
  } else {
    audio.pause();
  }
}

function stop() {
  const audio = element('audio');
  audio.pause();
  if (audio.src)
    audio.currentTime = 0;
}

function choose(file) {
  if (!file)
    return;
  chosen_image = file;
  element('image-name').textContent = file.name;
  convert();
}

function wire_controls() {
  const audio = element('audio');
  const drop = element('drop');
  element('image').addEventListener('change', (event) => choose(event.target.files[0]));
  element('convert').addEventListener('click', convert);
  element('play').addEventListener('click', play_or_pause);
  element('stop').addEventListener('click', stop);
  audio.addEventListener('play', () => {
    element('play').textContent = 'Pause';
    keep_awake();
  });
  audio.addEventListener('pause', () => {
    element('play').textContent = 'Play';
    let_sleep();
  });
  audio.addEventListener('timeupdate', () => show_time(audio.currentTime, audio.duration || 0));
  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState === 'visible' && !audio.paused)
      keep_awake();
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

choose_default_rate();
wire_controls();
if ('serviceWorker' in navigator && location.protocol.startsWith('http'))
  navigator.serviceWorker.register('sw.js');
