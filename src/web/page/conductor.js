'use strict';
// The conductor's page: shows the room's state as the server publishes it and sends the
// conductor's commands back. Nothing here decides; every change is the server's and comes back in
// the next state, so two conductors (a laptop and a phone) always show the same room.

const testing = new URLSearchParams(location.search).has('test');
const $ = (id) => document.getElementById(id);
// Everything of the conductor lives under the page's own address, which holds the key.
const base = location.pathname.replace(/\/+$/, '');

const LARGEST_SONG_BYTES = 1 << 20;
const FIRST_RETRY_MS = 1000, LONGEST_RETRY_MS = 30000;
const TEMPO_SEND_MS = 150; // a dragged slider sends at most this often
const DRAG_PIXELS = 6; // a press that moves less is a click
const RANGE_SPAN = 11; // --range takes at least an octave
const GIVEN_GREY = '#5b6270', DROPPED_RED = '#ff4d4d';

// One colour per voice id, 0 to 31: hues a golden angle apart, two lightnesses, so neighbours differ;
// none is red, which marks a dropped note.
const PALETTE = Array.from({ length: 32 }, (_, id) =>
  `hsl(${Math.round(25 + ((id * 137.508) % 310))}, ${id % 2 ? 65 : 80}%, ${id % 2 ? 68 : 55}%)`);

let room = null; // the newest state
let roomReceived = 0; // performance.now() when it came
let song = { song: -1, version: -1, notes: [], end: 0 };
let lastServerMessage = '';

// ---- Talking to the server ----

let ws = null, retryMs = FIRST_RETRY_MS, retryTimer = 0;

function send(command) {
  if (!ws || ws.readyState !== WebSocket.OPEN) return;
  ws.send(JSON.stringify(command));
}

function setLink(text, online) {
  $('link').textContent = text;
  document.body.classList.toggle('offline', !online);
}

