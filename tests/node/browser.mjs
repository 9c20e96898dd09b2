// Headless Chromium for the Node.js tests: a page served on 127.0.0.1 runs in the browser and
// posts its findings back to the page's own server.
import { spawn, execFileSync } from 'node:child_process';
import { createServer } from 'node:http';
import { freePort } from './daemon.mjs';

// The browser named on the command line, or the first one installed; undefined when none is.
export function findChromium(named) {
  return named || ['chromium', 'chromium-browser', 'google-chrome']
    .find((name) => { try { execFileSync('which', [name]); return true; } catch { return false; } });
}

// Serves the page made by html() on a free port and takes the body of its POST to /report.
export async function servePage(html) {
  const port = await freePort();
  let server;
  const report = new Promise((resolve) => {
    server = createServer((req, res) => {
      if (req.method === 'POST' && req.url === '/report') {
        let body = '';
        req.on('data', (chunk) => { body += chunk; });
        req.on('end', () => { res.end('ok'); resolve(JSON.parse(body)); });
        return;
      }
      res.setHeader('Content-Type', 'text/html; charset=utf-8');
      res.end(html());
    });
    server.listen(port, '127.0.0.1');
  });
  return { origin: `http://127.0.0.1:${port}`, report, close: () => server.close() };
}

// Opens the page in a headless browser with its own profile folder and waits at most
// limitMs for its report.
export async function reportFrom(chromium, page, profile, limitMs, extraArgs = []) {
  const browser = spawn(chromium, ['--headless=new', '--no-sandbox', '--disable-gpu',
                                   '--no-first-run', '--mute-audio', ...extraArgs,
                                   `--user-data-dir=${profile}`, page.origin + '/'],
                        { stdio: 'ignore', detached: true });
  try {
    const limit = new Promise((resolve) => setTimeout(() => resolve(null), limitMs));
    const result = await Promise.race([page.report, limit]);
    if (!result) throw new Error(`Chromium sent no report from ${page.origin}`);
    return result;
  } finally {
    try { process.kill(-browser.pid, 'SIGKILL'); } catch { /* already gone */ }
  }
}
