// The page in Debian's firefox-esr, headless, driven through WebDriver BiDi
// by puppeteer-core: Firefox has no way to change a file in place, so every
// cart takes the copy, which it keeps in the origin's private file system,
// from file:// as from http; and carts changed on disk during a run, which
// Firefox reads as they are now. Exits 77 (skipped) with the reason when
// what it needs is not installed.
import {
  IDLE, PAGE_FILE, assert, cartTable, checkCartTable, checkChangesUnderRun, load, need, reporter, serve,
  waitFor,
} from "./page_harness.mjs";

const FIREFOX = "/usr/bin/firefox-esr";
need({ files: [[FIREFOX, "firefox-esr"]] });
const puppeteer = await load("puppeteer-core", "npm ci --prefix tests/web");

const report = reporter();
const server = await serve();
const browser = await puppeteer.launch({ browser: "firefox", executablePath: FIREFOX, headless: true });
try {
  const page = await browser.newPage();
  const logged = [];
  page.on("console", (message) => {
    if (["error", "warn"].includes(message.type())) logged.push(message.text());
  });
  page.on("pageerror", (error) => logged.push(error.message));
  const driver = {
    async open(url) {
      await page.goto(url);
      await waitFor(driver, IDLE);
    },
    choose: async (file) => (await page.$("input[type=file]")).uploadFile(file),
    evaluate: (expression) => page.evaluate(expression),
    click: (selector) => page.click(selector),
  };
  const carts = cartTable();
  for (const [where, url] of [["file://", "file://" + PAGE_FILE], ["http", server.url]]) {
    await driver.open(url);
    await checkCartTable(report, driver, `Firefox, ${where}`, { carts, kept: "private file" });
    // Firefox tells a page nothing of a file that grew or was touched:
    // the copy is the cart's as it was chosen.
    await checkChangesUnderRun(report, driver, `Firefox, ${where}`, url, { unseen: ["appended to", "touched"] });
  }
  await report.check("Firefox: a clean console", () => assert.deepEqual(logged, []));
} finally {
  await browser.close();
  server.close();
}
report.finish();
