// A page of a listed origin uses the real quavoxd from headless Chromium: a JSON POST to
// /v1/tts and /v1/announce, the exposed X-Quavox-* headers, and an <audio> element that can
// seek. A page of another origin is refused, and what it sent changes nothing: a text/plain
// prewarm (no preflight) is never baked and a lexicon change never stored.
// Usage: node chromium-cors.mjs QUAVOXD [CHROMIUM]; exits 77 when there is no Chromium.
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

const limitMs = 60000;
const line = 'Gate B12 now boarding';
const foreignLine = 'Cross site line never baked';

const listedScript = (base) => `
const json = { 'Content-Type': 'application/json' };
async function tts() {
  const res = await fetch('${base}/v1/tts', { method: 'POST', headers: json,
    body: JSON.stringify({ text: '${line}', language: 'en' }) });
  return { status: res.status, cache: res.headers.get('X-Quavox-Cache'),
           bytes: (await res.arrayBuffer()).byteLength };
}
async function announce() {
  const res = await fetch('${base}/v1/announce', { method: 'POST', headers: json,
    body: JSON.stringify({ segments: [{ text: '${line}', language: 'en' }] }) });
  return { status: res.status, bytes: (await res.arrayBuffer()).byteLength };
}
function seekable() {
  return new Promise((resolve) => {
    const audio = new Audio();
    const timer = setTimeout(() => resolve({ outcome: 'timeout' }), ${limitMs / 2});
    audio.addEventListener('loadedmetadata', () => { clearTimeout(timer); resolve({
      ranges: audio.seekable.length, end: audio.seekable.length ? audio.seekable.end(0) : 0 }); },
      { once: true });
    audio.addEventListener('error', () => { clearTimeout(timer);
      resolve({ error: audio.error && audio.error.code }); });
    audio.src = '${base}/v1/tts?text=' + encodeURIComponent('${line}') + '&language=en&format=mp3';
    document.body.appendChild(audio);
  });
}
async function run() {
  return { tts: await tts(), announce: await announce(), audio: await seekable() };
}`;

const foreignScript = (base) => `
async function outcome(request) {
  try { return 'answered ' + (await request).status; } catch (e) { return 'blocked'; }
}
async function run() {
  return {
  prewarm: await outcome(fetch('${base}/v1/prewarm', { method: 'POST',
    headers: { 'Content-Type': 'text/plain' },
    body: JSON.stringify({ items: [{ text: '${foreignLine}', language: 'en' }] }) })),
  lexicon: await outcome(fetch('${base}/v1/lexicon', { method: 'PUT',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ language: 'en', word: 'crosssite', say: 'changed' }) })),
  };
}`;

// A page that runs the script's run() (the script is made when the page is asked for) and
// reports its result.
function pageServer(script) {
  return servePage(() => `<!doctype html><meta charset="utf-8"><body><script>
${script()}
run().catch((e) => ({ error: String(e) }))
  .then((r) => fetch('/report', { method: 'POST', body: JSON.stringify(r) }));
</script>`);
}

const reportOf = (page, profile) => reportFrom(chromium, page, profile, limitMs);

const failures = [];
function expect(ok, what) {
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}`);
  if (!ok) failures.push(what);
}

// Whether the daemon has the line cached, without making it.
async function cached(base, text) {
  const res = await fetch(`${base}/v1/tts?text=${encodeURIComponent(text)}&language=en`,
                          { method: 'HEAD' });
  return res.status === 200;
}

let daemon;
const listed = await pageServer(() => listedScript(daemon.base));
const foreign = await pageServer(() => foreignScript(daemon.base));
const profile = mkdtempSync(join(tmpdir(), 'quavox-chromium-'));
try {
  daemon = await startDaemon(daemonPath, { allowedOrigins: [listed.origin] });
  const own = await reportOf(listed, join(profile, 'listed'));
  expect(own.tts && own.tts.status === 200 && own.tts.bytes > 44, 'listed page: POST /v1/tts');
  expect(own.tts && own.tts.cache === 'miss', 'listed page reads X-Quavox-Cache');
  expect(own.announce && own.announce.status === 200 && own.announce.bytes > 44,
         'listed page: POST /v1/announce');
  expect(own.audio && own.audio.ranges > 0 && own.audio.end > 0,
         `listed page: <audio> can seek (${JSON.stringify(own.audio)})`);

  const other = await reportOf(foreign, join(profile, 'foreign'));
  expect(other.prewarm === 'blocked', `other page: text/plain prewarm ${other.prewarm}`);
  expect(other.lexicon === 'blocked', `other page: lexicon PUT ${other.lexicon}`);
  // A line prewarmed after the other page's is baked after it would have been.
  const probe = 'Line prewarmed after the other page';
  await fetch(`${daemon.base}/v1/prewarm`, {
    method: 'POST', headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ items: [{ text: probe, language: 'en' }] }),
  });
  const deadline = Date.now() + limitMs;
  while (!(await cached(daemon.base, probe)) && Date.now() < deadline)
    await new Promise((r) => setTimeout(r, 50));
  expect(await cached(daemon.base, probe), 'the later prewarm was baked');
  expect(!(await cached(daemon.base, foreignLine)), "the other page's line was never baked");
  const lexicon = await (await fetch(`${daemon.base}/v1/lexicon`)).json();
  expect(!lexicon.entries.some((e) => e.word === 'crosssite'), 'the lexicon is unchanged');
} finally {
  listed.close();
  foreign.close();
  if (daemon) await daemon.stop();
  rmSync(profile, { recursive: true, force: true });
}
process.exit(failures.length ? 1 : 0);
