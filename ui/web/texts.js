// The page's texts in English and Japanese. The program's own texts (the
// display lines, the messages, the menu, the dialogs' controls) come from the
// engine or stand here as the program has them; the Japanese copies are the
// program's where it has them (the stop dialog), and the menu and the
// configuration form keep their English texts in both languages, as the
// program's resources do.

const english = {
  title: 'XR3300/R SystemUpdate Utility v1.3',
  menu: 'Commands',
  display: 'Display',
  progress: 'Progress of the update',
  dropHint: 'Update... opens an update file (*.sys, *.pcm, *.usr, *.b_*); you can also drop one on this page.',
  linkSerial: (com, what, baud) => `Link: ${com}${what ? ` (${what})` : ''} at ${baud} baud`,
  linkMidi: (out, inp, rate) => `Link: MIDI out ${out ? `"${out}"` : '(none)'}, in ${inp ? `"${inp}"` : '(none)'}, ${rate}`,
  linkNone: 'Link: none yet. Choose a serial port or allow MIDI devices in Config...',
  logTitle: 'Support log',
  logIntro: 'Every step and error of every update is kept here (vup_log.txt). Please send it with any question to support.',
  logDownload: 'Download vup_log.txt',
  loading: 'Starting...',
  ended: 'The program has ended and its settings are saved. You can close this tab.',
  endedUnsaved: 'The program has ended. This browser keeps no site data, so the settings could not be saved.',
  startAgain: 'Start again',
  close: 'Close',
  // Where the browser is the problem.
  insecure: 'The browser offers access to serial ports and MIDI devices only to pages opened over https:// or from this computer (http://localhost). Open the page from such an address.',
  noApis: 'This browser cannot reach the instrument: it offers neither Web Serial nor Web MIDI. Open this page in Google Chrome or Microsoft Edge (version 89 or later) on macOS, Windows, Linux or ChromeOS. Firefox and Safari do not offer them.',
  noSerial: 'This browser offers no Web Serial, so only the MIDI link can be used. For the serial link, open this page in Google Chrome or Microsoft Edge.',
  noMidi: 'This browser offers no Web MIDI, so only the serial link can be used. For the MIDI link, open this page in Google Chrome or Microsoft Edge.',
  midiRefused: 'The browser refused access to the MIDI devices with system-exclusive messages, which the update needs. Allow "MIDI devices" (control and reprogram) for this site in the browser\'s site settings (the icon left of the address), then reload the page.',
  serialRefused: 'The browser refused access to serial ports for this page. Allow serial ports for this site in the browser\'s site settings (the icon left of the address), then reload the page.',
  noPortChosen: 'No serial port is chosen for this COM port. Open Config..., press "Choose port..." and pick the port of the XR3300 in the browser\'s list.',
  portBusy: (com, why) => `${com} could not be opened${why ? ` (${why})` : ''}. Another program or another browser tab probably uses it: close that, or unplug the cable and plug it in again, then try again.`,
  noMidiDevices: 'No MIDI devices can be used. Allow MIDI devices in Config... and connect the MIDI interface, or choose a serial port.',
  midiNotOpened: 'The chosen MIDI devices could not be opened. Connect the MIDI interface (or choose other devices in Config...) and try again; a device another program uses may have to be closed there first.',
  choosePort: 'Choose port...',
  allowMidi: 'Allow MIDI devices...',
  noPort: '(none)',
  secondCopy: 'This page is already open in another tab or window. Use that one: only one copy may talk to the instrument.',
  lastRunUnfinished: (name) => `The last update (${name}) did not finish: the page was left or reloaded while it ran. The XR3300 may still wait in update mode: start the update again and let it complete. The support log below keeps the record of that run.`,
  dropBusy: 'An update is under way or a dialog is open: the dropped file was not started.',
  dropOne: 'Drop one update file at a time.',
  leaveWarning: 'An update is under way. Leaving the page stops it, and the instrument may not start up normally.',
  chooserCancelled: 'No port was chosen.',
  // Web MIDI sends a system-exclusive message whole: a rate cannot pace its bytes.
  slowRates: 'On this page the slow rates lengthen the pauses between messages, not the bytes; if updates fail with a slow interface, use the program for Windows or Linux.',
  abortedAfter: (done, total) => `The update was aborted after packet ${done} of ${total}; the XR3300 may wait in update mode until the update is run again.`,
  abortedAfterSetMode: 'The update was aborted after Set Mode went out, before the data packets began; the XR3300 may wait in update mode until the update is run again.',
  abortedBefore: 'The update was aborted before the data packets began.',
  finished: 'Update complete',
  unfinished: 'Update ended',
  engineFailed: 'The page could not start its program. Reload the page; if that does not help, use a current version of Google Chrome or Microsoft Edge.',
};

