// Takes a screenshot of the controller page once it shows a frame of the
// display: node screenshot.js URL FILE [--chromium /usr/bin/chromium]
'use strict';

const { chromium } = require('playwright-core');

async function main() {
  const [url, file] = process.argv.slice(2);
  const at = process.argv.indexOf('--chromium');
  const browser = await chromium.launch({
    executablePath: at > 0 ? process.argv[at + 1] : '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking'],
  });
  const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  await page.goto(url);
  // The image is blank, and clear, until the first frame is drawn on it.
  await page.waitForFunction(() => document.getElementById('screen').getContext('2d')
      .getImageData(0, 0, 1, 1).data[3] === 255);
  await page.waitForTimeout(500);
  await page.screenshot({ path: file });
  await browser.close();
}

main().catch((error) => {
  console.error(error.message);
  process.exit(1);
});
