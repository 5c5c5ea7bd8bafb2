// The page as the program's main window: the four commands with their
// enabling rules, the six display lines and the progress, the end notices, the
// attention flash, the support log, and what the browser needs besides (its
// device permissions, a second tab, leaving the page during an update).

import { loadEngine } from './engine.js';
import { anyDialogOpen, runConfigForm, runStopDialog, showMessage } from './dialogs.js';
import { pageLanguage, pageTexts, stopTexts } from './texts.js';

const $ = (id) => document.getElementById(id);
const language = pageLanguage();
const texts = pageTexts(language);
const title = texts.title;
const storagePrefix = 'XR3300/R SystemUpdate Utility/';
// The name of the file whose update runs; still there at the next start when
// the page was left or reloaded during that update.
const underWayKey = storagePrefix + 'UpdateUnderWay';
const lockName = 'XR3300/R SystemUpdate Utility';

let engine = null;
let view = null;
let ended = false;
let starting = false;
let stopOpen = false;
let holding = false;
const notices = [];
let stopFlashing = null;
let stopTicking = null;
let renderQueued = false;
let logQueued = false;
let devicesChanged = null;
// The update files chosen, the last one under each name: the engine opens them by name.
const chosenFiles = new Map();

function storage(key, value) {
  try {
    if (value === undefined) return window.localStorage.getItem(key);
    if (value === null) window.localStorage.removeItem(key); else window.localStorage.setItem(key, value);
  } catch (e) {
    // a browser that keeps no site data
  }
  return null;
}

// ---- notes above the log: problems with the browser and their fixes

function note(key, text) {
  const box = $('notices');
  let item = box.querySelector(`[data-key="${key}"]`);
  if (text === null) {
    if (item) item.remove();
    return;
  }
  if (!item) {
    item = document.createElement('p');
    item.className = 'notice';
    item.dataset.key = key;
    const words = document.createElement('span');
    const close = document.createElement('button');
    close.type = 'button';
    close.textContent = texts.close;
    close.onclick = () => item.remove();
    item.append(words, close);
    box.append(item);
  }
  item.querySelector('span').textContent = text;
}

// ---- what the engine tells the page

const page = {
  language,
  textout(line, text) {
    const element = $('line' + line);
    if (element) element.textContent = text;
    queueRender();
  },
  // Posted: taken up once the engine call under way has returned.
  notice(id, lparam) {
    notices.push([id, lparam]);
    queueMicrotask(takeNotices);
  },
  message(text, caption) { return showMessage(text, caption); },
  progress() { queueRender(); },
  file(name) { return chosenFiles.get(name); },
  // A granted serial port was plugged in, a MIDI device came or went, the log grew.
  portsChanged() { queueRender(); },
  devicesChanged() {
    if (devicesChanged) devicesChanged();
    queueRender();
  },
  logChanged() { showLog(); },
};

function hasAttention() { return document.visibilityState === 'visible' && document.hasFocus(); }

function takeNotices() {
  if (holding || engine === null) return;
  while (notices.length > 0) {
    const [id, lparam] = notices.shift();
    const startFlash = engine.now('xr_web_notice', id, lparam, hasAttention() ? 1 : 0);
    if (id === 208) transferEnded(startFlash);
  }
  render();
  showLog();
}

// The user elsewhere (another tab, another program) is called back: the tab's
// title blinks with how the update ended, until the page has the focus again.
function transferEnded(startFlash) {
  storage(underWayKey, null);
  tellAbort();
  if (hasAttention()) return;
  const ended = engine.json('xr_web_view').outcome.word === 'complete' ? texts.finished : texts.unfinished;
  const flashed = `\u25cf ${ended} - ${title}`;
  if (startFlash && stopFlashing === null) {
    stopFlashing = engine.every(500, () => {
      document.title = engine.now('xr_web_flash_tick') ? flashed : title;
    });
  }
  document.title = flashed;
}

// An abort is told as the command line tells it: after which packet, and
// that the instrument may wait in update mode.
function tellAbort() {
  const now = engine.json('xr_web_view');
  if (now.outcome.word !== 'aborted') {
    note('abort', null);
    return;
  }
  const progress = now.progress;
  note('abort', progress.total > 0 ? texts.abortedAfter(progress.done, progress.total)
                : now.outcome.set_mode_sent === 1 ? texts.abortedAfterSetMode : texts.abortedBefore);
}

function attentionBack() {
  if (engine === null || !hasAttention()) return;
  if (engine.now('xr_web_focus_gained')) {
    if (stopFlashing) stopFlashing();
    stopFlashing = null;
    document.title = title;
  }
}

// ---- showing the state

function queueRender() {
  if (renderQueued) return;
  renderQueued = true;
  queueMicrotask(() => {
    renderQueued = false;
    render();
  });
}

function linkText() {
  const link = view.link;
  if (link.devtype === 0) {
    const what = engine.text('xr_web_serial_describe', link.port);
    return texts.linkSerial(`COM${link.port}`, what || texts.noPort, link.baud);
  }
  return texts.linkMidi(link.out, link.in, link.rate);
}

