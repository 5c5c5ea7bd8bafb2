// The page's modal dialogs: the message box, the stop dialog and the
// configuration form. Each is a <dialog> shown with showModal(): it keeps the
// keyboard inside, and Esc stands for its cancel button.

const $ = (id) => document.getElementById(id);

// Runs `dialog` modally until dialog.settle(value) is called; Esc calls
// onEscape, which may settle it or leave it open.
function runModal(dialog, onEscape) {
  return new Promise((resolve) => {
    let done = false;
    const cancel = (event) => {
      event.preventDefault();
      onEscape();
    };
    // A browser may close a dialog on a repeated Esc whatever the page says:
    // that is an Esc too, and a dialog that must stay is shown again.
    // A close event that comes when the dialog is open again is an earlier
    // showing's (the box before this one, closed by its OK): not this one's Esc.
    const closed = () => {
      if (done || dialog.open) return;
      onEscape();
      if (!done) dialog.showModal();
    };
    dialog.settle = (value) => {
      if (done) return;
      done = true;
      dialog.removeEventListener('cancel', cancel);
      dialog.removeEventListener('close', closed);
      if (dialog.open) dialog.close();
      resolve(value);
    };
    dialog.addEventListener('cancel', cancel);
    dialog.addEventListener('close', closed);
    dialog.showModal();
  });
}

// ---- message box

const messages = [];
let messageShowing = false;

// A message with an OK button; resolves when it has been pressed. Messages
// asked for while one is shown wait their turn.
export function showMessage(text, caption) {
  return new Promise((resolve) => {
    messages.push({text, caption, resolve});
    if (!messageShowing) nextMessage();
  });
}

async function nextMessage() {
  const item = messages.shift();
  if (item === undefined) {
    messageShowing = false;
    return;
  }
  messageShowing = true;
  const dialog = $('message-dialog');
  // A box without a caption shows the platform's default title, which is "Error".
  $('message-caption').textContent = item.caption === null ? 'Error' : item.caption;
  $('message-text').textContent = item.text;
  const ok = $('message-ok');
  const shown = runModal(dialog, () => dialog.settle());
  ok.onclick = () => dialog.settle();
  ok.focus();
  await shown;
  item.resolve();
  nextMessage();
}

export function messageOpen() { return messageShowing; }

// ---- stop dialog

// The stop dialog. engine: the page's engine; holdNotices(true/false) keeps the
// end notice back during the Abort wait, as the program's blocked wait does.
// Resolves with 1 after "Abort" (the transfer has ended) and 0 after "Continue".
export async function runStopDialog(engine, texts, holdNotices) {
  const dialog = $('stop-dialog');
  $('stop-caption').textContent = texts.caption;
  texts.lines.forEach((line, i) => { $('stop-line' + i).textContent = line; });
  const go = $('stop-continue');
  const abort = $('stop-abort');
  go.textContent = texts.continue;
  abort.textContent = texts.abort;
  go.disabled = false;
  abort.disabled = false;
  let waiting = false;
  engine.now('xr_web_stop_opened');
  const shown = runModal(dialog, () => { if (!waiting) dialog.settle(0); });
  go.onclick = () => dialog.settle(0);
  abort.onclick = async () => {
    waiting = true;
    go.disabled = true;
    abort.disabled = true;
    holdNotices(true);
    engine.now('xr_web_stop_request');
    // Every end of the transfer sets the idle state, so this wait ends.
    while (!engine.now('xr_web_idle')) await engine.delay(2);
    dialog.settle(1);
  };
  go.focus();
  const result = await shown;
  if (result === 1) {
    engine.now('xr_web_stop_aborted');
    holdNotices(false);
  } else {
    engine.now('xr_web_stop_continue');
  }
  return result;
}

// ---- configuration form

// The form's controls by id, and the ids the link rules enable and disable.
const linkControls = [103, 104, 105, 106, 114, 115, 108, 109, 110, 112, 111, 113, 116, 117];

