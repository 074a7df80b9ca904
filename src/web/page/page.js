'use strict';
// One voice of the room in a browser: it takes the notes the server gives it and plays each at its
// moment on the room's clock, one square-wave tone at a time, as a PC does.

const testing = new URLSearchParams(location.search).has('test');
const $ = (id) => document.getElementById(id);
const state = (window.tonecast = {
  id: null, joined: false, over: false, notes: 0, shortened: 0, missed: 0, songLate: 0, songMissed: 0,
  offsetUs: 0, driftPpm: 0, shortestRoundTripUs: 0, exchanges: 0,
});

// ---- The room's clock: the server's microseconds as an offset from performance.now() that
// drifts at a steady rate, fitted through recent exchanges. All times in microseconds.

const KEPT_EXCHANGES = 256; // about a minute at four a second
const DRIFT_SPAN_US = 10e6; // a slope fitted over a shorter span of a jittery link is noise
const MOST_DRIFT = 500e-6; // real crystals are within a few tens of ppm
const SHRINK = 16; // a slope four times its standard error counts half
// Replies are matched to the requests they answer; one unanswered after this many more have gone
// would have been held up too long to say much.
const OUTSTANDING_REQUESTS = 16;
// A fast exchange (within twice the shortest round trip kept and a millisecond) is as good as the
// fit; one off by more than four round trips and 2 ms disagrees with it, and three of those in a
// row are a step of the clocks (a server started again, a laptop woken), not a stray reply.
const FAST_ROUND_TRIPS = 2, FAST_MARGIN_US = 1000;
const DISAGREEING_ROUND_TRIPS = 4, DISAGREEING_MARGIN_US = 2000;
const STEP_EXCHANGES = 3;
let kept = [], disagreeing = [], requests = [], baseTime = 0, baseOffset = 0, drift = 0;

const nowUs = () => performance.now() * 1000;
const offsetAt = (t) => baseOffset + drift * (t - baseTime);
// A delay on the way moves an exchange's offset by half of it, so the faster it came back the
// more it counts; one held up for long counts next to nothing. Never 0: round trips are never negative.
const weightOf = (x) => 1 / (x.rtt / 1000 + 0.05) ** 2;
const shortestRoundTrip = () => Math.min(...kept.map((x) => x.rtt));
const isFast = (x) => x.rtt <= FAST_ROUND_TRIPS * shortestRoundTrip() + FAST_MARGIN_US;
const disagrees = (x) => Math.abs(x.o - offsetAt(x.t)) > DISAGREEING_ROUND_TRIPS * x.rtt + DISAGREEING_MARGIN_US;

// The server's clock wraps at 32 bits: the reading nearest the one expected at local time t.
function unwrap(serverUs, t) {
  const expected = Math.round(t + offsetAt(t));
  return expected + ((serverUs - expected) | 0);
}

// Forgets every exchange and every request sent.
function resetClock() {
  kept = [];
  disagreeing = [];
  requests = [];
  drift = 0;
  state.exchanges = 0;
}

function recordRequest(stamp, sent) {
  requests.push({ stamp, sent });
  if (requests.length > OUTSTANDING_REQUESTS) requests.shift();
}

// A reply counts only when it echoes a recent request not yet answered: a stranger's forgery or a
// reply seen twice would claim any round trip. Returns whether it counted.
function takeReply(stamp, serverUs, received) {
  const i = requests.findIndex((r) => r.stamp === stamp && r.sent <= received);
  if (i < 0) return false;
  addExchange(requests.splice(i, 1)[0].sent, serverUs, received);
  return true;
}

function addExchange(sent, serverUs, received) {
  const middle = (sent + received) / 2;
  const x = { t: middle, o: (kept.length ? unwrap(serverUs, middle) : serverUs) - middle, rtt: received - sent };
  if (kept.length && isFast(x) && disagrees(x)) {
    // Held aside, as the fit would otherwise move for a single stray one, until they show a step.
    disagreeing.push(x);
    if (disagreeing.length < STEP_EXCHANGES) return;
    kept = disagreeing;
    disagreeing = [];
  } else {
    if (kept.length && isFast(x)) disagreeing = [];
    kept.push(x);
    if (kept.length > KEPT_EXCHANGES) kept.shift();
  }
  fit();
  state.offsetUs = Math.round(offsetAt(middle));
  state.driftPpm = drift * 1e6;
  state.shortestRoundTripUs = Math.round(shortestRoundTrip());
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
    // No slope and no noise (a perfectly flat line) is no drift, where 0/0 would be NaN.
    const strength = slope * slope + SHRINK * uncertainty;
    if (strength > 0 && Number.isFinite(strength)) {
      drift = Math.min(Math.max((slope * slope * slope) / strength, -MOST_DRIFT), MOST_DRIFT);
    }
  }
  baseTime = reference + meanT;
  baseOffset = meanO;
}

