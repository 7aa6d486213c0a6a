// Saves a picture of the g1 serve page once it shows live data (for ./run demo).
// Usage: node screenshot.mjs URL OUT.png [WIDTHxHEIGHT] [MS_LIVE_FIRST]
import { launchBrowser } from './browser.mjs';

const [url, out, size = '1280x900', liveFirst = '3000'] = process.argv.slice(2);
if (!url || !out) {
  console.error('usage: node screenshot.mjs URL OUT.png [WIDTHxHEIGHT] [MS_LIVE_FIRST]');
  process.exit(2);
}
const [width, height] = size.split('x').map(Number);
const { context, close } = await launchBrowser();
try {
  const page = await context.newPage();
  await page.setViewportSize({ width, height });
  await page.goto(url);
  await page.waitForSelector('[data-stat="state"][data-state="live"]', { timeout: 60000 });
  await page.waitForTimeout(Number(liveFirst));  // some strip chart
  await page.screenshot({ path: out, fullPage: true });
  console.log(`screenshot: ${out}`);
} finally {
  await close();
}