function render() {
  if (engine === null) return;
  if (!ended) view = engine.json('xr_web_view');
  const busy = ended || starting;
  $('cmd-exit').disabled = ended;
  $('cmd-update').disabled = busy || view.menu.update !== 1;
  $('cmd-stop').disabled = ended || view.menu.stop !== 1;
  $('cmd-config').disabled = busy || view.menu.config !== 1;
  const progress = view.progress;
  $('progress').hidden = progress.active !== 1;
  const percent = progress.total > 0 ? Math.round(100 * progress.done / progress.total) : 0;
  $('progress-fill').style.width = `${percent}%`;
  $('progress-bar').setAttribute('aria-valuenow', String(percent));
  $('progress-text').textContent = progress.text;
  $('link').textContent = linkText();
}

// The log grows at its end only: what came since the last look is added as a
// block of its own, so the browser lays out only that block, not the whole log
// again. While an update runs, at most twice a second; else at once.
let logShown = 0;  // bytes
let logTimer = 0;
function showLog() {
  if (engine === null) return;
  const idle = engine.now('xr_web_idle') === 1;
  if (logQueued && !idle) return;
  clearTimeout(logTimer);
  logQueued = true;
  logTimer = setTimeout(() => {
    logQueued = false;
    const box = $('log-text');
    const atEnd = box.scrollTop + box.clientHeight >= box.scrollHeight - 4;
    const size = engine.now('xr_web_log_size');
    if (size < logShown) {
      box.textContent = '';
      logShown = 0;
    }
    if (size > logShown) {
      const part = document.createElement('span');
      part.className = 'log-part';
      part.textContent = engine.text('xr_web_log_text', logShown);
      box.append(part);
    }
    logShown = size;
    if (atEnd) box.scrollTop = box.scrollHeight;
  }, idle ? 0 : 500);
}

// ---- the commands

async function startTransfer(file) {
  if (ended || starting || stopOpen || anyDialogOpen() || !engine.now('xr_web_idle') || view.tx === 1) {
    note('busy', texts.dropBusy);
    return;
  }
  note('busy', null);
  starting = true;
  render();
  chosenFiles.set(file.name, file);
  let started = 0;
  try {
    started = await engine.wait('xr_web_start', file.name);
  } finally {
    starting = false;
  }
  if (started) {
    storage(underWayKey, file.name);
  } else {
    explainLinkFailure();
  }
  render();
}

// The link did not open: the message box said so in the program's words; this
// names the fix.
function explainLinkFailure() {
  if (view.link.devtype === 0) {
    const problem = engine.json('xr_web_serial_problem');
    if (problem.kind === 0) return;
    note('link', problem.kind === 1 ? texts.noPortChosen
                                    : texts.portBusy(`COM${problem.port}`, problem.message));
  } else if (engine.midiState() === 'refused') {
    note('link', texts.midiRefused);
  } else if (engine.midiState() !== 'granted' || view.link.out_id < 0 || view.link.in_id < 0) {
    note('link', texts.noMidiDevices);
  } else {
    note('link', texts.midiNotOpened);
  }
}

async function stopCommand() {
  if (stopOpen) return -1;
  stopOpen = true;
  let result = 0;
  try {
    result = await runStopDialog(engine, stopTexts(language), (hold) => {
      holding = hold;
      if (!hold) queueMicrotask(takeNotices);
    });
  } finally {
    stopOpen = false;
  }
  render();
  return result;
}

async function configCommand() {
  if (starting || stopOpen || anyDialogOpen()) return;
  // Ports granted or plugged in since the page started are looked at again.
  await engine.wait('xr_web_probe_ports');
  await runConfigForm(engine, texts, {
    describePort: (n) => engine.text('xr_web_serial_describe', n),
    serialAvailable: () => engine.now('xr_web_serial_available') === 1,
    midiAvailable: () => engine.now('xr_web_midi_available') === 1,
    midiState: () => engine.midiState(),
    choosePort: () => engine.wait('xr_web_serial_request'),
    allowMidi: () => engine.midiRequest(),
    onDevicesChanged: (fn) => { devicesChanged = fn; },
  });
  render();
}

async function exitCommand() {
  if (ended || starting) return;
  if (!engine.now('xr_web_idle')) {
    // As closing the window does: the stop dialog first.
    if (await stopCommand() !== 1) return;
  }
  endPage();
}

function endPage() {
  if (ended) return;
  const unsaved = engine.now('xr_web_close');
  ended = true;
  if (stopTicking) stopTicking();
  $('ended-text').textContent = unsaved > 0 ? texts.endedUnsaved : texts.ended;
  $('ended').hidden = false;
  render();
  $('start-again').focus();
}

// ---- the browser

