// The board's page: draws what the server says the board is doing, and sends
// what the person does (keys, buttons, run control) back as short commands.
'use strict';

const buttonKeys = { ArrowUp: 'up', ArrowDown: 'down', ArrowLeft: 'left', ArrowRight: 'right' };
const latched = new Set();
// How long a register the firmware wrote stays lit, fading: as in board.css.
const writtenFade = 2000;
let socket = null;
let terminal = null;
let pendingOutput = '';  // console output that came before the terminal was ready
// Why the board stands still, said until it runs again; why keltosim ended
// (main returned, and the exit status), said for good.
let stopNotice = false;
let stopReason = '';
let mainReturned = false;
let ended = false;
let peripherals = [];
let shownPeripheral = null;
const writtenAt = new Map();  // "PERIPHERAL REGISTER": when the page heard of the write

function showNotice(text, stop = false) {
  document.getElementById('notice').textContent = text;
  stopNotice = stop;
}

function send(command) {
  if (socket && socket.readyState === WebSocket.OPEN) socket.send(command);
}

// The server takes messages of up to 4096 bytes: a long paste goes in
// parts, each at most 1000 characters of up to 4 bytes.
function typeText(text) {
  const characters = Array.from(text);
  for (let start = 0; start < characters.length; start += 1000)
    send(`type ${characters.slice(start, start + 1000).join('')}`);
}

function pressButton(name, held) {
  send(`${held ? 'press' : 'release'} ${name}`);
}

function showBacklight(percent) {
  const glow = document.getElementById('lcd-glow');
  const text = document.getElementById('backlight-text');
  // Never set: lit, at whatever brightness the panel's idle input gives.
  const level = percent === null ? 0.6 : percent / 100;
  glow.setAttribute('opacity', String(level));
  // The panel itself: dark glass, lit towards pale blue.
  const mix = (dark, lit) => Math.round(dark + (lit - dark) * level);
  document.getElementById('lcd').style.fill = `rgb(${mix(11, 150)}, ${mix(15, 200)}, ${mix(12, 235)})`;
  glow.dataset.percent = percent === null ? 'unset' : String(percent);
  text.textContent = percent === null ? 'lit, brightness never set' : `${percent} %`;
  fitText(text, Number(document.getElementById('lcd').getAttribute('width')) - 12);
}

// Narrows a text to the width it has, rather than letting it run out.
function fitText(text, width) {
  text.removeAttribute('textLength');
  if (text.getComputedTextLength() > width) {
    text.setAttribute('textLength', String(width));
    text.setAttribute('lengthAdjust', 'spacingAndGlyphs');
  }
}

function showPins(pins) {
  const list = document.getElementById('pins');
  list.replaceChildren(...pins.map(pin => {
    const item = document.createElement('li');
    item.textContent = pin.text;
    if (pin.level) item.className = pin.level;
    return item;
  }));
}

function showState(state) {
  document.getElementById('title').textContent = `keltosim: ${state.board} (${state.chip})`;
  document.getElementById('chip-name').textContent = state.chip;
  // After main returned, the board stands still only for a debugger that
  // may start it again; otherwise keltosim is ending.
  if (mainReturned && state.paused) mainReturned = false;
  if (!ended && !mainReturned) {
    document.getElementById('run-state').textContent = state.paused ? 'paused' : 'running';
    if (!state.paused && stopNotice) {
      showNotice('');
      stopReason = '';
    }
  }
  const paced = state.paced ? ' paced to the host' : '';
  document.getElementById('clock').textContent = `${state.time.toFixed(3)} s, ${state.clock} clock${paced}`;
  for (const element of document.querySelectorAll('.button')) {
    const name = element.dataset.button;
    element.classList.toggle('held', state.buttons[name]);
    element.classList.toggle('latched', latched.has(name));
  }
  showBacklight(state.backlight);
  showPins(state.pins);
}

// Always the newest lines in sight, whatever came before (a reset's screen).
function showConsole(bytes) {
  if (!terminal) {
    pendingOutput += bytes;
    return;
  }
  terminal.write(bytes);
  terminal.scrollToBottom();
}

function cell(text) {
  const element = document.createElement('td');
  element.textContent = text;
  return element;
}

function recentlyWritten(key, now) {
  return writtenAt.has(key) && now - writtenAt.get(key) < writtenFade;
}

// One tab per peripheral, made again only when the peripherals change, so
// that an update never takes a tab from under the pointer.
function drawTabs(now) {
  const tabs = document.getElementById('peripherals');
  const names = peripherals.map(peripheral => peripheral.name);
  if (tabs.dataset.names !== names.join('\n')) {
    tabs.dataset.names = names.join('\n');
    tabs.replaceChildren(...names.map(name => {
      const tab = document.createElement('button');
      tab.type = 'button';
      tab.textContent = name;
      tab.addEventListener('click', () => { shownPeripheral = name; drawRegisters(); });
      return tab;
    }));
  }
  peripherals.forEach((peripheral, i) => {
    tabs.children[i].classList.toggle('selected', peripheral.name === shownPeripheral);
    tabs.children[i].classList.toggle('written',
      peripheral.registers.some(reg => recentlyWritten(`${peripheral.name} ${reg.name}`, now)));
  });
}