// The local time at which the server's clock reads serverUs, of the readings nearest now; 1 + drift
// is near 1.
function localOf(serverUs, now) {
  const server = unwrap(serverUs >>> 0, now);
  return baseTime + (server - baseTime - baseOffset) / (1 + drift);
}

// ---- Sound ----

const AMPLITUDE = 8000 / 32768; // the PCs' square wave
let ctx = null;
let voices = []; // placed tones: { start, end, osc, gain } in context seconds
let shifts = []; // recent readings of context ms less performance ms, as heard

// A page whose sound stopped (a call, an interruption, a refused resume) would count every note
// missed: it gives its place in the room back instead.
function startAudio() {
  if (!ctx) {
    const Context = window.AudioContext || window.webkitAudioContext;
    ctx = new Context({ latencyHint: 'interactive' });
    ctx.onstatechange = () => {
      shifts = [];
      if (ctx.state !== 'running') soundStopped();
    };
  }
  // Lets a phone play through its silent switch, where the browser allows it.
  if (navigator.audioSession) navigator.audioSession.type = 'playback';
  ctx.resume().then(() => ctx.state === 'running' || soundStopped(), soundStopped);
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
  voices.push({ start, end, osc, gain });
}

// Every tone sounding or placed ahead stops now: cut off from the output, it is heard no more
// than the render quantum already on its way.
function hush() {
  for (const v of voices.splice(0)) {
    v.gain.disconnect();
    v.osc.stop();
  }
}

// ---- Notes ----

const NAMES = ['C', 'C#', 'D', 'D#', 'E', 'F', 'F#', 'G', 'G#', 'A', 'A#', 'B'];
const noteName = (key) => NAMES[key % 12] + (Math.floor(key / 12) - 1);
const LONGEST_LEAD_MS = 10000;
const pending = new Set(); // the shows of notes placed whose moment has not come yet
let waiting = []; // notes that came before the clock: their moments cannot be placed until it is known

function takeNote(m) {
  if (!ctx) return;
  if (kept.length) placeNote(m);
  else waiting.push(m);
}

function counted(m, late) {
  if (late !== 'none') state[late]++;
  if (late === 'shortened') state.songLate++;
  if (late === 'missed') state.songMissed++;
  if (testing) {
    console.log('tonecast-played ' + JSON.stringify({ id: state.id, key: m.note, ms: m.ms, at: m.at, late }));
  }
}

// Notes still waiting when the room is left will not be played by this page.
function missWaiting() {
  for (const m of waiting.splice(0)) counted(m, 'missed');
}

function placeNote(m) {
  const nowMs = performance.now();
  const at = localOf(m.at, nowMs * 1000) / 1000;
  // A moment beyond any lead is no note of a song.
  if (at - nowMs > LONGEST_LEAD_MS + 1000) return;
  const toContext = shift();
  let start = (at + toContext) / 1000;
  const end = start + Math.max(m.ms, 0) / 1000;
  let late = 'none';
  if (ctx.state !== 'running') {
    late = 'missed';
  } else if (start < ctx.currentTime) {
    late = end <= ctx.currentTime ? 'missed' : 'shortened';
    start = ctx.currentTime;
  }
  counted(m, late);
  if (late === 'missed') return;
  const playable = m.hz >= 20 && m.hz <= 20000 && end > start;
  if (playable) sound(m.hz, start, end);
  const show = setTimeout(() => {
    pending.delete(show);
    $('name').textContent = m.note >= 0 && m.note <= 127 ? noteName(m.note) : '?';
    $('hz').textContent = playable ? m.hz + ' Hz' : m.hz + ' Hz (cannot play)';
    if (playable) state.notes++;
    $('count').textContent = state.notes + (state.notes === 1 ? ' note played' : ' notes played');
    if (state.over && !pending.size) sayOver();
  }, Math.max(0, start * 1000 - toContext - performance.now()));
  pending.add(show);
}

