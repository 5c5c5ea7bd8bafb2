// The static check of the web page's JavaScript: ESLint's recommended rules on
// the page's modules (ui/web), the JavaScript halves of the engine's web files
// (emscripten libraries: scripts, with the runtime's names), and the unit tests.
import js from '@eslint/js';
import globals from 'globals';

// What an emscripten library may name besides the browser's: the runtime's
// functions and the libraries' own objects ($XrSerial is XrSerial in the code).
const emscripten = Object.fromEntries([
  'mergeInto', 'LibraryManager', 'Module', 'Asyncify', 'HEAPU8',
  'UTF8ToString', 'stringToUTF8', 'lengthBytesUTF8', '_malloc',
  'XrFiles', 'XrFilesRead', 'XrLog', 'XrMadeText', 'XrMidi', 'XrMidiStates',
  'XrPageTimers', 'XrSerial', 'XrTimer',
].map((name) => [name, 'readonly']));

const rules = {
  ...js.configs.recommended.rules,
  // A catch that only says why it goes on needs no use of the error.
  'no-unused-vars': ['error', {caughtErrors: 'none'}],
};

export default [
  {ignores: ['build/**', 'build-*/**', 'tests/e2e/**']},
  {
    files: ['ui/web/*.js'],
    ignores: ['ui/web/*_web.js'],
    languageOptions: {ecmaVersion: 2022, sourceType: 'module', globals: globals.browser},
    rules,
  },
  {
    files: ['ui/web/*_web.js', 'engine/*_web.js', 'link/*_web.js', 'support/*_web.js'],
    languageOptions: {ecmaVersion: 2022, sourceType: 'script', globals: {...globals.browser, ...emscripten}},
    rules,
  },
  {
    files: ['tests/web_unit/*.mjs'],
    languageOptions: {ecmaVersion: 2022, sourceType: 'module', globals: globals.node},
    rules,
  },
];
