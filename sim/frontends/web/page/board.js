// The board's page: draws what the server says the board is doing, and sends
// what the person does (keys, buttons, run control) back as short commands.
'use strict';

const buttonKeys = { ArrowUp: 'up', ArrowDown: 'down', ArrowLeft: 'left', ArrowRight: 'right' };
const latched = new Set();
let socket = null;
let terminal = null;
let pendingOutput = '';  // console output that came before the terminal was ready

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
  document.getElementById('run-state').textContent = state.paused ? 'paused' : 'running';
  document.getElementById('clock').textContent = `${state.time.toFixed(3)} s, ${state.clock} clock`;
  for (const element of document.querySelectorAll('.button')) {
    const name = element.dataset.button;
    element.classList.toggle('held', state.buttons[name]);
    element.classList.toggle('latched', latched.has(name));
  }
  showBacklight(state.backlight);
  showPins(state.pins);
}

function showConsole(bytes) {
  if (terminal) terminal.write(bytes);
  else pendingOutput += bytes;
}

function receive(event) {
  const message = JSON.parse(event.data);
  if (message.t === 'console') showConsole(message.data);
  else if (message.t === 'state') showState(message);
  else if (message.t === 'halted') {
    const notice = message.kind === 'exited' ? `main returned ${message.value}` : `${message.kind} ${message.message}`;
    document.getElementById('notice').textContent = `The board stopped: ${notice}`;
  } else if (message.t === 'refused') {
    document.getElementById('notice').textContent = `keltosim refused a request: ${message.why}`;
  }
}

function connect() {
  socket = new WebSocket(`ws://${location.host}/ws`);
  socket.onmessage = receive;
  socket.onopen = () => { document.getElementById('notice').textContent = ''; };
  socket.onclose = () => {
    document.getElementById('run-state').textContent = 'disconnected';
    document.getElementById('notice').textContent = 'keltosim is not running any more (or not reachable).';
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
  terminal = new Terminal({ cols: 80, rows: 24, convertEol: true, rendererType: 'dom' });
  terminal.open(document.getElementById('terminal'));
  terminal.on('data', typeText);
  terminal.write(pendingOutput);
  pendingOutput = '';
}

wireButtons();
connect();
openTerminal().catch(error => {
  document.getElementById('notice').textContent = `The terminal did not load: ${error.message}`;
});
