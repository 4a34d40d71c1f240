// The tokenizer page in headless Chromium, served from 127.0.0.1: it opens
// the LLaMA-2 lite model, then Llama-3's tokenizer.json, takes typed text and
// shows the ids of `korvel encode`.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { createServer } from 'node:http';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { extname, join, normalize } from 'node:path';
import { test } from 'node:test';

const data = process.env.KORVEL_JS_DATA;
const puppeteer =
  createRequire(join(process.env.KORVEL_JS_NODE_MODULES, 'x.js'))(
    'puppeteer-core');
const root = new URL('..', import.meta.url).pathname;
const types = { '.html': 'text/html', '.js': 'text/javascript',
  '.mjs': 'text/javascript', '.css': 'text/css' };

// Serves js/ read-only on a free port of 127.0.0.1.
async function serve() {
  const server = createServer((request, response) => {
    const path = normalize(join(root, new URL(request.url, 'http://h').pathname));
    try {
      if (!path.startsWith(root)) throw new Error('outside');
      const body = readFileSync(path);
      response.writeHead(200, { 'content-type': types[extname(path)] ||
        'application/octet-stream' });
      response.end(body);
    } catch {
      response.writeHead(404).end();
    }
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return server;
}

const text = 'Grüße aus München! Быстрая лиса, η αλεπού; שלום עולם, 2026.';

test('the page shows the ids of korvel encode', async () => {
  const model = join(data, 'llama2.lite');
  const expected = execFileSync(process.env.KORVEL_CLI,
    ['encode', `--model=${model}`], { input: `${text}\n` }).toString().trim();
  const server = await serve();
  const profile = mkdtempSync(join(tmpdir(), 'korvel-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: '/usr/bin/chromium',
    headless: false,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic',
      '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync',
      `--user-data-dir=${profile}`],
  });
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 860, height: 560 });
    const origin = `http://127.0.0.1:${server.address().port}`;
    const elsewhere = [];
    await page.setRequestInterception(true);
    page.on('request', (request) => {
      const url = request.url();
      if (url.startsWith(origin) || url.startsWith('data:')) {
        return request.continue();
      }
      elsewhere.push(url);
      return request.abort();
    });
    const errors = [];
    page.on('pageerror', (error) => errors.push(error.message));
    await page.goto(`${origin}/page/index.html`);
    await page.waitForSelector('body[data-ready]');
    await (await page.$('#model-file')).uploadFile(model);
    await page.waitForFunction(
      () => /32000 pieces/.test(document.getElementById('model-status').textContent));
    await page.type('#text', text);
    const count = expected.split(' ').length;
    await page.waitForFunction((n) =>
      document.getElementById('count').textContent === String(n), {}, count);
    const shown = await page.$eval('#tokens', (e) => e.dataset.ids);
    assert.equal(shown, expected);
    assert.equal(await page.$$eval('#tokens .token', (e) => e.length), count);

    await page.type('#decode-input', `[${expected.split(' ').join(', ')}]`);
    assert.equal(await page.$eval('#decode-output', (e) => e.textContent), text);

    const png = join(data, 'page.png');
    await page.screenshot({ path: png });
    // Not blank: many colours, and a good share of pixels far from white.
    const [colours, inked] = await page.evaluate(async (url) => {
      const image = new Image();
      image.src = url;
      await image.decode();
      const canvas = new OffscreenCanvas(image.width, image.height);
      const context = canvas.getContext('2d');
      context.drawImage(image, 0, 0);
      const pixels = context.getImageData(0, 0, image.width, image.height).data;
      const seen = new Set();
      let dark = 0;
      for (let i = 0; i < pixels.length; i += 4) {
        seen.add((pixels[i] << 16) | (pixels[i + 1] << 8) | pixels[i + 2]);
        if (pixels[i] + pixels[i + 1] + pixels[i + 2] < 600) ++dark;
      }
      return [seen.size, dark / (pixels.length / 4)];
    }, `data:image/png;base64,${readFileSync(png).toString('base64')}`);
    assert.ok(colours > 50 && inked > 0.05, `${colours} colours, ${inked} inked`);

    await page.click('#show-ids');
    assert.equal(await page.$eval('#ids', (e) => e.hidden ? '' : e.textContent),
      expected);

    // A tokenizer.json is imported in the page.
    const llama3 = execFileSync(process.env.KORVEL_CLI,
      ['encode', `--model=${join(data, 'llama3.lite')}`], { input: `${text}\n` })
      .toString().trim();
    await (await page.$('#model-file')).uploadFile(
      join(data, 'llama3.tokenizer.json'));
    await page.waitForFunction(() => /json: 128256 pieces/.test(
      document.getElementById('model-status').textContent));
    assert.equal(await page.$eval('#ids', (e) => e.textContent), llama3);
    assert.deepEqual(errors, []);
    assert.deepEqual(elsewhere, []);
  } finally {
    await browser.close();
    server.close();
    rmSync(profile, { recursive: true, force: true });
  }
});
