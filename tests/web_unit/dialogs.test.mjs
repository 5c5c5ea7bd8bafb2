// The page's dialogs (ui/web/dialogs.js) on a stand-in document: the keys'
// rules (Enter is OK from a field, Esc is the cancel button, a dialog that must
// stay is shown again), the stop dialog's two ways out, the message queue, and
// what the form says after the port chooser.
import assert from 'node:assert/strict';
import {beforeEach, describe, test} from 'node:test';

// ---- a document of the elements the dialogs use

class StandIn extends EventTarget {
  constructor(id, tagName) {
    super();
    this.id = id;
    this.tagName = tagName;
    this.textContent = '';
    this.disabled = false;
    this.hidden = false;
    this.checked = false;
    this.dataset = {};
    this.options = [];
    this.selectedIndex = -1;
    this.classList = {toggle: () => {}};
    this.open = false;
  }
  focus() { globalThis.document.activeElement = this; }
  replaceChildren(...children) { this.options = children; }
  showModal() {
    assert.ok(!this.open, `${this.id} shown twice`);
    this.open = true;
  }
  // As a browser does: the close event comes as a task of its own.
  close() {
    if (!this.open) return;
    this.open = false;
    setTimeout(() => this.dispatchEvent(new Event('close')), 0);
  }
  // Esc: the cancel event, which the page may refuse; a browser may close the
  // dialog all the same on a repeated one.
  escape({forced = false} = {}) {
    this.dispatchEvent(new Event('cancel', {cancelable: true}));
    if (forced) this.close();
  }
}

const formControls = [['c101', 'INPUT'], ['c102', 'INPUT'], ['c103', 'INPUT'], ['c104', 'INPUT'],
  ['c105', 'INPUT'], ['c106', 'INPUT'], ['c107', 'INPUT'], ['c108', 'INPUT'], ['c109', 'INPUT'],
  ['c110', 'SELECT'], ['c111', 'SELECT'], ['c116', 'SELECT'], ['c1', 'BUTTON'], ['c2', 'BUTTON']];
let elements;

globalThis.document = {
  activeElement: null,
  getElementById: (id) => {
    if (!elements.has(id)) elements.set(id, new StandIn(id, id.startsWith('c1') && id.length === 4 ? 'LABEL' : 'DIV'));
    return elements.get(id);
  },
  createElement: (tag) => new StandIn('', tag.toUpperCase()),
};

function freshDocument() {
  elements = new Map();
  for (const id of ['message-dialog', 'stop-dialog', 'config-dialog']) elements.set(id, new StandIn(id, 'DIALOG'));
  for (const [id, tag] of formControls) {
    const control = new StandIn(id, tag);
    control.dataset.id = id.slice(1);
    elements.set(id, control);
  }
  elements.get('config-dialog').querySelectorAll = () => formControls.map(([id]) => elements.get(id));
}

const $ = (id) => globalThis.document.getElementById(id);
const tick = () => new Promise((resolve) => setTimeout(resolve, 0));
const enter = (target) => ({key: 'Enter', isComposing: false, target, preventDefault() { this.prevented = true; }});

const {anyDialogOpen, runConfigForm, runStopDialog, showMessage} = await import('../../ui/web/dialogs.js');

// ---- the engine as the dialogs see it: each call noted, the form's answers given

function standInEngine({results = {}, idleAfter = 0} = {}) {
  const calls = [];
  let idleLooks = 0;
  const view = (result) => ({result, link: 101, port: 103, baud: 108, skipver: 0, midi_usable: 1,
    out: {names: ['Out'], selection: 0}, in: {names: ['In'], selection: 0}, rates: ['a', 'b', 'c', 'd'],
    rate: 0, enabled: {}});
  return {
    calls,
    json(name, ...args) {
      calls.push([name, ...args]);
      return view(name === 'xr_web_config_command' ? (results[args[0]] ?? 0) : 0);
    },
    now(name) {
      calls.push([name]);
      if (name === 'xr_web_idle') return ++idleLooks > idleAfter ? 1 : 0;
      return 0;
    },
    async wait(name) { calls.push([name]); return 1; },
    delay: (ms) => new Promise((resolve) => setTimeout(resolve, ms)),
    named: (name) => calls.filter((call) => call[0] === name),
  };
}

const pageTexts = {slowRates: '', noPort: '(none)', chooserCancelled: 'cancelled', serialRefused: 'refused',
  midiRefused: 'midi refused'};
function hooks(extra = {}) {
  return {describePort: () => '', serialAvailable: () => true, midiAvailable: () => true,
    midiState: () => 'granted', choosePort: async () => 0, allowMidi: async () => 'granted',
    onDevicesChanged: () => {}, ...extra};
}
const stopTexts = {caption: 'Stop transfer', lines: ['a', 'b', 'c'], continue: 'Continue', abort: 'Abort'};

