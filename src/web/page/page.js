'use strict';
// One voice of the room in a browser: it takes the notes the server gives it and plays each at its
// moment on the room's clock, one square-wave tone at a time, as a PC does.

const testing = new URLSearchParams(location.search).has('test');
const $ = (id) => document.getElementById(id);
const state = (window.tonecast = {
  id: null, joined: false, over: false, notes: 0, shortened: 0, missed: 0,
  offsetUs: 0, driftPpm: 0, shortestRoundTripUs: 0, exchanges: 0,
});

// ---- The room's clock: the server's microseconds as an offset from performance.now() that
// drifts at a steady rate, fitted through recent exchanges. All times in microseconds.

const KEPT_EXCHANGES = 256; // about a minute at four a second
const DRIFT_SPAN_US = 10e6; // a slope fitted over a shorter span of a jittery link is noise
const MOST_DRIFT = 500e-6; // real crystals are within a few tens of ppm
const SHRINK = 16; // a slope four times its standard error counts half
let kept = [], baseTime = 0, baseOffset = 0, drift = 0;

const nowUs = () => performance.now() * 1000;
const offsetAt = (t) => baseOffset + drift * (t - baseTime);
// A delay on the way moves an exchange's offset by half of it, so the faster it came back the
// more it counts; one held up for long counts next to nothing.
const weightOf = (x) => 1 / (x.rtt / 1000 + 0.05) ** 2;

// The server's clock wraps at 32 bits: the reading nearest the one expected at local time t.
function unwrap(serverUs, t) {
  const expected = Math.round(t + offsetAt(t));
  return expected + ((serverUs - expected) | 0);
}

function resetClock() {
  kept = [];
  drift = 0;
  state.exchanges = 0;
}

function addExchange(sent, serverUs, received) {
  const middle = (sent + received) / 2;
  const micros = kept.length ? unwrap(serverUs, middle) : serverUs;
  kept.push({ t: middle, o: micros - middle, rtt: received - sent });
  if (kept.length > KEPT_EXCHANGES) kept.shift();
  fit();
  state.offsetUs = Math.round(offsetAt(middle));
  state.driftPpm = drift * 1e6;
  state.shortestRoundTripUs = Math.round(Math.min(...kept.map((x) => x.rtt)));
  state.exchanges = kept.length;
}

// A straight line through the exchanges by weighted least squares; flat until they span enough
// time to tell a drift from the noise.
function fit() {
  const reference = kept[kept.length - 1].t;
  let earliest = reference, weights = 0, sumT = 0, sumO = 0;
  for (const x of kept) {
    const w = weightOf(x);
    earliest = Math.min(earliest, x.t);
    weights += w;
    sumT += w * (x.t - reference);
    sumO += w * x.o;
  }
  const meanT = sumT / weights, meanO = sumO / weights;
  let covariance = 0, variance = 0;
  for (const x of kept) {
    const t = x.t - reference - meanT;
    covariance += weightOf(x) * t * (x.o - meanO);
    variance += weightOf(x) * t * t;
  }
  drift = 0;
  if (reference - earliest >= DRIFT_SPAN_US && kept.length > 2 && variance > 0) {
    const slope = covariance / variance;
    let squares = 0;
    for (const x of kept) {
      const residual = x.o - meanO - slope * (x.t - reference - meanT);
      squares += weightOf(x) * residual * residual;
    }
    // A slope hardly larger than its own uncertainty is the link's jitter, and carried forward it
    // would move every later note: shrink it towards none by how uncertain it is.
    const uncertainty = squares / (kept.length - 2) / variance;
    const trusted = (slope * slope) / (slope * slope + SHRINK * uncertainty);
    drift = Math.min(Math.max(slope * trusted, -MOST_DRIFT), MOST_DRIFT);
  }
  baseTime = reference + meanT;
  baseOffset = meanO;
}

// The local time at which the server's clock reads serverUs, of the readings nearest now.
function localOf(serverUs, now) {
  const server = unwrap(serverUs >>> 0, now);
  return baseTime + (server - baseTime - baseOffset) / (1 + drift);
}

// ---- Sound ----

const AMPLITUDE = 8000 / 32768; // the PCs' square wave
let ctx = null;
let voices = []; // placed tones: { start, end, gain } in context seconds
let shifts = []; // recent readings of context ms less performance ms, as heard

