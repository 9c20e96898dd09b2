// The `openai` npm package's audio.speech.create against the real quavoxd, for every
// response format: each reply is checked with ffprobe against the WAV of the same line; its
// streaming read of a long text; and the client's API key against a daemon that requires one.
// Usage: node openai-speech.mjs QUAVOXD NODE_PREFIX
import { writeFileSync, mkdtempSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { startDaemon, probe } from './daemon.mjs';

const [daemonPath, prefix] = process.argv.slice(2);
const { OpenAI } = createRequire(join(prefix, 'node_modules', 'index.js'))('openai');

const expected = {
  mp3: { codec: 'mp3' },
  opus: { codec: 'opus' },
  aac: { codec: 'aac' },
  flac: { codec: 'flac' },
  wav: { codec: 'pcm_s16le' },
};
const input = 'Flight CA1234 to Beijing is now boarding at gate 23.';

const failures = [];
const check = (ok, what) => {
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}`);
  if (!ok) failures.push(what);
};

const daemon = await startDaemon(daemonPath);
const scratch = mkdtempSync(join(tmpdir(), 'quavox-openai-'));
try {
  const client = new OpenAI({ apiKey: 'sk-local', baseURL: `${daemon.base}/v1`, maxRetries: 0 });
  const speak = async (format) => {
    const res = await client.audio.speech.create({ model: 'tts-1', voice: 'alloy', input,
                                                   response_format: format });
    return Buffer.from(await res.arrayBuffer());
  };
  const wavFile = join(scratch, 'reference.wav');
  writeFileSync(wavFile, await speak('wav'));
  const reference = probe(wavFile);
  for (const [format, want] of Object.entries(expected)) {
    const file = join(scratch, `speech.${format}`);
    writeFileSync(file, await speak(format));
    const got = probe(file);
    check(got.codec === want.codec && got.channels === 1 && got.rate > 0 &&
            Math.abs(got.seconds - reference.seconds) <= 0.05,
          `${format}: ${JSON.stringify(got)} against ${reference.seconds.toFixed(3)} s`);
  }
  const pcm = await speak('pcm');
  check(Math.abs(pcm.length / 2 / 24000 - reference.seconds) <= 0.05,
        `pcm: ${pcm.length} bytes of 24 kHz 16-bit mono`);

  // The client's streaming read: audio arrives while later sentences are still being made,
  // and the pieces put together are the reply without streaming.
  const sentences = Array.from({ length: 8 }, (_, i) =>
    `Streaming check ${i + 1}: flight ${4100 + i} to Oslo boards at gate ${i + 3}.`);
  const made = async () => (await (await fetch(`${daemon.base}/v1/stats`)).json()).total;
  const before = await made();
  const streamed = await client.audio.speech.create({
    model: 'tts-1', voice: 'alloy', input: sentences.join(' '), response_format: 'pcm',
    stream_format: 'audio' });
  const pieces = [];
  let madeAtFirstPiece = -1;
  for await (const piece of streamed.body) {
    if (pieces.length === 0) madeAtFirstPiece = (await made()) - before;
    pieces.push(Buffer.from(piece));
  }
  check(madeAtFirstPiece >= 1 && madeAtFirstPiece < sentences.length,
        `audio arrived after ${madeAtFirstPiece} of ${sentences.length} sentences were made`);
  const whole = await client.audio.speech.create({
    model: 'tts-1', voice: 'alloy', input: sentences.join(' '), response_format: 'pcm' });
  check(Buffer.concat(pieces).equals(Buffer.from(await whole.arrayBuffer())),
        `the streamed pieces (${pieces.length}) put together are the reply without streaming`);

  const models = await client.models.list();
  check(models.data.some((m) => m.id === 'quavox'), 'models.list names quavox');

  try {
    await client.audio.speech.create({ model: 'tts-1', voice: 'nobody', input });
    check(false, 'an unknown voice is refused');
  } catch (e) {
    check(e instanceof OpenAI.BadRequestError && e.status === 400 && e.param === 'voice',
          `an unknown voice is refused: ${e.constructor.name} ${e.status} ${e.param}`);
  }
} finally {
  rmSync(scratch, { recursive: true, force: true });
  await daemon.stop();
}
const guarded = await startDaemon(daemonPath, { apiKeys: ['sk-announce'] });
try {
  const client = (apiKey) =>
    new OpenAI({ apiKey, baseURL: `${guarded.base}/v1`, maxRetries: 0 });
  const models = await client('sk-announce').models.list();
  check(models.data.some((m) => m.id === 'quavox'), 'the configured key is accepted');
  try {
    await client('sk-wrong').audio.speech.create({ model: 'tts-1', voice: 'alloy', input });
    check(false, 'a wrong key is refused');
  } catch (e) {
    check(e instanceof OpenAI.AuthenticationError && e.status === 401 &&
            e.code === 'invalid_api_key',
          `a wrong key is refused: ${e.constructor.name} ${e.status} ${e.code}`);
  }
} finally {
  await guarded.stop();
}
if (failures.length) {
  console.log(`${failures.length} check(s) failed`);
  process.exit(1);
}