beforeEach(freshDocument);

describe('the configuration form', () => {
  test('Enter in a field is OK, and OK with the settings taken closes it with 1', async () => {
    const engine = standInEngine({results: {1: 1}});
    const shown = runConfigForm(engine, pageTexts, hooks());
    const key = enter($('c110'));
    $('config-dialog').onkeydown(key);
    assert.equal(await shown, 1);
    assert.ok(key.prevented);
    assert.deepEqual(engine.named('xr_web_config_command'), [['xr_web_config_command', 1, 0, 0, 0]]);
    assert.ok(!anyDialogOpen());
  });

  test('Enter on a button, or while a character is being composed, is no OK', async () => {
    const engine = standInEngine({results: {2: 2}});
    const shown = runConfigForm(engine, pageTexts, hooks());
    $('config-dialog').onkeydown(enter($('c2')));
    $('config-dialog').onkeydown({...enter($('c110')), isComposing: true});
    $('config-dialog').onkeydown({...enter($('c110')), key: 'a'});
    assert.equal(engine.named('xr_web_config_command').length, 0);
    $('config-dialog').escape();
    assert.equal(await shown, 0);
  });

  test('Esc is Cancel', async () => {
    const engine = standInEngine({results: {2: 2}});
    const shown = runConfigForm(engine, pageTexts, hooks());
    $('config-dialog').escape();
    assert.equal(await shown, 0);
    assert.deepEqual(engine.named('xr_web_config_command').map((call) => call[1]), [2]);
  });

  test('a form the browser closed on a repeated Esc, while the engine keeps it, is shown again', async () => {
    const engine = standInEngine({results: {2: 0, 1: 1}});
    const shown = runConfigForm(engine, pageTexts, hooks());
    $('config-dialog').escape({forced: true});
    await tick();
    assert.ok($('config-dialog').open);
    $('c1').onclick();
    assert.equal(await shown, 1);
  });

  test('the port chooser: a port chosen is probed; none chosen or refused is said', async () => {
    let answer = 0;
    const engine = standInEngine({results: {2: 2}});
    const shown = runConfigForm(engine, pageTexts, hooks({choosePort: async () => answer}));
    await $('port-choose').onclick();
    assert.equal($('config-note').textContent, 'cancelled');
    answer = -1;
    await $('port-choose').onclick();
    assert.equal($('config-note').textContent, 'refused');
    assert.equal(engine.named('xr_web_probe_ports').length, 0);
    answer = 2;
    await $('port-choose').onclick();
    assert.equal($('config-note').textContent, '');
    assert.equal(engine.named('xr_web_probe_ports').length, 1);
    $('config-dialog').escape();
    assert.equal(await shown, 0);
  });
});

describe('the stop dialog', () => {
  test('Esc is Continue', async () => {
    const engine = standInEngine();
    const shown = runStopDialog(engine, stopTexts, () => assert.fail('no notices held'));
    assert.equal(globalThis.document.activeElement, $('stop-continue'));
    $('stop-dialog').escape();
    assert.equal(await shown, 0);
    assert.deepEqual(engine.calls.map((call) => call[0]), ['xr_web_stop_opened', 'xr_web_stop_continue']);
  });

  test('Abort waits for the transfer to end; Esc meanwhile changes nothing', async () => {
    const engine = standInEngine({idleAfter: 3});
    const held = [];
    const shown = runStopDialog(engine, stopTexts, (hold) => held.push(hold));
    $('stop-abort').onclick();
    assert.ok($('stop-continue').disabled && $('stop-abort').disabled);
    $('stop-dialog').escape();
    $('stop-dialog').escape({forced: true});
    await tick();
    assert.ok($('stop-dialog').open);
    assert.equal(await shown, 1);
    assert.deepEqual(held, [true, false]);
    const names = engine.calls.map((call) => call[0]).filter((name) => name !== 'xr_web_idle');
    assert.deepEqual(names, ['xr_web_stop_opened', 'xr_web_stop_request', 'xr_web_stop_aborted']);
    assert.equal(engine.named('xr_web_idle').length, 4);
  });
});

describe('the message box', () => {
  test('messages wait their turn; one without a caption is titled Error', async () => {
    const seen = [];
    const first = showMessage('first', 'Caption').then(() => seen.push('first'));
    const second = showMessage('second', null).then(() => seen.push('second'));
    assert.equal($('message-text').textContent, 'first');
    assert.equal($('message-caption').textContent, 'Caption');
    $('message-ok').onclick();
    await first;
    assert.equal($('message-text').textContent, 'second');
    assert.equal($('message-caption').textContent, 'Error');
    $('message-dialog').escape();
    await second;
    assert.deepEqual(seen, ['first', 'second']);
  });
});
