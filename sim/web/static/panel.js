// The front panel page: draws what the board sends over the WebSocket and
// sends back what the person does. Protocol: README.md, "The front panel
// in a browser". Everything the page knows is in `panel` (window.panel).
'use strict';

const CH_CONSOLE = 1, CH_USB = 2, CH_AUDIO = 3;
const AUDIO_RATE = 8000;
const JITTER_S = 0.15;  // audio is played this far behind its arrival, to ride out uneven delivery

const panel = {
  connected: false,
  role: '',            // 'control' or 'watching'
  page: 0,
  leds: [0, 0, 0, 0],
  button: false,       // the board's button (as the board last reported it)
  beeper: { hz: 0, duty: 0 },
  tones: [],           // beeper tones as they came: {t (device ms), hz, duty}
  ledTrace: [],        // the latest LED levels with their device times: {t, leds}
  audioFrames: 0,
  voicedFrames: 0,     // audio frames with sound in them
  voiceStarts: [],     // device ms of the first sample of each stretch of sound
  status: null,
  messages: [],
  sound: false,
};
window.panel = panel;

const $ = (id) => document.getElementById(id);
let ws = null;

// --- terminals ---------------------------------------------------------------
function makeTerminal(el, channel) {
  const term = new Terminal({ convertEol: false, cursorBlink: true, fontSize: 13, scrollback: 2000,
                              theme: { background: '#000000' } });
  const fit = new FitAddon.FitAddon();
  term.loadAddon(fit);
  term.open(el);
  fit.fit();
  window.addEventListener('resize', () => fit.fit());
  const enc = new TextEncoder();
  term.onData((data) => sendTyped(channel, enc.encode(data)));
  term.onBinary((data) => sendTyped(channel, Uint8Array.from(data, (c) => c.charCodeAt(0) & 0xff)));
  return term;
}

const terminals = window.Terminal ? {
  console: makeTerminal($('console-term'), CH_CONSOLE),
  usb: makeTerminal($('usb-term'), CH_USB),
} : null;
if (!terminals) note('the terminal widget is missing (run scripts/bootstrap and rebuild)');
window.terminals = terminals;

// The text a terminal shows, line by line (scroll-back included).
panel.text = (which) => {
  const buf = terminals[which].buffer.active;
  const lines = [];
  for (let i = 0; i < buf.length; ++i) lines.push(buf.getLine(i).translateToString(true));
  return lines.join('\n');
};

function sendTyped(channel, bytes) {
  if (!ws || ws.readyState !== WebSocket.OPEN) return;
  if (panel.role !== 'control') return note('watching: take the controls to type');
  const frame = new Uint8Array(bytes.length + 1);
  frame[0] = channel;
  frame.set(bytes, 1);
  ws.send(frame);
}

function sendJson(obj) {
  if (ws && ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify(obj));
}

// --- the button: held exactly as long as the mouse, finger or space bar holds it ---
let held = false;
function hold(down) {
  if (down === held) return;
  if (down && panel.role !== 'control') return note('watching: take the controls to press the button');
  held = down;
  $('button').setAttribute('aria-pressed', String(down));
  sendJson({ type: 'button', pressed: down, t: performance.now() });
}
const btn = $('button');
btn.addEventListener('pointerdown', (e) => { btn.setPointerCapture(e.pointerId); e.preventDefault(); hold(true); });
btn.addEventListener('pointerup', () => hold(false));
btn.addEventListener('pointercancel', () => hold(false));
btn.addEventListener('lostpointercapture', () => hold(false));
btn.addEventListener('contextmenu', (e) => e.preventDefault());
// The space bar holds the button anywhere on the page but in a terminal
// and on a switch the keyboard moved to (Tab): there it does what it does
// on any page (the cable switch toggles), so the switches work without a
// mouse. A switch clicked with the mouse leaves the space bar to the button.
let pointing = false, tabbedTo = null;
document.addEventListener('pointerdown', () => { pointing = true; }, true);
document.addEventListener('keydown', () => { pointing = false; }, true);
document.addEventListener('focusin', (e) => { tabbedTo = pointing ? null : e.target; });
const notForButton = (e) => e.target instanceof Element &&
  (e.target.closest('.term') || (e.target === tabbedTo && e.target !== btn));