function startAudio() {
  if (!ctx) {
    const Context = window.AudioContext || window.webkitAudioContext;
    ctx = new Context({ latencyHint: 'interactive' });
    ctx.onstatechange = () => { shifts = []; };
  }
  // Lets a phone play through its silent switch, where the browser allows it.
  if (navigator.audioSession) navigator.audioSession.type = 'playback';
  ctx.resume().catch(() => {});
}

// Context ms less performance ms for a sample as it is heard. The output's timestamp wobbles by a
// render quantum, so the median of recent ones; before the stream runs, the latencies it reports.
function shift() {
  const guess = ctx.currentTime * 1000 - performance.now() - ((ctx.baseLatency || 0) + (ctx.outputLatency || 0)) * 1000;
  const ts = ctx.getOutputTimestamp ? ctx.getOutputTimestamp() : {};
  const reading = ts.contextTime * 1000 - ts.performanceTime;
  if (ts.contextTime > 0 && ts.performanceTime > 0 && Math.abs(reading - guess) < 500) {
    shifts.push(reading);
    if (shifts.length > 15) shifts.shift();
  }
  if (!shifts.length) return guess;
  return [...shifts].sort((a, b) => a - b)[shifts.length >> 1];
}

// One tone at a time, as on a PC: a tone that starts while another sounds silences it there.
function sound(hz, start, end) {
  voices = voices.filter((v) => v.end > ctx.currentTime);
  for (const v of voices) {
    if (v.start <= start && v.end > start) {
      v.gain.gain.setValueAtTime(0, start);
      v.end = start;
    } else if (v.start > start && v.start < end) {
      end = v.start; // came out of order: the later tone is already placed
    }
  }
  const osc = ctx.createOscillator();
  const gain = ctx.createGain();
  osc.type = 'square';
  osc.frequency.value = hz;
  gain.gain.value = AMPLITUDE;
  osc.connect(gain);
  gain.connect(ctx.destination);
  osc.start(start);
  osc.stop(end);
  voices.push({ start, end, gain });
}

// ---- Notes ----

const NAMES = ['C', 'C#', 'D', 'D#', 'E', 'F', 'F#', 'G', 'G#', 'A', 'A#', 'B'];
const noteName = (key) => NAMES[key % 12] + (Math.floor(key / 12) - 1);
const LONGEST_LEAD_MS = 10000;
let pending = 0; // notes placed whose moment has not come yet

function takeNote(m) {
  if (!ctx) return;
  const known = kept.length > 0;
  const nowMs = performance.now();
  const at = known ? localOf(m.at, nowMs * 1000) / 1000 : nowMs;
  // A moment beyond any lead is no note of a song.
  if (at - nowMs > LONGEST_LEAD_MS + 1000) return;
  const toContext = shift();
  // Before the clock is known a note is played as it comes.
  let start = known ? (at + toContext) / 1000 : ctx.currentTime;
  const end = start + Math.max(m.ms, 0) / 1000;
  let late = 'none';
  if (ctx.state !== 'running') {
    late = 'missed';
  } else if (start < ctx.currentTime) {
    late = end <= ctx.currentTime ? 'missed' : 'shortened';
    start = ctx.currentTime;
  }
  if (late !== 'none') state[late]++;
  if (testing) {
    console.log('tonecast-played ' + JSON.stringify({ id: state.id, key: m.note, ms: m.ms, at: m.at, late }));
  }
  if (late === 'missed') return;
  const playable = m.hz >= 20 && m.hz <= 20000 && end > start;
  if (playable) sound(m.hz, start, end);
  pending++;
  setTimeout(() => {
    pending--;
    $('name').textContent = m.note >= 0 && m.note <= 127 ? noteName(m.note) : '?';
    $('hz').textContent = playable ? m.hz + ' Hz' : m.hz + ' Hz (cannot play)';
    if (playable) state.notes++;
    $('count').textContent = state.notes + (state.notes === 1 ? ' note played' : ' notes played');
    if (state.over && !pending) sayOver();
  }, Math.max(0, start * 1000 - toContext - performance.now()));
}

// ---- The room ----

let ws = null, tickTimer = 0, retryTimer = 0, burstLeft = 0;
let song = null, overId = null, saidOver = false;

const say = (text) => ($('message').textContent = text);

// Every request is also a sign of life: four a second keep the page in the room through rests,
// and a burst right after the welcome gives the clock before the song starts.
function tick() {
  if (!ws || ws.readyState !== WebSocket.OPEN) return;
  ws.send('clock ' + (Math.round(nowUs()) >>> 0));
  const bursting = burstLeft > 0 && --burstLeft > 0;
  tickTimer = setTimeout(tick, bursting ? 5 : 250);
}