// The chosen peripheral's registers; one written lately is lit, its fade
// carried on from where it was when the table is drawn again.
function drawRegisters() {
  const now = performance.now();
  drawTabs(now);
  const peripheral = peripherals.find(p => p.name === shownPeripheral);
  document.querySelector('#registers tbody').replaceChildren(...(peripheral ? peripheral.registers : []).map(reg => {
    const row = document.createElement('tr');
    row.dataset.register = reg.name;
    row.append(cell(reg.name), cell(reg.value ?? '—'), cell(reg.words));
    const key = `${peripheral.name} ${reg.name}`;
    if (recentlyWritten(key, now)) {
      row.className = 'written';
      row.style.animationDelay = `-${Math.round(now - writtenAt.get(key))}ms`;
    }
    return row;
  }));
}

function showRegisters(message) {
  const now = performance.now();
  peripherals = message.peripherals;
  for (const peripheral of peripherals)
    for (const reg of peripheral.registers)
      if (reg.written) writtenAt.set(`${peripheral.name} ${reg.name}`, now);
  if (!peripherals.some(p => p.name === shownPeripheral)) shownPeripheral = peripherals.length ? peripherals[0].name : null;
  drawRegisters();
}

function receive(event) {
  const message = JSON.parse(event.data);
  if (message.t === 'console') showConsole(message.data);
  else if (message.t === 'state') showState(message);
  else if (message.t === 'registers') showRegisters(message);
  else if (message.t === 'halted') {
    const exited = message.kind === 'exited';
    stopReason = exited ? `main returned ${message.value}` : [message.kind, message.message].filter(Boolean).join(' ');
    if (exited) {
      mainReturned = true;
      document.getElementById('run-state').textContent = 'stopped';
    }
    showNotice(`The board stopped: ${stopReason}`, true);
  } else if (message.t === 'ended') {
    ended = true;
    document.getElementById('run-state').textContent = 'ended';
    const why = stopReason ? `The board stopped: ${stopReason}. ` : message.why ? `${message.why}. ` : '';
    showNotice(`${why}keltosim ended with exit status ${message.status}.`);
  } else if (message.t === 'refused') {
    showNotice(`keltosim refused a request: ${message.why}`);
  } else if (message.t === 'notice') {
    showNotice(`keltosim: ${message.text}`);
  }
}

function connect() {
  socket = new WebSocket(`ws://${location.host}/ws`);
  socket.onmessage = receive;
  socket.onopen = () => showNotice('');
  socket.onclose = () => {
    if (ended || mainReturned) return;  // keltosim said why; that stays
    document.getElementById('run-state').textContent = 'disconnected';
    showNotice('keltosim is not running any more (or not reachable).');
  };
}

function wireButtons() {
  for (const element of document.querySelectorAll('.button')) {
    const name = element.dataset.button;
    element.addEventListener('pointerdown', event => {
      event.preventDefault();
      element.setPointerCapture(event.pointerId);
      // Shift-click latches a button so that two can be held with a mouse.
      if (event.shiftKey) {
        if (latched.has(name)) latched.delete(name); else latched.add(name);
        pressButton(name, latched.has(name));
      } else if (!latched.has(name)) {
        pressButton(name, true);
      }
    });
    const letGo = () => { if (!latched.has(name)) pressButton(name, false); };
    element.addEventListener('pointerup', letGo);
    element.addEventListener('pointercancel', letGo);
  }
  const terminalHasFocus = () => document.getElementById('terminal').contains(document.activeElement);
  for (const [type, held] of [['keydown', true], ['keyup', false]]) {
    document.addEventListener(type, event => {
      const name = buttonKeys[event.key];
      if (!name || terminalHasFocus() || event.repeat) return;
      event.preventDefault();
      pressButton(name, held);
    });
  }
  for (const command of ['pause', 'resume', 'reset'])
    document.getElementById(command).addEventListener('click', () => send(command));
}

async function openTerminal() {
  const Terminal = await loadCommonJs('/xterm/xterm.js');
  // A little smaller than xterm's own size, to leave the registers room.
  terminal = new Terminal({ cols: 80, rows: 24, fontSize: 14, convertEol: true, rendererType: 'dom' });
  terminal.open(document.getElementById('terminal'));
  terminal.on('data', typeText);
  terminal.write(pendingOutput);
  pendingOutput = '';
}

wireButtons();
connect();
openTerminal().catch(error => {
  showNotice(`The terminal did not load: ${error.message}`);
});
