// Debian's Chromium, headless, for the page of g1 serve: no browser download, no network but
// what the page asks for, a fresh profile every time.
import { chromium } from 'playwright-core';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

export const CHROMIUM = '/usr/bin/chromium';

// Returns { context, close }: pages come from context.newPage(); close() ends the browser and
// removes its profile (a new empty --user-data-dir, which Playwright passes itself).
export async function launchBrowser() {
  const profile = mkdtempSync(join(tmpdir(), 'g1-serve-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    args: [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
    ],
  });
  return {
    context,
    close: async () => {
      await context.close();
      rmSync(profile, { recursive: true, force: true });
    },
  };
}