// A pause or a seek: what sounds stops, and the notes given ahead are no longer the song's; they
// are not counted missed.
function silence() {
  if (ctx) hush();
  for (const show of pending) clearTimeout(show);
  pending.clear();
  waiting = [];
}

// ---- The song's progress ----

// { length, position, atUs, tempo, paused, name, next }: the song's position at its anchor, the
// server's microsecond unwrapped once placed; it moves at tempo percent of the server's clock.
// Sent again at each seek, change of tempo or pause, and placed again each time.
let song = null;
let songAnchor = null; // the server's microsecond of the position the bridge sent, until placed
let songsToCome = 0;

function takeSong(s) {
  song = {
    length: s.length, position: 0, atUs: null, tempo: s.tempo > 0 ? s.tempo : 100, paused: s.paused === true,
    name: typeof s.name === 'string' ? s.name : '', next: typeof s.next === 'string' ? s.next : '',
  };
  songAnchor = typeof s.position === 'number' ? { position: s.position, at: s.at, received: nowUs() } : null;
  if (!state.over) say('');
  placeSong();
}

// On the server's clock unwrapped as the fit reads it: right past the 32-bit wrap, and still right
// when this device sleeps and the fit starts again on the step.
function placeSong() {
  if (!songAnchor || !kept.length) return;
  song.position = songAnchor.position;
  song.atUs = unwrap(songAnchor.at >>> 0, songAnchor.received);
  songAnchor = null;
}

// The song's position now, in ms; null until it is placed.
function songPositionMs() {
  if (!song || song.atUs == null) return null;
  if (song.paused) return song.position;
  const now = nowUs();
  return song.position + ((now + offsetAt(now) - song.atUs) / 1000) * (song.tempo / 100);
}

// The song ended and the room stays for the next; its late notes are counted afresh.
function takeSongEnd(toCome) {
  songsToCome = toCome;
  const next = song ? song.next : '';
  song = null;
  songAnchor = null;
  state.songLate = state.songMissed = 0;
  if (toCome > 0) say(next ? 'Next song: ' + next : 'The next song comes soon');
}

const songEnded = () => songsToCome === 0 && songPositionMs() !== null && songPositionMs() >= song.length;

// ---- The room ----

// A room that cannot be reached is asked again less and less often, not every second for ever.
const FIRST_RETRY_MS = 1000, LONGEST_RETRY_MS = 60000;
let ws = null, tickTimer = 0, retryTimer = 0, retryMs = FIRST_RETRY_MS, burstLeft = 0, welcomed = false;
let overId = null, saidOver = false;

const say = (text) => ($('message').textContent = text);

// The stamp is the page's own microsecond as it asks, 32 bits of it.
function askTime() {
  const sent = nowUs();
  const stamp = Math.round(sent) >>> 0;
  recordRequest(stamp, sent);
  ws.send('clock ' + stamp);
}

// How this page fares, once a second from its clock's first exchange: the shortest round trip kept,
// and this song's notes that came after their moment and those missed.
function report() {
  if (!ws || ws.readyState !== WebSocket.OPEN || !kept.length) return;
  const roundTripMs = shortestRoundTrip() / 1000;
  ws.send(JSON.stringify({ report: { roundTripMs, late: state.songLate, missed: state.songMissed } }));
}

// Every request is also a sign of life: four a second keep the page in the room through rests,
// and a burst right after the welcome gives the clock before the song starts.
function tick() {
  if (!ws || ws.readyState !== WebSocket.OPEN) return;
  askTime();
  const bursting = burstLeft > 0 && --burstLeft > 0;
  tickTimer = setTimeout(tick, bursting ? 5 : 250);
}

function restartTicks(burst) {
  burstLeft = burst;
  clearTimeout(tickTimer);
  tick();
}

function takeClock(m) {
  if (!takeReply(m.clock, m.server >>> 0, nowUs())) return;
  for (const note of waiting.splice(0)) placeNote(note);
  placeSong();
}