function connect() {
  clearTimeout(retryTimer);
  let sock;
  try {
    sock = new WebSocket((location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + base + '/socket');
  } catch {
    return retryLater();
  }
  ws = sock;
  sock.onopen = () => {
    retryMs = FIRST_RETRY_MS;
    setLink('Connected', true);
    if (testing) console.log('conductor-connected');
  };
  sock.onmessage = (e) => {
    let m;
    try { m = JSON.parse(e.data); } catch { return; }
    if (ws === sock && m && typeof m === 'object') take(m);
  };
  sock.onclose = () => {
    if (ws !== sock) return;
    ws = null;
    // The server lets go of a closed socket's keys itself; a new socket holds none.
    letGoAll();
    retryLater();
  };
}

// A server that is gone (or started again) is asked less and less often, up to every 30 s.
function retryLater() {
  setLink(`Lost the server, trying again in ${Math.round(retryMs / 1000)} s…`, false);
  retryTimer = setTimeout(connect, retryMs);
  retryMs = Math.min(retryMs * 2, LONGEST_RETRY_MS);
}

function take(m) {
  if ('ping' in m) send({ pong: m.ping });
  else if ('state' in m) takeState(m.state);
  else if ('notes' in m) takeNotes(m.notes);
  else if ('audience' in m) takeAudience(m.audience);
}

// ---- The room's state ----

const PHASES = { waiting: 'Waiting for the start', playing: 'Playing', paused: 'Paused',
  between: 'Between songs', over: 'The concert is over' };
const KINDS = { pc: 'PC', 'older pc': 'older PC', page: 'page' };

function takeState(s) {
  if (!s || typeof s !== 'object') return;
  room = s;
  roomReceived = performance.now();
  const songs = Array.isArray(s.songs) ? s.songs : [];
  const current = songs[s.song];
  if (testing) {
    const { state, song: index, position, at, tempo, loop, options, message } = s;
    const told = { state, song: index, position, at, tempo, loop, options, message, length: current && current.lengthMs };
    console.log('conductor-state ' + JSON.stringify(told));
  }
  $('title').textContent = current ? current.name : '–';
  $('phase').textContent = PHASES[s.state] || '';
  $('start').hidden = s.state !== 'waiting';
  $('pause').textContent = s.state === 'paused' ? 'Resume' : 'Pause';
  $('pause').disabled = s.state !== 'playing' && s.state !== 'paused';
  $('previous').disabled = !(s.song > 0);
  $('next').disabled = !(s.song < songs.length - 1);
  $('stop').disabled = s.state === 'over';
  const loop = loopOf(s);
  $('clear-loop').hidden = !loop;
  $('loop-text').textContent = loop ? `Looping ${clockText(loop[0])} to ${clockText(loop[1])}`
    : 'Click the roll to move there, drag across it to loop.';
  if (s.message !== lastServerMessage) {
    lastServerMessage = s.message;
    if (s.message) say(s.message);
  }
  showSongs(songs, s.song);
  showOptions(s);
  showVoices(s);
  drawNotes();
}

const loopOf = (s) => (Array.isArray(s.loop) && s.loop.length === 2 && s.loop[1] > s.loop[0] ? s.loop : null);

let shownSongs = '';

// Made again only when the list changes: a button replaced under a press would lose its click.
function showSongs(songs, index) {
  const shown = JSON.stringify([songs, index]);
  if (shown === shownSongs) return;
  shownSongs = shown;
  $('songs').replaceChildren(...songs.map((entry, i) => {
    const item = document.createElement('li');
    const button = document.createElement('button');
    button.type = 'button';
    button.textContent = entry.name;
    button.title = 'Play this song from its start';
    button.addEventListener('click', () => send({ cmd: 'play', song: i }));
    const length = document.createElement('span');
    length.className = 'dim';
    length.textContent = entry.lengthMs > 0 ? clockText(entry.lengthMs) : ''; // not read yet
    item.append(button, length);
    if (i === index) {
      item.className = 'current';
      item.setAttribute('aria-current', 'true');
    }
    return item;
  }));
}

function showVoices(s) {
  const voices = Array.isArray(s.voices) ? s.voices : [];
  $('voices').replaceChildren(...voices.map((v) => {
    const row = document.createElement('tr');
    // A voice that has not reported (an older PC, a PC not yet a second in) has no figures.
    const roundTrip = typeof v.roundTripMs === 'number' ? v.roundTripMs.toFixed(1) : null;
    const cells = [v.id, KINDS[v.kind] || v.kind, v.address, roundTrip, v.late, v.missed];
    cells.forEach((value, i) => {
      const cell = document.createElement('td');
      cell.textContent = value === undefined || value === null ? '–' : String(value);
      if (i === 0) cell.style.color = PALETTE[v.id & 31];
      row.append(cell);
    });
    return row;
  }));
  $('counts').textContent = `${voices.length} · ${s.sent | 0} notes sent, ${s.dropped | 0} dropped`;
}

const say = (text) => ($('message').textContent = text);

// ---- Position ----

const clockText = (ms) => {
  const s = Math.floor(Math.max(ms, 0) / 1000);
  return Math.floor(s / 60) + ':' + String(s % 60).padStart(2, '0');
};

function songLength() {
  const entry = room && Array.isArray(room.songs) ? room.songs[room.song] : null;
  return entry && entry.lengthMs > 0 ? entry.lengthMs : song.end;
}

// Where the song is now: from the last state's position, at its tempo while it plays, around the
// loop when there is one. The server's own clock is not needed to draw a play head.
function positionNow() {
  if (!room) return 0;
  let position = room.position;
  if (room.state === 'playing') {
    position += ((performance.now() - roomReceived) * room.tempo) / 100;
    const loop = loopOf(room);
    if (loop && room.position < loop[1] && position >= loop[1]) {
      position = loop[0] + ((position - loop[1]) % (loop[1] - loop[0]));
    }
  }
  return Math.min(Math.max(position, 0), songLength());
}

// ---- The piano roll: time across, keys up ----

const roll = $('roll');
const layer = document.createElement('canvas'); // the notes, drawn again only when they change
let keys = { low: 48, high: 84 };
let dragging = null; // { fromX, toX } in css pixels while a press moves

function fitRoll() {
  const scale = window.devicePixelRatio || 1;
  const width = Math.round(roll.clientWidth * scale), height = Math.round(roll.clientHeight * scale);
  if (roll.width !== width || roll.height !== height) {
    roll.width = layer.width = width;
    roll.height = layer.height = height;
    drawNotes();
  }
}

const xOf = (ms, width) => (songLength() > 0 ? (ms / songLength()) * width : 0);
const msOf = (cssX) => Math.round(Math.min(Math.max(cssX / roll.clientWidth, 0), 1) * songLength());

function drawNotes() {
  const g = layer.getContext('2d');
  const { width, height } = layer;
  g.clearRect(0, 0, width, height);
  if (!width || !height) return;
  const notes = song.notes;
  const row = height / (keys.high - keys.low + 1);
  const yOf = (key) => height - (key - keys.low + 1) * row;
  for (let key = keys.low; key <= keys.high; key++) {
    // The black keys' rows a shade darker, each C marked: the roll reads like a keyboard.
    if ([1, 3, 6, 8, 10].includes(((key % 12) + 12) % 12)) {
      g.fillStyle = '#15181c';
      g.fillRect(0, yOf(key), width, row);
    }
    if (((key % 12) + 12) % 12 === 0) {
      g.fillStyle = '#2a2f36';
      g.fillRect(0, yOf(key) + row - 1, width, 1);
    }
  }
  const given = room && room.song === song.song && typeof room.given === 'string' ? room.given : '';
  const scale = window.devicePixelRatio || 1;
  notes.forEach(([start, length, key], i) => {
    const x = xOf(start, width), w = Math.max(xOf(start + length, width) - x, 2 * scale);
    const y = yOf(key), h = Math.max(row - scale, scale);
    const mark = given[i] || '.';
    if (mark === '-') {
      g.strokeStyle = DROPPED_RED;
      g.lineWidth = scale * 1.5;
      g.strokeRect(x, y, w, h);
      g.beginPath();
      g.moveTo(x, y);
      g.lineTo(x + w, y + h);
      g.moveTo(x, y + h);
      g.lineTo(x + w, y);
      g.stroke();
      return;
    }
    g.fillStyle = mark === '.' ? GIVEN_GREY : PALETTE[voiceOf(mark) & 31];
    g.fillRect(x, y, w, h);
  });
}

// "A" + id for ids 0 to 25, then "a" onwards.
const voiceOf = (mark) => (mark >= 'a' ? mark.charCodeAt(0) - 97 + 26 : mark.charCodeAt(0) - 65);

function drawRoll() {
  fitRoll();
  const g = roll.getContext('2d');
  const { width, height } = roll;
  const scale = window.devicePixelRatio || 1;
  g.clearRect(0, 0, width, height);
  g.drawImage(layer, 0, 0);
  const shade = (from, until, colour) => {
    g.fillStyle = colour;
    g.fillRect(Math.min(from, until), 0, Math.abs(until - from), height);
  };
  const loop = room && loopOf(room);
  if (loop) shade(xOf(loop[0], width), xOf(loop[1], width), 'rgba(76, 195, 138, 0.18)');
  if (dragging && dragging.moved) shade(dragging.fromX * scale, dragging.toX * scale, 'rgba(240, 180, 84, 0.25)');
  const position = positionNow();
  g.fillStyle = '#ffffff';
  g.fillRect(Math.round(xOf(position, width) - scale), 0, 2 * scale, height);
  const time = clockText(position) + ' / ' + clockText(songLength());
  if ($('time').textContent !== time) $('time').textContent = time;
  requestAnimationFrame(drawRoll);
}

function takeNotes(n) {
  if (!n || !Array.isArray(n.notes)) return;
  const notes = n.notes.filter((x) => Array.isArray(x) && x.length >= 3);
  song = { song: n.song, version: n.version, notes, end: notes.reduce((end, [start, length]) => Math.max(end, start + length), 0) };
  if (notes.length) {
    // The song's own keys and a little more, at least an octave: a tune of three notes fills no roll.
    let lowest = 127, highest = 0;
    for (const [, , key] of song.notes) {
      lowest = Math.min(lowest, key);
      highest = Math.max(highest, key);
    }
    const spare = Math.max(0, 12 - (highest - lowest)) / 2;
    keys = { low: Math.floor(lowest - 1 - spare), high: Math.ceil(highest + 1 + spare) };
  }
  drawNotes();
}

const pressX = (e) => e.clientX - roll.getBoundingClientRect().left;

roll.addEventListener('pointerdown', (e) => {
  if (e.button !== 0) return;
  roll.setPointerCapture(e.pointerId);
  dragging = { fromX: pressX(e), toX: pressX(e), moved: false };
});
roll.addEventListener('pointermove', (e) => {
  if (!dragging) return;
  dragging.toX = pressX(e);
  dragging.moved = dragging.moved || Math.abs(dragging.toX - dragging.fromX) >= DRAG_PIXELS;
});
roll.addEventListener('pointerup', (e) => {
  if (!dragging) return;
  const press = dragging;
  dragging = null;
  press.toX = pressX(e);
  if (!press.moved) return send({ cmd: 'seek', ms: msOf(press.fromX) });
  const from = msOf(Math.min(press.fromX, press.toX)), until = msOf(Math.max(press.fromX, press.toX));
  send({ cmd: 'loop', from, until });
});
roll.addEventListener('pointercancel', () => (dragging = null));
$('clear-loop').addEventListener('click', () => send({ cmd: 'loop', from: 0, until: 0 }));

// ---- Transport ----

function togglePause() {
  if (room && room.state === 'playing') send({ cmd: 'pause' });
  else if (room && room.state === 'paused') send({ cmd: 'resume' });
}

$('start').addEventListener('click', () => send({ cmd: 'start' }));
$('pause').addEventListener('click', togglePause);
$('previous').addEventListener('click', () => send({ cmd: 'previous' }));
$('next').addEventListener('click', () => send({ cmd: 'next' }));
$('stop').addEventListener('click', () => {
  if (confirm('Stop the concert? Every client is told to quit.')) send({ cmd: 'stop' });
});

document.addEventListener('keydown', (e) => {
  if (e.key === 'Escape' && document.body.classList.contains('showing')) return showToRoom(false);
  const typing = e.target instanceof HTMLInputElement && e.target.type !== 'range' && e.target.type !== 'file';
  if (e.key !== ' ' || typing || e.repeat || e.ctrlKey || e.altKey || e.metaKey) return;
  // Also keeps a focused button from taking the space as a click of its own.
  e.preventDefault();
  togglePause();
});

// ---- Options: every change sends all four, as the server replaces them whole ----

const CHANNEL_COUNT = 16, DRUMS = 10;
let channels = 0xffff;
const channelButtons = [];
for (let channel = 1; channel <= CHANNEL_COUNT; channel++) {
  const button = document.createElement('button');
  button.type = 'button';
  button.className = 'channel';
  button.textContent = channel === DRUMS ? '10 drums' : String(channel);
  button.addEventListener('click', () => {
    channels ^= 1 << (channel - 1);
    showChannels();
    sendOptions();
  });
  channelButtons.push(button);
}
$('channels').append(...channelButtons);

function showChannels() {
  channelButtons.forEach((button, i) => button.setAttribute('aria-pressed', String(((channels >> i) & 1) === 1)));
}

const TRACK_LIST = /^\s*(\d+(\s*-\s*\d+)?(\s*,\s*\d+(\s*-\s*\d+)?)*)?\s*$/;
const whole = (input, low, high) => Math.min(Math.max(Math.round(Number(input.value) || 0), low), high);

function sendOptions() {
  const tracks = $('tracks').value.trim();
  const low = whole($('range-low'), 0, 127), high = whole($('range-high'), 0, 127);
  const tracksRight = TRACK_LIST.test(tracks), rangeRight = high - low >= RANGE_SPAN;
  $('tracks').classList.toggle('wrong', !tracksRight);
  $('range-low').classList.toggle('wrong', !rangeRight);
  $('range-high').classList.toggle('wrong', !rangeRight);
  if (!tracksRight || !rangeRight) return;
  send({ cmd: 'options', channels, tracks: tracks.replace(/\s+/g, ''), transpose: whole($('transpose'), -48, 48),
    range: [low, high] });
}

for (const id of ['transpose', 'range-low', 'range-high', 'tracks']) $(id).addEventListener('change', sendOptions);

const tempoSlider = $('tempo');
let sliding = false, tempoTimer = 0, tempoSentAt = 0;

// A field the conductor is typing in keeps what is typed; the others show the room's.
function showField(input, value) {
  if (document.activeElement === input && input.type !== 'range') return;
  if (input === tempoSlider && sliding) return;
  input.value = value;
  input.classList.remove('wrong');
}

function showOptions(s) {
  const o = s.options || {};
  if (typeof o.channels === 'number') {
    channels = o.channels & 0xffff;
    showChannels();
  }
  if (typeof o.tracks === 'string') showField($('tracks'), o.tracks);
  if (typeof o.transpose === 'number') showField($('transpose'), o.transpose);
  if (Array.isArray(o.range)) {
    showField($('range-low'), o.range[0]);
    showField($('range-high'), o.range[1]);
  }
  if (typeof s.tempo === 'number') {
    showField(tempoSlider, s.tempo);
    showField($('tempo-number'), s.tempo);
  }
}

// ---- Tempo ----

function sendTempo(percent) {
  clearTimeout(tempoTimer);
  tempoSentAt = performance.now();
  send({ cmd: 'tempo', percent: Math.min(Math.max(Math.round(percent), 25), 400) });
}

tempoSlider.addEventListener('pointerdown', () => (sliding = true));
addEventListener('pointerup', () => (sliding = false));
tempoSlider.addEventListener('input', () => {
  $('tempo-number').value = tempoSlider.value;
  clearTimeout(tempoTimer);
  const wait = tempoSentAt + TEMPO_SEND_MS - performance.now();
  if (wait <= 0) sendTempo(tempoSlider.value);
  else tempoTimer = setTimeout(() => sendTempo(tempoSlider.value), wait);
});
tempoSlider.addEventListener('change', () => sendTempo(tempoSlider.value));
$('tempo-number').addEventListener('change', () => {
  const percent = whole($('tempo-number'), 25, 400);
  $('tempo-number').value = tempoSlider.value = percent;
  sendTempo(percent);
});
$('tempo-reset').addEventListener('click', () => {
  $('tempo-number').value = tempoSlider.value = 100;
  sendTempo(100);
});

// ---- Adding a song ----

async function addSong(file) {
  if (!/\.midi?$/i.test(file.name)) return say(`${file.name} is no MIDI file (.mid).`);
  if (file.size > LARGEST_SONG_BYTES) return say(`${file.name} is larger than 1 MiB.`);
  say(`Sending ${file.name}…`);
  try {
    const answer = await fetch(base + '/songs?name=' + encodeURIComponent(file.name), { method: 'POST', body: file });
    if (answer.status === 202) say(`Sent ${file.name}; it is added once the server has read it.`);
    else if (answer.status === 413) say(`${file.name} is larger than 1 MiB.`);
    else say(`The server did not take ${file.name} (${answer.status}).`);
  } catch {
    say(`Could not send ${file.name}: the server is out of reach.`);
  }
}

$('add').addEventListener('change', () => {
  const file = $('add').files[0];
  $('add').value = '';
  if (file) addSong(file);
});

const carriesFiles = (e) => e.dataTransfer && Array.from(e.dataTransfer.types || []).includes('Files');
addEventListener('dragover', (e) => {
  if (!carriesFiles(e)) return;
  e.preventDefault();
  $('drop').hidden = false;
});
addEventListener('dragleave', (e) => {
  if (!e.relatedTarget) $('drop').hidden = true;
});
addEventListener('drop', (e) => {
  $('drop').hidden = true;
  if (!e.dataTransfer || !e.dataTransfer.files.length) return;
  e.preventDefault();
  addSong(e.dataTransfer.files[0]);
});

// ---- The audience's address, large enough for a projector ----

function takeAudience(a) {
  if (!a || typeof a !== 'object') return;
  // Broken, where it must be, after the scheme and before the port rather than inside a number.
  const parts = typeof a.address === 'string' ? a.address.split(/(?<=\/\/)|(?=:\d)/) : ['–'];
  $('audience-address').replaceChildren(...parts.flatMap((part, i) => (i ? [document.createElement('wbr'), part] : [part])));
  if (typeof a.qr === 'string' && a.qr) {
    $('qr').src = a.qr;
    $('qr').hidden = false;
  }
}

function showToRoom(on) {
  document.body.classList.toggle('showing', on);
  $('show').textContent = on ? 'Back' : 'Show to the room';
  if (on && document.documentElement.requestFullscreen) document.documentElement.requestFullscreen().catch(() => {});
  if (!on && document.fullscreenElement) document.exitFullscreen().catch(() => {});
}

$('show').addEventListener('click', () => showToRoom(!document.body.classList.contains('showing')));
document.addEventListener('fullscreenchange', () => {
  if (!document.fullscreenElement && document.body.classList.contains('showing')) showToRoom(false);
});

// ---- Playing live: the on-screen keyboard, the computer's keys and MIDI keyboards ----

// Two octaves and a third, from a C the octave buttons move.
const PIANO_KEYS = 29, LOWEST_BASE = 0, HIGHEST_BASE = 96;
const BLACK = [1, 3, 6, 8, 10];
// The home row and the one above it, as on a piano's white and black keys, from the keyboard's C;
// by where they are, so that any layout plays the same keys.
const KEY_ROW = ['KeyA', 'KeyW', 'KeyS', 'KeyE', 'KeyD', 'KeyF', 'KeyT', 'KeyG', 'KeyY', 'KeyH', 'KeyU', 'KeyJ',
  'KeyK', 'KeyO', 'KeyL', 'KeyP', 'Semicolon'];
let pianoBase = 48;
// What holds each sounding key (a pointer, a computer's key, a MIDI input): the key sounds from
// its first holder to its last letting go, so a mouse and a finger on one key send one note.
const sounding = new Map();
const holders = new Map(); // holder -> key

const isBlack = (key) => BLACK.includes(key % 12);
const keyName = (key) => 'C' + (Math.floor(key / 12) - 1);

function hold(holder, key, velocity) {
  if (key < 0 || key > 127 || holders.get(holder) === key) return;
  letGo(holder);
  holders.set(holder, key);
  const by = sounding.get(key) || new Set();
  by.add(holder);
  sounding.set(key, by);
  if (by.size === 1) sendLive(velocity ? { on: key, velocity } : { on: key });
  lightKey(key);
}

function letGo(holder) {
  const key = holders.get(holder);
  if (key === undefined) return;
  holders.delete(holder);
  const by = sounding.get(key);
  by.delete(holder);
  if (by.size) return;
  sounding.delete(key);
  sendLive({ off: key });
  lightKey(key);
}

// Everything held: the page is hidden or loses focus, where no let-go of a key could reach it.
function letGoAll(filter = () => true) {
  for (const holder of [...holders.keys()]) if (filter(holder)) letGo(holder);
}

function sendLive(live) {
  if (testing) console.log('conductor-live ' + JSON.stringify(live));
  send({ live });
}

const keyElements = new Map();

function drawPiano() {
  keyElements.clear();
  const whites = Array.from({ length: PIANO_KEYS }, (_, i) => pianoBase + i).filter((key) => !isBlack(key)).length;
  let white = 0;
  $('piano').replaceChildren(...Array.from({ length: PIANO_KEYS }, (_, i) => {
    const key = pianoBase + i;
    const element = document.createElement('div');
    element.dataset.key = String(key);
    element.className = isBlack(key) ? 'black' : 'white';
    if (isBlack(key)) {
      element.style.left = `${((white - 0.3) * 100) / whites}%`;
      element.style.width = `${60 / whites}%`;
    } else {
      white++;
    }
    const letter = KEY_ROW[i] ? KEY_ROW[i].replace('Key', '').replace('Semicolon', ';') : '';
    if (key % 12 === 0) element.append(Object.assign(document.createElement('b'), { textContent: keyName(key) }));
    element.append(letter);
    keyElements.set(key, element);
    return element;
  }));
  for (const key of keyElements.keys()) lightKey(key);
  $('octave-text').textContent = `${keyName(pianoBase)} to E${Math.floor((pianoBase + PIANO_KEYS - 1) / 12) - 1}`;
  $('octave-down').disabled = pianoBase <= LOWEST_BASE;
  $('octave-up').disabled = pianoBase >= HIGHEST_BASE;
}

function lightKey(key) {
  const element = keyElements.get(key);
  if (element) element.classList.toggle('down', sounding.has(key));
}

// Keys held go on sounding until let go, wherever the keyboard has moved since.
function shiftOctave(by) {
  pianoBase = Math.min(Math.max(pianoBase + by * 12, LOWEST_BASE), HIGHEST_BASE);
  drawPiano();
}

$('octave-down').addEventListener('click', () => shiftOctave(-1));
$('octave-up').addEventListener('click', () => shiftOctave(1));

// Each pointer (the mouse, every finger) holds the key under it, sliding from key to key.
const keyUnder = (e) => {
  const element = document.elementFromPoint(e.clientX, e.clientY);
  const under = element && element.closest('#piano [data-key]');
  return under ? Number(under.dataset.key) : null;
};
const pointerHolder = (e) => 'pointer ' + e.pointerId;

$('piano').addEventListener('pointerdown', (e) => {
  if (e.button !== 0) return;
  e.preventDefault();
  // A field typed in before keeps no focus, so the computer's keys play from here on.
  if (document.activeElement instanceof HTMLInputElement) document.activeElement.blur();
  // A touch is held by the key it began on; released, the key under the finger is found at each move.
  if (e.target.hasPointerCapture(e.pointerId)) e.target.releasePointerCapture(e.pointerId);
  const key = keyUnder(e);
  if (key !== null) hold(pointerHolder(e), key);
});
$('piano').addEventListener('pointermove', (e) => {
  if (!holders.has(pointerHolder(e))) return;
  const key = keyUnder(e);
  if (key === null) letGo(pointerHolder(e));
  else hold(pointerHolder(e), key);
});
for (const end of ['pointerup', 'pointercancel', 'pointerleave']) {
  $('piano').addEventListener(end, (e) => letGo(pointerHolder(e)));
}

document.addEventListener('keydown', (e) => {
  const typing = e.target instanceof HTMLInputElement && e.target.type !== 'range' && e.target.type !== 'file';
  if (typing || e.ctrlKey || e.altKey || e.metaKey || document.body.classList.contains('showing')) return;
  if (e.code === 'KeyZ' || e.code === 'KeyX') {
    if (!e.repeat) shiftOctave(e.code === 'KeyZ' ? -1 : 1);
    return e.preventDefault();
  }
  const place = KEY_ROW.indexOf(e.code);
  if (place < 0) return;
  e.preventDefault();
  if (!e.repeat) hold('key ' + e.code, pianoBase + place);
});
document.addEventListener('keyup', (e) => letGo('key ' + e.code));
addEventListener('blur', () => letGoAll());
document.addEventListener('visibilitychange', () => {
  if (document.hidden) letGoAll();
});

// MIDI keyboards: asked for only when the conductor wants one, as the browser then asks leave.
// Every input plays; a note-on of velocity 0 is a note-off, as keyboards send it.
const NOTE_OFF = 0x80, NOTE_ON = 0x90;
let midiAccess = null;

function listMidiInputs() {
  const inputs = [...midiAccess.inputs.values()];
  for (const input of inputs) input.onmidimessage = (m) => takeMidi(input.id, m.data);
  const here = new Set(inputs.filter((input) => input.state === 'connected').map((input) => 'midi ' + input.id + ' '));
  letGoAll((holder) => holder.startsWith('midi ') && ![...here].some((prefix) => holder.startsWith(prefix)));
  $('midi-text').textContent = inputs.length
    ? 'MIDI keyboards: ' + inputs.map((input) => input.name || input.id).join(', ')
    : 'No MIDI keyboard found; connect one and it is taken at once.';
}

function takeMidi(input, data) {
  if (!data || data.length < 3) return;
  const kind = data[0] & 0xf0, holder = `midi ${input} ${data[0] & 0x0f} ${data[1]}`;
  if (kind === NOTE_ON && data[2] > 0) hold(holder, data[1], data[2]);
  else if (kind === NOTE_ON || kind === NOTE_OFF) letGo(holder);
}

$('use-midi').hidden = !navigator.requestMIDIAccess;
if (!navigator.requestMIDIAccess && !window.isSecureContext) {
  // Browsers give MIDI only to https pages and to pages of this computer.
  $('midi-text').textContent += ' A MIDI keyboard plays here when the page is opened on the server\'s own computer (127.0.0.1).';
}
$('use-midi').addEventListener('click', () => {
  navigator.requestMIDIAccess().then((access) => {
    midiAccess = access;
    access.onstatechange = listMidiInputs;
    listMidiInputs();
    $('use-midi').hidden = true;
  }, () => ($('midi-text').textContent = 'The browser did not allow MIDI.'));
});

drawPiano();

showChannels();
if (testing) window.conductor = { take };
connect();
requestAnimationFrame(drawRoll);
