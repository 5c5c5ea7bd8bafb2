// The page's texts (ui/web/texts.js): both languages say the same things, with
// the same blanks filled in, and the language is the one asked for.
import assert from 'node:assert/strict';
import {describe, test} from 'node:test';

import {pageLanguage, pageTexts, stopTexts} from '../../ui/web/texts.js';

// A text with blanks shows every value it is given.
function filled(text, arity) {
  const values = Array.from({length: arity}, (_, i) => `<value${i}>`);
  return {shown: text(...values), values};
}

describe('the two languages', () => {
  const english = pageTexts('en');
  const japanese = pageTexts('ja');

  test('have the same texts, each of the same kind', () => {
    assert.deepEqual(Object.keys(japanese).sort(), Object.keys(english).sort());
    for (const key of Object.keys(english)) {
      assert.equal(typeof japanese[key], typeof english[key], key);
      if (typeof english[key] === 'function') assert.equal(japanese[key].length, english[key].length, key);
      else assert.ok(english[key].length > 0 && japanese[key].length > 0, key);
    }
  });

  test('show every value a text is given, in both languages', () => {
    for (const key of Object.keys(english).filter((k) => typeof english[k] === 'function')) {
      for (const texts of [english, japanese]) {
        const {shown, values} = filled(texts[key], texts[key].length);
        for (const value of values) assert.ok(shown.includes(value), `${key}: ${shown}`);
        assert.ok(!shown.includes('undefined') && !shown.includes('${'), `${key}: ${shown}`);
      }
    }
  });

  test('leave out an empty reason or name, as the texts say', () => {
    for (const texts of [english, japanese]) {
      assert.ok(!texts.portBusy('COM2', '').includes('()'));
      assert.ok(!texts.linkSerial('COM1', '', 38400).includes('()'));
    }
  });

  test('are Japanese where the page gives its own words', () => {
    for (const key of ['menu', 'logTitle', 'ended', 'midiRefused', 'engineFailed']) {
      assert.notEqual(japanese[key], english[key], key);
    }
    assert.equal(japanese.title, english.title);
  });

  test('the stop dialog has its three lines and two buttons in each', () => {
    for (const texts of [stopTexts('en'), stopTexts('ja')]) {
      assert.equal(texts.lines.length, 3);
      assert.ok(texts.continue && texts.abort && texts.caption);
    }
    assert.notEqual(stopTexts('ja').abort, stopTexts('en').abort);
    assert.equal(stopTexts('xx'), stopTexts('en'));
  });
});

describe('the language', () => {
  // The browser's address and languages, as the page sees them.
  function languageFor(search, languages, language) {
    const saved = Object.getOwnPropertyDescriptor(globalThis, 'navigator');
    globalThis.window = {location: {search}};
    Object.defineProperty(globalThis, 'navigator', {value: {languages, language}, configurable: true});
    try {
      return pageLanguage();
    } finally {
      delete globalThis.window;
      if (saved) Object.defineProperty(globalThis, 'navigator', saved); else delete globalThis.navigator;
    }
  }

  test('is the one the address asks for', () => {
    assert.equal(languageFor('?lang=ja', ['en-US']), 'ja');
    assert.equal(languageFor('?lang=en', ['ja-JP']), 'en');
  });

  test('else follows the browser\'s first language', () => {
    assert.equal(languageFor('', ['ja-JP', 'en']), 'ja');
    assert.equal(languageFor('', ['JA']), 'ja');
    assert.equal(languageFor('', ['en-GB', 'ja']), 'en');
    assert.equal(languageFor('', undefined, 'ja'), 'ja');
    assert.equal(languageFor('', [], undefined), 'en');
  });

  test('ignores an address that asks for another language', () => {
    assert.equal(languageFor('?lang=de', ['ja']), 'ja');
    assert.equal(languageFor('?lang=JA&x=1', ['en']), 'en');
  });
});