function take(m) {
  if ('clock' in m) takeClock(m);
  else if ('note' in m) takeNote(m);
  // A hidden tab's timers may sleep for a minute; the bridge's pings still come, and each answer
  // tells it that the page lives.
  else if ('ping' in m) askTime();
  else if ('silence' in m) silence();
  else if ('songEnd' in m) takeSongEnd(Number(m.songEnd) || 0);
  else if ('id' in m) {
    state.id = m.id;
    state.joined = true;
    retryMs = FIRST_RETRY_MS;
    $('voice').textContent = 'Connected! Got id: ' + m.id;
    $('room').hidden = false;
    say('');
  } else if ('welcome' in m && !welcomed) {
    // A welcome sent again (the first may have been lost) must not start a second burst.
    welcomed = true;
    restartTicks(64);
  } else if ('song' in m) takeSong(m.song);
  else if ('full' in m) say('The room is full. Waiting for a free place…');
  else if ('over' in m) finish();
}

// Lets the socket go; its close then asks for nothing more.
function dropSocket() {
  const sock = ws;
  ws = null;
  clearTimeout(tickTimer);
  state.joined = false;
  missWaiting();
  if (sock) sock.close();
}

function finish() {
  state.over = true;
  overId = state.id;
  clearTimeout(retryTimer);
  dropSocket();
  if (!pending.size) sayOver();
}

function sayOver() {
  if (saidOver) return;
  saidOver = true;
  say('The song is over');
  $('message').classList.add('over');
  $('join').hidden = true;
  if (testing) console.log('tonecast-over ' + JSON.stringify({ id: overId, notes: state.notes }));
}

function askForTap() {
  $('join').hidden = false;
  say('Tap Join to play again.');
}

function soundStopped() {
  if (!ws) return;
  dropSocket();
  state.id = null;
  $('voice').textContent = '';
  askForTap();
}

function connect() {
  $('join').hidden = true;
  if (ws || state.over) return;
  const sock = (ws = new WebSocket((location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/room'));
  sock.onopen = () => {
    // A new connection may be to a server started again: its clock is learnt afresh.
    resetClock();
    welcomed = false;
    sock.send('join');
    restartTicks(0);
  };
  sock.onmessage = (e) => {
    let m;
    try { m = JSON.parse(e.data); } catch { return; }
    if (ws === sock && m && typeof m === 'object') take(m);
  };
  sock.onclose = () => {
    if (ws !== sock) return;
    // The server ends with its song: a page that missed its good-bye knows the song is over.
    if (songEnded()) return finish();
    dropSocket();
    state.id = null;
    $('voice').textContent = '';
    say('Lost the room, joining again…');
    retryTimer = setTimeout(rejoin, retryMs);
    retryMs = Math.min(retryMs * 2, LONGEST_RETRY_MS);
  };
}

// Joins again with the sound as it was; a phone that will not sound again without a tap is asked
// for one rather than holding a place in the room it cannot play.
function rejoin() {
  clearTimeout(retryTimer);
  if (state.over || !ctx || ws) return;
  if (ctx.state === 'running') return connect();
  ctx.resume().catch(() => {});
  retryTimer = setTimeout(() => {
    if (state.over || ws) return;
    if (ctx.state === 'running') return connect();
    askForTap();
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
  const position = songPositionMs();
  if (position !== null) {
    const elapsed = Math.min(Math.max(position, 0), song.length);
    text = clockText(elapsed) + ' / ' + clockText(song.length);
    if (song.tempo !== 100) text += ' · tempo ' + song.tempo + ' %';
    if (song.paused) text += ' · paused';
    part = song.length > 0 ? elapsed / song.length : 0;
  }
  $('time').textContent = text;
  $('song').textContent = song && song.name ? song.name : '';
  $('next').textContent = song && song.next ? 'Next: ' + song.next : '';
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
  say('');
  connect();
});
document.addEventListener('visibilitychange', () => {
  if (!document.hidden) rejoin();
});
addEventListener('pagehide', () => ws && ws.close());
setInterval(draw, 200);
setInterval(report, 1000);
if (testing) {
  // What the tests drive: the sound, and the room's clock fed exchanges of their own.
  Object.assign(state, {
    audio: () => ctx, take, clock: { resetClock, recordRequest, takeReply, localOf, takeSong, songPositionMs },
  });
  startAudio();
  connect();
}