document.addEventListener('keydown', (e) => {
  if (e.code !== 'Space' || notForButton(e)) return;
  e.preventDefault();
  if (!e.repeat) hold(true);
});
document.addEventListener('keyup', (e) => {
  if (e.code !== 'Space' || notForButton(e)) return;
  e.preventDefault();
  hold(false);
});
window.addEventListener('blur', () => hold(false));

// --- switches and controls ---------------------------------------------------
$('cable').addEventListener('change', (e) => {
  if (panel.role !== 'control') {
    e.target.checked = !e.target.checked;
    return note('watching: take the controls to change the cable');
  }
  sendJson({ type: 'cable', plugged: e.target.checked });
});
$('take').addEventListener('click', () => sendJson({ type: 'take' }));

// --- sound: the DAC's samples and the beeper's tones on the device's clock ------
let actx = null, master = null, beepGain = null, osc = null;
let anchor = null;  // audio-context time minus device time (s)

$('sound').addEventListener('click', () => {
  if (!actx) {
    actx = new AudioContext();
    master = actx.createGain();
    master.connect(actx.destination);
    beepGain = actx.createGain();
    beepGain.gain.value = 0;
    beepGain.connect(master);
    osc = actx.createOscillator();
    osc.type = 'square';
    osc.connect(beepGain);
    osc.start();
  }
  panel.sound = !panel.sound;
  actx.resume();
  master.gain.value = panel.sound ? 1 : 0;
  anchor = null;
  $('sound').textContent = panel.sound ? 'Sound on' : 'Sound off';
  $('sound').setAttribute('aria-pressed', String(panel.sound));
});

// When device time `t` (s) is to be heard; re-anchored when the stream
// falls behind or runs far ahead (a --fast board).
function playTime(t) {
  const now = actx.currentTime;
  if (anchor === null || anchor + t < now + 0.01 || anchor + t > now + 1.0) anchor = now + JITTER_S - t;
  return anchor + t;
}

let speakingUntil = 0, inVoice = false;
function onAudio(view) {
  const first = Number(view.getBigUint64(1, true));
  const n = view.byteLength - 9;
  panel.audioFrames++;
  let voiced = false;
  for (let i = 0; i < n; ++i) {
    const s = view.getUint8(9 + i);
    if (s < 0x7c || s > 0x84) { voiced = true; break; }
  }
  if (voiced) {
    panel.voicedFrames++;
    if (!inVoice) panel.voiceStarts.push(first * 1000 / AUDIO_RATE);
    speakingUntil = performance.now() + 300;
  }
  inVoice = voiced;
  if (!actx || !panel.sound || n === 0) return;
  const buf = actx.createBuffer(1, n, AUDIO_RATE);
  const data = buf.getChannelData(0);
  for (let i = 0; i < n; ++i) data[i] = (view.getUint8(9 + i) - 128) / 128;
  const src = actx.createBufferSource();
  src.buffer = buf;
  src.connect(master);
  src.start(playTime(first / AUDIO_RATE));
}

function onTones(tones) {
  for (const tone of tones) {
    panel.tones.push(tone);
    if (panel.tones.length > 200) panel.tones.shift();
    if (!actx || !panel.sound) continue;
    const when = Math.max(playTime(tone.t / 1000), actx.currentTime);
    if (tone.hz > 0) osc.frequency.setValueAtTime(tone.hz, when);
    beepGain.gain.setValueAtTime(tone.hz > 0 ? 0.12 : 0, when);
  }
}

// --- what the board sends --------------------------------------------------------
function fmtMs(ms) {
  const s = ms / 1000;
  return s < 60 ? s.toFixed(2) + ' s' : Math.floor(s / 60) + ' min ' + (s % 60).toFixed(1) + ' s';
}

function note(text) {
  panel.messages.push(text);
  if (panel.messages.length > 50) panel.messages.shift();
  $('message').textContent = text;
  const li = document.createElement('li');
  li.textContent = text;
  const list = $('messages');
  list.appendChild(li);
  while (list.children.length > 50) list.removeChild(list.firstChild);
  list.scrollTop = list.scrollHeight;
}

