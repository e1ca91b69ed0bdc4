// The page in WebKit, Safari's engine: Debian's WebKitGTK MiniBrowser in a
// window under Xvfb, driven through WebKitWebDriver (WebDriver) by
// selenium-webdriver. The cart table runs from file:// and from http, with
// WebKit's defaults and with the features Safari ships (the origin's
// private file system, byte streams). WebDriver's sessions are ephemeral:
// there the private file system fails, and the copy is kept as blobs.
// Exits 77 (skipped) with the reason when what it needs is not installed.
import { spawn } from "node:child_process";
import { createServer } from "node:net";
import {
  ENDED, IDLE, SHOWN, assert, cartTable, checkCartTable, checkChangesUnderRun, display, hooked, load,
  makeCart, native, need, PAGE_FILE, path, reporter, serve, sha256, sleep, waitFor,
} from "./page_harness.mjs";

const MINIBROWSER = "/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser";
// What Safari has that WebKitGTK leaves off by default.
export const SAFARI_FEATURES =
  "--features=+FileSystem,+StorageAPI,+StorageAPIEstimate,+AccessHandle,+ReadableByteStreamAPI,+FileSystemWritableStream";

need({ programs: [["WebKitWebDriver", "webkit2gtk-driver"], ["Xvfb", "xvfb"]],
       files: [[MINIBROWSER, "libwebkit2gtk-4.1-0"]] });
process.env.SE_OFFLINE = "true";  // selenium-webdriver downloads nothing
const webdriver = await load("selenium-webdriver", "npm ci --prefix tests/web");

async function freePort() {
  const server = createServer();
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  const { port } = server.address();
  await new Promise((resolve) => server.close(resolve));
  return port;
}

// One MiniBrowser session, as a driver of the harness.
async function session(screen, features) {
  const port = await freePort();
  const service = spawn("WebKitWebDriver", [`--port=${port}`], {
    stdio: "ignore", env: { ...process.env, DISPLAY: screen.name } });
  let browser = null;
  for (let tries = 0; !browser; ++tries) {
    try {
      browser = await new webdriver.Builder().usingServer(`http://127.0.0.1:${port}`).withCapabilities({
        browserName: "MiniBrowser",
        "webkitgtk:browserOptions": { binary: MINIBROWSER, args: ["--automation", ...features] },
      }).build();
    } catch (error) {
      if (tries > 50) throw error;
      await sleep(100);
    }
  }
  await browser.manage().setTimeouts({ script: 300000 });
  const driver = {
    async open(url) {
      await browser.get(url);
      await waitFor(driver, IDLE);
    },
    async choose(file) {
      await browser.findElement(webdriver.By.css("input[type=file]")).sendKeys(file);
    },
    async evaluate(expression) {
      const { value, error } = await browser.executeAsyncScript(
        `const done = arguments[arguments.length - 1];
         Promise.resolve(${expression}).then((value) => done({ value }), (error) => done({ error: String(error) }));`);
      if (error) throw new Error(error);
      return value;
    },
    async click(selector) {
      await browser.findElement(webdriver.By.css(selector)).click();
    },
    async quit() {
      await browser.quit().catch(() => {});
      service.kill();
    },
  };
  return driver;
}

const report = reporter();
const screen = await display();
const server = await serve();
const carts = cartTable();
const big = native(makeCart("big.bin", "--random", "--pages", "2048", "--seed", "8"));
try {
  for (const [features, label] of [[[], "defaults"], [[SAFARI_FEATURES], "Safari's features"]]) {
    const driver = await session(screen, features);
    try {
      for (const [where, url] of [["file://", "file://" + PAGE_FILE], ["http", server.url]]) {
        await driver.open(url);
        await checkCartTable(report, driver, `WebKit, ${label}, ${where}`, { carts, kept: "blobs" });
        // The copy is kept in memory: the page says how much before the
        // run, and after it. From a file, the page reads for the Worker,
        // a few chunks ahead at most.
        await report.check(`WebKit, ${label}, ${where}: 16 MiB, the memory said first`, async () => {
          await driver.open(hooked(url, {}));
          assert.match(await driver.evaluate("document.getElementById('where').textContent"), /in its memory/);
          await driver.choose(path("big.bin"));
          const said = await waitFor(driver, "document.body.dataset.state === 'running' && document.getElementById('notice').textContent");
          assert.match(said, /about 16 MiB for big\.bin/);
          await waitFor(driver, ENDED);
          const shown = await driver.evaluate(SHOWN);
          assert.equal(shown.words, big.words);
          assert.equal(shown.digest, sha256(big.bytes));
          assert.match(shown.notice, /about 16 MiB of memory/);
          const most = await driver.evaluate("window.testMostInFlight");
          if (where === "file://") assert.ok(most >= 1 && most <= 4, `${most} chunks on their way at once`);
        });
        // WebKit refuses to read a file changed since it was chosen.
        if (features.length === 0) await checkChangesUnderRun(report, driver, `WebKit, ${label}, ${where}`, url);
      }
    } finally {
      await driver.quit();
    }
  }
} finally {
  server.close();
  screen.stop();
}
report.finish();