const japanese = {
  ...english,
  menu: 'コマンド',
  display: '表示',
  progress: 'アップデートの進行状況',
  dropHint: 'Update... でアップデートファイル (*.sys, *.pcm, *.usr, *.b_*) を開きます。このページにファイルをドロップすることもできます。',
  linkSerial: (com, what, baud) => `接続: ${com}${what ? ` (${what})` : ''} ${baud} ボー`,
  linkMidi: (out, inp, rate) => `接続: MIDI 出力 ${out ? `"${out}"` : '(なし)'}、入力 ${inp ? `"${inp}"` : '(なし)'}、${rate}`,
  linkNone: '接続: まだありません。Config... でシリアルポートを選ぶか、MIDI デバイスを許可してください。',
  logTitle: 'サポートログ',
  logIntro: 'すべてのアップデートの手順とエラーがここに記録されます (vup_log.txt)。お問い合わせの際はこのログを送ってください。',
  logDownload: 'vup_log.txt をダウンロード',
  loading: '起動しています...',
  ended: 'プログラムを終了し、設定を保存しました。このタブを閉じてかまいません。',
  endedUnsaved: 'プログラムを終了しました。このブラウザはサイトのデータを保存しないため、設定を保存できませんでした。',
  startAgain: '再起動',
  close: '閉じる',
  insecure: 'ブラウザがシリアルポートと MIDI デバイスを使わせるのは、https:// またはこのコンピュータ (http://localhost) から開いたページだけです。そのようなアドレスからページを開いてください。',
  noApis: 'このブラウザでは楽器と通信できません: Web Serial も Web MIDI もありません。macOS、Windows、Linux、ChromeOS の Google Chrome または Microsoft Edge (バージョン 89 以降) でこのページを開いてください。Firefox と Safari には、これらの機能がありません。',
  noSerial: 'このブラウザには Web Serial がないため、MIDI 接続だけを使えます。シリアル接続には Google Chrome または Microsoft Edge でこのページを開いてください。',
  noMidi: 'このブラウザには Web MIDI がないため、シリアル接続だけを使えます。MIDI 接続には Google Chrome または Microsoft Edge でこのページを開いてください。',
  midiRefused: 'ブラウザが、アップデートに必要なシステムエクスクルーシブを含む MIDI デバイスへのアクセスを拒否しました。ブラウザのサイト設定 (アドレスの左のアイコン) でこのサイトの「MIDI デバイス」(制御と再プログラム) を許可してから、ページを再読み込みしてください。',
  serialRefused: 'ブラウザがこのページのシリアルポートへのアクセスを拒否しました。ブラウザのサイト設定 (アドレスの左のアイコン) でこのサイトのシリアルポートを許可してから、ページを再読み込みしてください。',
  noPortChosen: 'この COM ポートにはシリアルポートが選ばれていません。Config... を開き、「Choose port...」を押して、ブラウザの一覧から XR3300 のポートを選んでください。',
  portBusy: (com, why) => `${com} を開けませんでした${why ? ` (${why})` : ''}。別のプログラムかブラウザの別のタブが使用中と思われます。それを閉じるか、ケーブルを抜き差ししてから、もう一度お試しください。`,
  noMidiDevices: '使える MIDI デバイスがありません。Config... で MIDI デバイスを許可して MIDI インターフェースを接続するか、シリアルポートを選んでください。',
  midiNotOpened: '選んだ MIDI デバイスを開けませんでした。MIDI インターフェースを接続して (または Config... で別のデバイスを選んで)、もう一度お試しください。別のプログラムが使用中のデバイスは、先にそちらで閉じる必要があります。',
  noPort: '(なし)',
  secondCopy: 'このページは別のタブかウィンドウですでに開いています。そちらを使ってください。楽器と通信できるのは一つだけです。',
  lastRunUnfinished: (name) => `前回のアップデート (${name}) は完了していません: 実行中にページを離れたか、再読み込みしました。XR3300 はアップデートモードのまま待っている可能性があります。もう一度アップデートを開始し、完了させてください。その実行の記録は下のサポートログにあります。`,
  dropBusy: 'アップデート中か、ダイアログが開いています: ドロップしたファイルは開始しませんでした。',
  dropOne: 'アップデートファイルは一度に一つだけドロップしてください。',
  leaveWarning: 'アップデート中です。ページを離れるとアップデートが止まり、楽器が正常に起動しなくなる可能性があります。',
  chooserCancelled: 'ポートが選ばれませんでした。',
  slowRates: 'このページでは、遅い転送速度はメッセージの間の待ち時間を長くするだけで、バイトの間隔は変わりません。遅いインターフェースでアップデートが失敗する場合は、Windows 版か Linux 版のプログラムを使ってください。',
  abortedAfter: (done, total) => `アップデートはパケット ${done} / ${total} の後で中止されました。もう一度アップデートを実行するまで、XR3300 はアップデートモードのまま待っている可能性があります。`,
  abortedAfterSetMode: 'アップデートは Set Mode の送信後、データパケットの前に中止されました。もう一度アップデートを実行するまで、XR3300 はアップデートモードのまま待っている可能性があります。',
  abortedBefore: 'アップデートはデータパケットの前に中止されました。',
  finished: 'アップデート完了',
  unfinished: 'アップデート終了',
  engineFailed: 'ページのプログラムを起動できませんでした。ページを再読み込みしてください。解決しない場合は、最新の Google Chrome または Microsoft Edge を使ってください。',
};

// The stop dialog: the program's own texts, in both of its languages.
const stopDialog = {
  en: {
    caption: 'Stop transfer',
    lines: ['If you abort the transfer, the device may not be able to start up normally.',
            '(If so try the transfer again and let it complete.)',
            'Are you sure you wish to abort the transfer?'],
    continue: 'Continue',
    abort: 'Abort',
  },
  ja: {
    caption: 'Stop transfer',
    lines: ['転送中に停止すると、通常起動ができなくなります。',
            '(再度ＩＰＬモードでシステム転送を完了してください)',
            '転送を停止してもよろしいですか？'],
    continue: '続行',
    abort: '停止',
  },
};

export function pageTexts(language) { return language === 'ja' ? japanese : english; }
export function stopTexts(language) { return language === 'ja' ? stopDialog.ja : stopDialog.en; }

// Japanese when the browser's first language is, or when the page's address
// asks for it (?lang=ja; ?lang=en for English).
export function pageLanguage() {
  const asked = new URLSearchParams(window.location.search).get('lang');
  if (asked === 'ja' || asked === 'en') return asked;
  const first = (navigator.languages && navigator.languages[0]) || navigator.language || 'en';
  return String(first).toLowerCase().startsWith('ja') ? 'ja' : 'en';
}