function restartTicks(burst) {
  burstLeft = burst;
  clearTimeout(tickTimer);
  tick();
}

function takeClock(m) {
  const received = nowUs();
  // The stamp is the page's own microsecond when it asked, 32 bits of it.
  const took = ((Math.round(received) >>> 0) - m.clock) >>> 0;
  if (took > 10e6) return;
  addExchange(received - took, m.server >>> 0, received);
}

function take(m) {
  if ('clock' in m) takeClock(m);
  else if ('note' in m) takeNote(m);
  else if ('id' in m) {
    state.id = m.id;
    state.joined = true;
    $('voice').textContent = 'Connected! Got id: ' + m.id;
    $('room').hidden = false;
    say('');
  } else if ('welcome' in m) restartTicks(64);
  else if ('song' in m) song = m.song;
  else if ('full' in m) say('The room is full. Waiting for a free place…');
  else if ('over' in m) {
    state.over = true;
    overId = state.id;
    clearTimeout(retryTimer);
    if (ws) ws.close();
    if (!pending) sayOver();
  }
}

function sayOver() {
  if (saidOver) return;
  saidOver = true;
  say('The song is over');
  $('message').classList.add('over');
  $('join').hidden = true;
  if (testing) console.log('tonecast-over ' + JSON.stringify({ id: overId, notes: state.notes }));
}

function connect() {
  $('join').hidden = true;
  if (ws || state.over) return;
  const sock = (ws = new WebSocket((location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/room'));
  sock.onopen = () => {
    // A new connection may be to a server started again: its clock is learnt afresh.
    resetClock();
    sock.send('join');
    restartTicks(0);
  };
  sock.onmessage = (e) => {
    let m;
    try { m = JSON.parse(e.data); } catch { return; }
    if (m && typeof m === 'object') take(m);
  };
  sock.onclose = () => {
    if (ws !== sock) return;
    ws = null;
    clearTimeout(tickTimer);
    state.joined = false;
    if (state.over) return;
    state.id = null;
    $('voice').textContent = '';
    say('Lost the room, joining again…');
    retryTimer = setTimeout(rejoin, 1000);
  };
}

// Joins again with the sound as it was; a phone that will not sound again without a tap is asked
// for one rather than holding a place in the room it cannot play.
function rejoin() {
  clearTimeout(retryTimer);
  if (state.over || !ctx) return;
  if (ctx.state === 'running') return connect();
  ctx.resume().catch(() => {});
  retryTimer = setTimeout(() => {
    if (state.over) return;
    if (ctx.state === 'running') return connect();
    $('join').hidden = false;
    say('Tap Join to play again.');
  }, 300);
}

const clockText = (ms) => {
  const s = Math.floor(ms / 1000);
  return Math.floor(s / 60) + ':' + String(s % 60).padStart(2, '0');
};

function draw() {
  if (ctx && ctx.state === 'running') shift(); // keeps the output's timing fresh between notes
  let text = 'Waiting for the song to start';
  let part = 0;
  if (song && song.start != null && kept.length) {
    const now = nowUs();
    const elapsed = Math.min(Math.max((now - localOf(song.start, now)) / 1000, 0), song.length);
    text = clockText(elapsed) + ' / ' + clockText(song.length);
    part = song.length > 0 ? elapsed / song.length : 0;
  }
  $('time').textContent = text;
  $('bar').style.width = part * 100 + '%';
  const clock = kept.length
    ? `Clock: offset ${(state.offsetUs / 1000).toFixed(3)} ms, drift ${state.driftPpm.toFixed(1)} ppm, ` +
      `round trip ${(state.shortestRoundTripUs / 1000).toFixed(3)} ms, ${state.exchanges} exchanges`
    : 'Clock: not known yet';
  $('status').textContent = state.joined || kept.length
    ? `${clock} · late notes: ${state.shortened} shortened, ${state.missed} missed` : '';
}

$('join').addEventListener('click', () => {
  startAudio();
  if (ws) say('');
  connect();
});
document.addEventListener('visibilitychange', () => {
  if (!document.hidden) rejoin();
});
addEventListener('pagehide', () => ws && ws.close());
setInterval(draw, 200);
if (testing) {
  startAudio();
  connect();
}
