// Saves a picture of the g1 serve page in a turn, once its charts hold some of the flight (for
// ./run demo): when the flight's time has reached FLIGHT_S and the bank is steep. If that never
// comes within LIMIT_S, or the demo says the flight has ended (SIGUSR2), the picture is taken
// then, and it says so.
// Usage: node screenshot.mjs URL OUT.png [WIDTHxHEIGHT] [FLIGHT_S] [LIMIT_S]
import { launchBrowser } from './browser.mjs';

const TURN_BANK_DEG = 20;
const [url, out, size = '1280x900', flight = '8', limit = '60'] = process.argv.slice(2);
if (!url || !out) {
  console.error('usage: node screenshot.mjs URL OUT.png [WIDTHxHEIGHT] [FLIGHT_S] [LIMIT_S]');
  process.exit(2);
}
const [width, height] = size.split('x').map(Number);
// No turn comes after the flight's end: the demo says when, and the picture is taken at once.
const ended = new Promise((resolve) => process.on('SIGUSR2', () => resolve(false)));
const { context, close } = await launchBrowser();
try {
  const page = await context.newPage();
  await page.setViewportSize({ width, height });
  await page.goto(url);
  await page.waitForSelector('[data-stat="state"][data-state="live"]', { timeout: 60000 });
  const inTurn = await Promise.race([page.waitForFunction(([after, bank]) =>
    view.values !== null && view.values[at.time] >= after && Math.abs(view.values[at.bank]) >= bank,
  [Number(flight), TURN_BANK_DEG], { timeout: Number(limit) * 1000, polling: 50 })
    .then(() => true, () => false), ended]);
  await page.screenshot({ path: out, fullPage: true });
  const shown = await page.evaluate(() => view.values &&
    `${view.values[at.time]} s, bank ${view.values[at.bank]} deg`);
  console.log(`screenshot: ${out} at ${shown}${inTurn ? '' : ' (no turn came after ' + flight + ' s)'}`);
} finally {
  await close();
}