function fillList(select, names, selection) {
  select.replaceChildren(...names.map((name, i) => {
    const option = document.createElement('option');
    option.value = String(i);
    option.textContent = name;
    return option;
  }));
  select.selectedIndex = selection;
}

function selection(select) { return select.selectedIndex; }

// The configuration form. pageTexts: the page's texts; ports() describes COM1..4.
// Resolves with 1 after OK, 0 after Cancel.
export async function runConfigForm(engine, pageTexts, hooks) {
  const dialog = $('config-dialog');
  const outList = $('c110');
  const inList = $('c111');
  const rateList = $('c116');
  const note = $('config-note');
  note.textContent = '';
  $('rate-note').textContent = pageTexts.slowRates;
  let view = engine.json('xr_web_config_open');

  const render = () => {
    $('c101').checked = view.link === 101;
    $('c102').checked = view.link === 102;
    $('c102').disabled = !view.midi_usable;
    for (let id = 103; id <= 106; ++id) $('c' + id).checked = view.port === id;
    $('c108').checked = view.baud === 108;
    $('c109').checked = view.baud === 109;
    $('c107').checked = view.skipver === 1;
    fillList(outList, view.out.names, view.out.selection);
    fillList(inList, view.in.names, view.in.selection);
    fillList(rateList, view.rates, view.rate);
    for (const id of linkControls) {
      const control = $('c' + id);
      const enabled = view.enabled[String(id)] === 1;
      if ('disabled' in control && control.tagName !== 'LABEL') control.disabled = !enabled;
      control.classList.toggle('off', !enabled);
    }
    for (let n = 1; n <= 4; ++n) {
      const what = hooks.describePort(n);
      $('what' + n).textContent = what ? `(${what})` : pageTexts.noPort;
    }
    $('port-choose').disabled = view.link !== 101 || !hooks.serialAvailable();
    $('midi-allow').hidden = !hooks.midiAvailable() || hooks.midiState() === 'granted';
  };

  const command = (id) => {
    view = engine.json('xr_web_config_command', id, selection(outList), selection(inList), selection(rateList));
    render();
    if (view.result === 1) dialog.settle(1);
    if (view.result === 2) dialog.settle(0);
  };

  dialog.querySelectorAll('input[data-id], button[data-id]').forEach((control) => {
    // The form sets every check itself after the command, as the program's
    // manual buttons have it.
    control.onclick = () => command(Number(control.dataset.id));
  });
  $('port-choose').onclick = async () => {
    note.textContent = '';
    // The COM number chosen; 0 when the user chose none, -1 when the browser refused.
    const chosen = await hooks.choosePort();
    if (chosen > 0) {
      await engine.wait('xr_web_probe_ports');
    } else {
      note.textContent = chosen === 0 ? pageTexts.chooserCancelled : pageTexts.serialRefused;
    }
    view = engine.json('xr_web_config_devices');
    render();
  };
  $('midi-allow').onclick = async () => {
    note.textContent = '';
    const state = await hooks.allowMidi();
    if (state === 'refused') note.textContent = pageTexts.midiRefused;
    view = engine.json('xr_web_config_devices');
    render();
  };
  hooks.onDevicesChanged(() => {
    view = engine.json('xr_web_config_devices');
    render();
  });

  // Enter is OK from any field, as in the program's dialogs; on a button it
  // presses that button.
  dialog.onkeydown = (event) => {
    if (event.key !== 'Enter' || event.isComposing || event.target.tagName === 'BUTTON') return;
    event.preventDefault();
    command(1);
  };
  render();
  const shown = runModal(dialog, () => command(2));
  $('c1').focus();
  const result = await shown;
  hooks.onDevicesChanged(null);
  return result;
}

export function anyDialogOpen() {
  return ['message-dialog', 'stop-dialog', 'config-dialog'].some((id) => $(id).open);
}
