// SPDX-License-Identifier: Apache-2.0
// Drives the printer application's web pages in Debian's Chromium, as a
// person would: adds a network printer from the add-printer page, sets its
// printing defaults, and checks what the pages show.
//
//   node printing-defaults.mjs setup BASE_URL PRINTER HOST SHOT_DIR
//       adds PRINTER (a network printer at HOST) with the first model, sets
//       the darkest print density and card stock, and saves a screenshot of
//       its printing defaults into SHOT_DIR
//   node printing-defaults.mjs check BASE_URL PRINTER [SHOT_DIR]
//       checks that the printing defaults page shows those settings, and
//       saves a screenshot of the printer's page into SHOT_DIR if given
//
// Exits 0 when every step did what it should, 1 with the reason otherwise.
import { chromium } from 'playwright-core';

const [phase, base, printer, ...rest] = process.argv.slice(2);
const host = phase === 'setup' ? rest[0] : undefined;
const shotDir = phase === 'setup' ? rest[1] : rest[0];
const model = 'Tarnwel Mono Laser 20';
const density = 'Darkest';
const weight = 'Heavy (card stock, 120-163 g/m²)';
// Everything the printing defaults page must say, in words.
const expectedWords = [
  'Printer model:', model,
  'Paper size:', 'US Letter', 'A4',
  'Paper weight:', 'Plain (60-90 g/m²)', 'Thick (90-120 g/m²)', weight,
  'Two-sided printing:', 'Off', 'Long edge (turn pages like a book)',
  'Print density:', 'Lightest (saves toner)', 'Lighter', 'Normal', 'Darker', density,
];

function fail(message) {
  throw new Error(message);
}

async function expectText(page, text) {
  const body = await page.locator('body').innerText();
  if (!body.includes(text))
    fail(`${page.url()} does not show "${text}":\n${body}`);
}

async function setup(page) {
  await page.goto(`${base}/addprinter`);
  // PAPPL 1.3.1's labels of the name and driver fields point at no element.
  await page.locator('input[name=printer_name]').fill(printer);
  await page.getByLabel('Device').selectOption({ label: 'Network Printer' });
  await page.getByLabel('Hostname/IP Address').fill(host);
  await page.locator('select[name=driver_name]').selectOption({ label: model });
  await Promise.all([page.waitForURL(`${base}/${printer}`), page.getByRole('button', { name: 'Add Printer' }).click()]);
  await expectText(page, model);

  await page.goto(`${base}/${printer}/printing`);
  for (const words of expectedWords)
    await expectText(page, words);
  const body = await page.locator('body').innerText();
  if (/\d+%/.test(body))
    fail(`the printing defaults still show a percentage:\n${body}`);
  await page.getByLabel(density, { exact: true }).check();
  await page.getByLabel(weight).check();
  await Promise.all([page.waitForLoadState('load'), page.getByRole('button', { name: 'Save Changes' }).click()]);
  await page.waitForSelector('.banner');
  await expectText(page, 'Changes saved.');
  await check(page);
  await page.screenshot({ path: `${shotDir}/printing-defaults.png`, fullPage: true });
}

async function check(page) {
  await page.goto(`${base}/${printer}/printing`);
  if (!(await page.getByLabel(density, { exact: true }).isChecked()))
    fail(`print density "${density}" is not the printer's default`);
  if (!(await page.getByLabel(weight).isChecked()))
    fail(`paper weight "${weight}" is not the printer's default`);
  if (phase === 'check' && shotDir) {
    await page.goto(`${base}/${printer}/`);
    await expectText(page, model);
    await page.screenshot({ path: `${shotDir}/printer-page.png`, fullPage: true });
  }
}

const browser = await chromium.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium' });
let status = 0;
try {
  const page = await browser.newPage({ viewport: { width: 1000, height: 700 } });
  page.setDefaultTimeout(30000);
  if (phase === 'setup')
    await setup(page);
  else if (phase === 'check')
    await check(page);
  else
    fail(`unknown phase "${phase}"`);
} catch (e) {
  console.error(e.message);
  status = 1;
} finally {
  await browser.close();
}
process.exit(status);
