// Plays every format of the real quavoxd in headless Chromium's <audio>: a page served on
// 127.0.0.1 loads one element per format, plays each to its end, and posts back which
// ones fired "ended" and which failed. WAV, MP3, Opus, Ogg Vorbis and FLAC must play; AAC
// must play when the browser build says it can.
// Usage: node chromium-audio.mjs QUAVOXD [CHROMIUM]; exits 77 when there is no Chromium.
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { findChromium, reportFrom, servePage } from './browser.mjs';
import { startDaemon, SKIPPED } from './daemon.mjs';

const [daemonPath, chromiumArg] = process.argv.slice(2);
const chromium = findChromium(chromiumArg);
if (!chromium) {
  console.log('no Chromium installed; skipped');
  process.exit(SKIPPED);
}

const formats = ['wav', 'mp3', 'opus', 'ogg', 'flac', 'aac', 'ulaw', 'alaw'];
const required = ['wav', 'mp3', 'opus', 'ogg', 'flac'];
const playLimitMs = 30000;

function page(base) {
  return `<!doctype html><meta charset="utf-8"><body><script>
const formats = ${JSON.stringify(formats)};
const types = { aac: 'audio/aac' };
function play(format) {
  return new Promise((resolve) => {
    const audio = new Audio();
    const result = { format, canPlayType: types[format] ? audio.canPlayType(types[format]) : '' };
    const done = (outcome) => { result.outcome = outcome; audio.remove(); resolve(result); };
    const timer = setTimeout(() => done('timeout'), ${playLimitMs});
    audio.addEventListener('canplaythrough', () => { result.canplaythrough = true; audio.play().catch((e) => { clearTimeout(timer); done('play: ' + e.name); }); }, { once: true });
    audio.addEventListener('ended', () => { clearTimeout(timer); result.duration = audio.duration; done('ended'); });
    audio.addEventListener('error', () => { clearTimeout(timer); done('error ' + (audio.error && audio.error.code)); });
    audio.src = '${base}/v1/tts?text=' + encodeURIComponent('Gate B12 now boarding') + '&language=en&format=' + format;
    document.body.appendChild(audio);
  });
}
Promise.all(formats.map(play)).then((results) =>
  fetch('/report', { method: 'POST', body: JSON.stringify(results) }));
</script>`;
}

const daemon = await startDaemon(daemonPath);
// The line is made once before the browser asks for it eight ways at once: the test is about
// playing the formats, which are then all encoded from the one cached clip.
const line = `${daemon.base}/v1/tts?text=${encodeURIComponent('Gate B12 now boarding')}&language=en`;
const made = await fetch(line);
if (!made.ok) {
  await daemon.stop();
  throw new Error(`the line was not made: ${made.status} ${await made.text()}`);
}
const profile = mkdtempSync(join(tmpdir(), 'quavox-chromium-'));
let pageServer;
let failed = false;
try {
  pageServer = await servePage(() => page(daemon.base));
  const results = await reportFrom(chromium, pageServer, profile, playLimitMs + 30000,
                                   ['--autoplay-policy=no-user-gesture-required']);
  for (const r of results) {
    const mustPlay = required.includes(r.format) || (r.format === 'aac' && r.canPlayType !== '');
    const ok = r.outcome === 'ended' || !mustPlay;
    if (!ok) failed = true;
    console.log(`${ok ? 'ok  ' : 'FAIL'} ${r.format}: ${r.outcome}` +
                `${r.duration ? ` after ${r.duration.toFixed(2)} s` : ''}` +
                `${mustPlay ? '' : ' (not required)'}`);
  }
} finally {
  if (pageServer) pageServer.close();
  await daemon.stop();
  rmSync(profile, { recursive: true, force: true });
}
process.exit(failed ? 1 : 0);
