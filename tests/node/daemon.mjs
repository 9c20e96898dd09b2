// The real quavoxd in a fresh program folder on 127.0.0.1 and a port chosen at run time,
// and ffprobe's view of encoded bytes; shared by the Node.js tests.
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync, mkdirSync, writeFileSync, rmSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

export const SKIPPED = 77;

export function freePort() {
  return new Promise((resolve, reject) => {
    const server = createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

async function waitForHealth(base, child, limitMs) {
  const deadline = Date.now() + limitMs;
  while (Date.now() < deadline) {
    if (child.exitCode !== null) throw new Error(`quavoxd exited with ${child.exitCode}`);
    try {
      // Ready once its engine is: a first line sent earlier would be told to come back.
      const res = await fetch(`${base}/health`);
      if (res.ok && (await res.json()).engine_ready) return;
    } catch {
      // not listening yet
    }
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error('quavoxd did not answer /health');
}

// server: further members of the configuration's "server" section.
export async function startDaemon(daemonPath, server = {}) {
  const root = mkdtempSync(join(tmpdir(), 'quavox-node-'));
  const port = await freePort();
  mkdirSync(join(root, 'data'));
  writeFileSync(join(root, 'data', 'config.json'),
                JSON.stringify({ server: { port, bind: '127.0.0.1', ...server } }));
  const child = spawn(daemonPath, ['--root', root], {
    stdio: ['ignore', 'ignore', 'inherit'],
    env: { ...process.env, XDG_DATA_HOME: join(root, 'xdg') },
  });
  const exited = new Promise((r) => child.on('exit', r));
  const base = `http://127.0.0.1:${port}`;
  const stop = async () => {
    child.kill('SIGTERM');
    await exited;
    rmSync(root, { recursive: true, force: true });
  };
  try {
    await waitForHealth(base, child, 60000);
  } catch (e) {
    await stop();
    throw e;
  }
  return { base, root, stop };
}

// Codec, rate and channels as ffprobe reads them; seconds as ffmpeg's decoder plays them
// (ADTS AAC: its frames, less the encoder's priming frame).
export function probe(file) {
  const fields = Object.fromEntries(
    execFileSync('ffprobe', ['-v', 'error', '-count_packets', '-show_entries',
                             'stream=codec_name,sample_rate,channels,nb_read_packets', '-of',
                             'default=noprint_wrappers=1', file])
      .toString().trim().split('\n').map((row) => row.split('=')));
  const rate = Number(fields.sample_rate);
  let seconds;
  if (fields.codec_name === 'aac') {
    seconds = (Number(fields.nb_read_packets) - 1) * 1024 / rate;
  } else {
    const pcm = execFileSync('ffmpeg', ['-v', 'error', '-i', file, '-f', 's16le', '-ac', '1', '-'],
                             { maxBuffer: 256 << 20 });
    seconds = pcm.length / 2 / rate;
  }
  return { codec: fields.codec_name, rate, channels: Number(fields.channels), seconds };
}
