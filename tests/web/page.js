'use strict';
// The virtual printer's web page in a real browser: the system's Chromium, driven by
// puppeteer-core. node page.js KELVOTOOL checks it; with --screenshot OUT.png it takes its picture.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const puppeteer = require('puppeteer-core');

const [tool, mode, out] = process.argv.slice(2);
// Failed unless it gets to the end: a wait that nothing will end lets node exit early.
process.exitCode = 1;
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'kelvo-page-'));

// A receipt as a till prints it: a heading, lines, a bar code and a QR code, a cut.
function receipt(n) {
  const qr = Buffer.from(`https://shop.example/r/${n}`);
  const store = Buffer.concat([Buffer.from([0x1d, 0x28, 0x6b, qr.length + 3, 0, 49, 80, 48]), qr]);
  return Buffer.concat([
    Buffer.from('\x1b@\x1ba\x01\x1b!\x30KELVO CAFE\n\x1b!\x00\x1ba\x00', 'latin1'),
    Buffer.from(`Receipt ${n}\nFlat white        3.20\nCroissant         2.10\nTOTAL             5.30\n`),
    Buffer.from([0x1d, 0x68, 60, 0x1d, 0x6b, 4]), Buffer.from(`R${n}0042`), Buffer.from([0, 10]),
    Buffer.from([0x1d, 0x28, 0x6b, 3, 0, 49, 67, 5]), store,
    Buffer.from([0x1d, 0x28, 0x6b, 3, 0, 49, 81, 48, 10, 0x1d, 0x56, 0x42, 0]),
  ]);
}

// The printer, and what it says on stdout: the addresses, then a line per saved job.
const printer = spawn(tool, ['virtual-printer', '--listen', '127.0.0.1:0', '--http', '127.0.0.1:0',
  '--save', path.join(work, 'jobs'), '--control', path.join(work, 'control')],
{ stdio: ['ignore', 'pipe', 'inherit'] });
const lines = [];
let heard = () => {};
readline.createInterface({ input: printer.stdout }).on('line', (line) => { lines.push(line); heard(); });
function waitLine(pattern) {
  return new Promise((resolve, reject) => {
    printer.once('exit', (code) => reject(new Error(`the printer exited (${code})`)));
    const look = () => {
      const line = lines.find((l) => pattern.test(l));
      if (line) { heard = () => {}; resolve(line.match(pattern)); } else heard = look;
    };
    look();
  });
}

function talk(port, bytes, answer) {
  return new Promise((resolve, reject) => {
    const s = net.connect(port, '127.0.0.1', () => s.end(bytes));
    let got = Buffer.alloc(0);
    s.on('data', (d) => { got = Buffer.concat([got, d]); if (answer && got.length >= answer) s.destroy(); });
    s.on('close', () => resolve(got));
    s.on('error', reject);
  });
}

function check(ok, what) {
  if (!ok) throw new Error(what);
  console.log(`ok: ${what}`);
}

(async () => {
  let browser;
  try {
    const port = Number((await waitLine(/^virtual printer: TCP [\d.]+:(\d+)/))[1]);
    const url = (await waitLine(/^web page: (\S+)/))[1];
    for (let n = 1; n <= 3; ++n) {
      await talk(port, receipt(n));
      await waitLine(new RegExp(`^job ${n}: `));
    }
    browser = await puppeteer.launch({
      executablePath: '/usr/bin/chromium',
      headless: false,
      userDataDir: path.join(work, 'profile'),
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
    const page = await browser.newPage();
    await page.setViewport({ width: mode === '--screenshot' ? 1100 : 375, height: 900 });
    await page.goto(url);
    const jobsShown = () => page.$$eval('.job', (jobs) => jobs.length);
    await page.waitForFunction(() => document.querySelectorAll('.job').length === 3);
    check(await jobsShown() === 3, 'the page shows the three jobs sent');
    await page.waitForFunction(() => document.querySelector('#live:not(.off)'));
    await page.evaluate(() => { window.notReloaded = true; });

    const sent = Date.now();
    await talk(port, receipt(4));
    await page.waitForFunction(() => document.querySelectorAll('.job').length === 4, { timeout: 10000 });
    const took = Date.now() - sent;
    check(took < 1000 && await page.evaluate(() => window.notReloaded === true),
      `a fourth job appears without a reload, ${took} ms after it was sent`);
    check(await page.$eval('.job .title', (t) => t.textContent) === 'network · job-0004',
      'newest first');
    await page.waitForFunction(() => {
      const img = document.querySelector('.job .paper');
      return img.complete && img.naturalWidth > 0;
    });
    check(await page.$eval('.job .paper', (img) => img.naturalWidth) === 576, 'its picture loads');
    await page.waitForFunction(() => document.querySelector('.job .symbols p'));
    check((await page.$eval('.job .symbols', (s) => s.textContent)).includes('shop.example/r/4'),
      "its symbols' data shows");
    if (mode === '--screenshot') {
      await page.screenshot({ path: out });
      return;
    }
    check(await page.evaluate(() => document.documentElement.scrollWidth <= 375),
      "it reads on a phone's width without scrolling sideways");
    const set = await fetch(`${url}api/printers/network/set`, { method: 'POST', body: 'paper-out on' });
    check(set.ok, 'the API takes a paper-out');
    await page.waitForFunction(() =>
      document.querySelector('.printer .state').textContent.includes('paper out'));
    check(true, 'the page shows the paper out');
    const status = (await talk(port, Buffer.from([0x10, 0x04, 0x04]), 1))[0];
    check((status & 0x60) === 0x60, `DLE EOT 4 answers paper out (0x${status.toString(16)})`);
  } finally {
    if (browser) await browser.close();
    if (printer.exitCode === null && printer.signalCode === null) {
      const exited = new Promise((resolve) => printer.once('exit', resolve));
      printer.kill('SIGTERM');
      await exited;
    }
  }
})().then(() => { fs.rmSync(work, { recursive: true, force: true }); process.exitCode = 0; },
  (e) => { console.error(`FAILED: ${e.message}`); process.exitCode = 1; });