function showPanel(m) {
  panel.leds = m.leds;
  panel.ledTrace.push({ t: m.t, leds: m.leds });
  if (panel.ledTrace.length > 400) panel.ledTrace.shift();
  panel.button = m.button;
  panel.beeper = m.beeper;
  m.leds.forEach((level, i) => {
    const el = $('led' + (i + 1));
    el.dataset.level = level.toFixed(3);
    el.style.background = level > 0 ? `rgba(80, 255, 120, ${0.15 + 0.85 * level})` : '';
    el.style.boxShadow = level > 0 ? `0 0 ${4 + 14 * level}px ${2 + 4 * level}px rgba(80, 255, 120, ${0.6 * level})` : '';
  });
  $('beeper').classList.toggle('sounding', m.beeper.hz > 0);
  $('beeper-text').textContent = m.beeper.hz > 0 ? `beeper ${Math.round(m.beeper.hz)} Hz` : 'beeper off';
  onTones(m.tones);
  $('speaker').classList.toggle('speaking', performance.now() < speakingUntil);
}

function showStatus(s) {
  panel.status = s;
  $('rtc').textContent = s.rtc || '—';
  $('devtime').textContent = fmtMs(s.t);
  $('speed').textContent = s.speed > 0 ? s.speed.toFixed(2) + ' × real time' : '—';
  $('worst').textContent = s.worst_pass_us.toFixed(1) + ' µs';
  const u = s.usb;
  $('usb').textContent = (u.plugged ? 'plugged, ' + u.state : 'unplugged') + (u.port_open ? ', port open' : '');
  $('usbhost').textContent = u.host + (u.terminal ? '' : ' (the USB shell is the remote host\'s)');
  $('cable').checked = u.plugged;
}

function showRole(m) {
  panel.role = m.role;
  $('role').textContent = m.role === 'control' ? 'you hold the controls' : 'watching';
  $('role').className = 'badge ' + (m.role === 'control' ? 'ok' : '');
  $('take').hidden = m.role === 'control';
  $('pages').textContent = m.pages + (m.pages === 1 ? ' page' : ' pages');
  document.body.classList.toggle('watching', m.role !== 'control');
  $('button').disabled = m.role !== 'control';
  if (m.role !== 'control' && held) { held = false; $('button').setAttribute('aria-pressed', 'false'); }
}

function onText(m) {
  switch (m.type) {
    case 'hello':  // the scroll-back follows: the terminals start over
      panel.page = m.page;
      if (terminals) { terminals.console.reset(); terminals.usb.reset(); }
      break;
    case 'role': showRole(m); break;
    case 'panel': showPanel(m); break;
    case 'status': showStatus(m); break;
    case 'message': note(m.text); break;
    case 'refused': note(m.reason); break;
  }
}

function onBinary(buf) {
  const view = new DataView(buf);
  if (view.byteLength < 1) return;
  const ch = view.getUint8(0);
  const bytes = new Uint8Array(buf, 1);
  if (ch === CH_CONSOLE && terminals) terminals.console.write(bytes);
  else if (ch === CH_USB && terminals) terminals.usb.write(bytes);
  else if (ch === CH_AUDIO && view.byteLength >= 9) onAudio(view);
}

function connect() {
  ws = new WebSocket(`ws://${location.host}/ws`);
  ws.binaryType = 'arraybuffer';
  ws.onopen = () => {
    panel.connected = true;
    $('link').textContent = 'connected';
    $('link').className = 'badge ok';
  };
  ws.onmessage = (e) => (typeof e.data === 'string' ? onText(JSON.parse(e.data)) : onBinary(e.data));
  ws.onclose = (e) => {
    const was = panel.connected;
    panel.connected = false;
    held = false;
    $('link').textContent = 'disconnected' + (e.reason ? ': ' + e.reason : '');
    $('link').className = 'badge bad';
    if (was) note('connection closed (' + e.code + (e.reason ? ' ' + e.reason : '') + '); trying again');
    setTimeout(connect, 2000);
  };
}
connect();