function browserProblems() {
  if (!window.isSecureContext) return texts.insecure;
  const serial = 'serial' in navigator;
  const midi = typeof navigator.requestMIDIAccess === 'function';
  if (!serial && !midi) return texts.noApis;
  if (!serial) note('apis', texts.noSerial);
  if (!midi) note('apis', texts.noMidi);
  return null;
}

// One copy of the page at a time talks to the instrument: a second tab waits
// until the first has gone.
function oneCopy() {
  if (!navigator.locks) return Promise.resolve();
  return new Promise((resolve) => {
    let granted = false;
    navigator.locks.request(lockName, () => {
      granted = true;
      note('copy', null);
      resolve();
      return new Promise(() => {});  // held for as long as the page lives
    });
    setTimeout(() => { if (!granted) note('copy', texts.secondCopy); }, 1000);
  });
}

// MIDI access is asked for at the start only when the browser has granted it
// before or the settings use the MIDI link; else when the user asks in Config.
async function prepareMidi() {
  if (engine.now('xr_web_midi_available') !== 1) return;
  let ask = storage(storagePrefix + 'DeviceType') === '1';
  try {
    const status = await navigator.permissions.query({name: 'midi', sysex: true});
    if (status.state === 'granted') ask = true;
    if (status.state === 'denied') note('midi', texts.midiRefused);
  } catch (e) {
    // no permission to look at: ask as the settings say
  }
  if (ask && await engine.midiRequest() === 'refused') note('midi', texts.midiRefused);
}

function applyTexts() {
  document.documentElement.lang = language;
  document.title = title;
  $('menu').setAttribute('aria-label', texts.menu);
  $('display').setAttribute('aria-label', texts.display);
  $('progress-bar').setAttribute('aria-label', texts.progress);
  $('hint').textContent = texts.dropHint;
  $('log-title').textContent = texts.logTitle;
  $('log-intro').textContent = texts.logIntro;
  $('log-download').textContent = texts.logDownload;
  $('start-again').textContent = texts.startAgain;
  $('port-choose').textContent = texts.choosePort;
  $('midi-allow').textContent = texts.allowMidi;
  $('link').textContent = texts.loading;
}

function wireCommands() {
  $('cmd-exit').onclick = exitCommand;
  $('cmd-update').onclick = () => $('file-input').click();
  $('cmd-stop').onclick = stopCommand;
  $('cmd-config').onclick = configCommand;
  $('file-input').onchange = () => {
    const input = $('file-input');
    const file = input.files.length > 0 ? input.files[0] : null;
    input.value = '';  // the same file may be chosen again
    if (file !== null) startTransfer(file);
  };
  $('start-again').onclick = () => window.location.reload();
  $('log-download').onclick = () => {
    const bytes = engine.logBytes();
    const link = document.createElement('a');
    link.href = URL.createObjectURL(new Blob([bytes], {type: 'text/plain'}));
    link.download = 'vup_log.txt';
    link.click();
    setTimeout(() => URL.revokeObjectURL(link.href), 10000);
  };

  const area = $('window');
  area.addEventListener('dragover', (event) => {
    if (!event.dataTransfer || !Array.from(event.dataTransfer.types).includes('Files')) return;
    event.preventDefault();
    area.classList.add('dropping');
  });
  area.addEventListener('dragleave', () => area.classList.remove('dropping'));
  area.addEventListener('drop', (event) => {
    event.preventDefault();
    area.classList.remove('dropping');
    const files = event.dataTransfer ? event.dataTransfer.files : [];
    if (files.length !== 1) {
      note('busy', texts.dropOne);
      return;
    }
    if (engine !== null) startTransfer(files[0]);
  });

  window.addEventListener('focus', attentionBack);
  document.addEventListener('visibilitychange', attentionBack);
  window.addEventListener('beforeunload', (event) => {
    if (engine === null || ended || engine.now('xr_web_idle')) return;
    event.preventDefault();
    event.returnValue = texts.leaveWarning;
  });
  // Leaving the page ends the program: its settings are saved as at Exit.
  window.addEventListener('pagehide', () => { if (engine !== null && !ended) engine.now('xr_web_close'); });
  window.addEventListener('pageshow', (event) => { if (event.persisted) window.location.reload(); });
}

async function boot() {
  $('not-started').remove();
  applyTexts();
  wireCommands();
  const unfinished = storage(underWayKey);
  if (unfinished !== null) note('unfinished', texts.lastRunUnfinished(unfinished));
  const problem = browserProblems();
  if (problem !== null) {
    note('browser', problem);
    $('link').textContent = ' ';
    return;
  }
  await oneCopy();
  try {
    engine = await loadEngine(page);
  } catch (e) {
    note('engine', texts.engineFailed);
    $('link').textContent = ' ';
    return;
  }
  showLog();
  await engine.wait('xr_web_serial_refresh');
  await prepareMidi();
  if (!await engine.wait('xr_web_startup')) {
    note('engine', texts.engineFailed);
    return;
  }
  stopTicking = engine.every(100, () => { if (!ended) engine.now('xr_web_tick'); });
  render();
  document.body.dataset.ready = '1';
}

boot();
