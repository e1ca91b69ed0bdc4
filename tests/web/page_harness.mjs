// What every browser's test of the page shares: the carts, the native
// Frennick's run of each, the page served over HTTP, a display for browsers
// that need a window, the page's hooks read the same way, and the report.
// A browser's test gives a driver: { open(url), choose(path), evaluate(js),
// click(selector) }, where `js` is an expression whose value (a promise is
// awaited) comes back.
import { execFileSync, spawn, spawnSync } from "node:child_process";
import { createHash } from "node:crypto";
import {
  appendFileSync, createReadStream, existsSync, mkdtempSync, readFileSync, renameSync, rmSync, truncateSync,
  utimesSync, writeFileSync,
} from "node:fs";
import { createServer } from "node:http";
import { tmpdir } from "node:os";
import { basename, dirname, join } from "node:path";
import assert from "node:assert/strict";

export const PAGE_FILE = process.env.FRENNICK_PAGE || "";
export const PAGE = 8192;
export { assert };

export function skip(why) {
  console.log(`skipped: ${why}`);
  process.exit(77);
}

// A case that cannot run here, listed with its reason where CI gathers
// every skipped case.
export function skipCase(name, why) {
  const line = `skipped: ${process.argv[1].split("/").pop()}: ${name}: ${why}`;
  console.log(line);
  if (process.env.FRENNICK_BUILD_DIR) {
    appendFileSync(join(process.env.FRENNICK_BUILD_DIR, "skipped-cases.txt"), line + "\n");
  }
}

// Whether these programs are all installed; the first missing one is
// named in the case's skip.
export function installed(name, programs) {
  for (const [program, package_] of programs) {
    if (spawnSync("which", [program]).status !== 0) {
      skipCase(name, `${program} is not installed (Debian: ${package_})`);
      return false;
    }
  }
  return true;
}
// Exits 77 with the first thing missing.
export function need({ programs = [], files = [] } = {}) {
  if (!existsSync(PAGE_FILE)) skip("the page was not built: emscripten is not installed (Debian: emscripten)");
  for (const [path, package_] of files) {
    if (!existsSync(path)) skip(`${path} is not installed (Debian: ${package_})`);
  }
  for (const [program, package_] of programs) {
    if (spawnSync("which", [program]).status !== 0) skip(`${program} is not installed (Debian: ${package_})`);
  }
}

export async function load(module, hint) {
  try {
    return (await import(module)).default;
  } catch {
    return skip(`${module} is not installed: ${hint}`);
  }
}

export const work = mkdtempSync(join(tmpdir(), "frennick-page-"));
export const path = (name) => join(work, name);
export const sha256 = (bytes) => createHash("sha256").update(bytes).digest("hex");

export function makeCart(name, ...options) {
  execFileSync(process.env.MAKE_DEMO_CART, [path(name), ...options], { stdio: "ignore" });
  return readFileSync(path(name));
}

// What the native Frennick prints and leaves for these bytes.
export function native(bytes) {
  writeFileSync(path("native.bin"), bytes);
  const run = spawnSync(process.env.FRENNICK, [path("native.bin")], { encoding: "utf8" });
  return { words: run.stdout, bytes: readFileSync(path("native.bin")) };
}

// Pixels that change from each page to the next, from page 2 on: what the
// page plots, worked out here on its own.
const PIXELS = [];
for (let band = 0; band < 4; ++band) {
  for (let row = 0; row < 192; ++row) {
    for (let column = 0; column < 4; ++column) PIXELS.push(33 + 1922 * band + 5 * row + column);
  }
}
const bits = (byte) => { let n = 0; for (; byte; byte &= byte - 1) ++n; return n; };
export function pixelChanges(cart) {
  const counts = [];
  for (let n = 2; (n + 1) * PAGE <= cart.length; ++n) {
    let sum = 0;
    for (const p of PIXELS) sum += bits(cart[(n - 1) * PAGE + p] ^ cart[n * PAGE + p]);
    counts.push(sum);
  }
  return counts;
}

// The carts every browser runs, and what the page must say of each besides
// the tool's own lines (COPY: that there is a copy, in the words for where
// it is kept).
export const COPY = null;
export function cartTable() {
  const video = makeCart("video.bin", "--pages", "80", "--seed", "3");
  const tailed = makeCart("tail.bin", "--pages", "40", "--tail", "777");
  const bad = Buffer.from(video);
  bad[PAGE + 15] ^= 1;
  return {
    random: [makeCart("random.bin", "--random", "--pages", "67", "--seed", "2"), COPY],
    video: [video, COPY],
    tail: [tailed, COPY],
    "already matched": [native(tailed).bytes, "nothing needed changing, so there is no copy"],
    "two pages": [makeCart("two.bin", "--pages", "2"), "there was nothing to examine, and there is no copy"],
    "too short": [video.subarray(0, 2 * PAGE - 1), "is too short"],
    "no signature": [bad, "is not a video cart"],
  };
}

// The page's folder over HTTP on this machine, as any static server gives
// it, and the test copy of the page (see hookedPage).
export async function serve() {
  const server = createServer((request, response) => {
    const name = basename(decodeURIComponent(new URL(request.url, "http://x").pathname));
    const file = [join(dirname(PAGE_FILE), name), join(work, name)].find(existsSync);
    if (!file) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { "content-type": file.endsWith(".html") ? "text/html" : "application/octet-stream" });
    createReadStream(file).pipe(response);
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  return { url: `http://127.0.0.1:${server.address().port}/${basename(PAGE_FILE)}`, close: () => server.close() };
}

// A copy of the page with the test hooks of page_hooks.js in it, in the
// work folder: its address from `base` (file:// or the server's, whose
// name it takes), with these hooks.
export const HOOKED = "frennick-test.html";
export function hooked(base, hooks) {
  const file = path(HOOKED);
  if (!existsSync(file)) {
    const page = readFileSync(PAGE_FILE, "utf8");
    const hooks = readFileSync(new URL("page_hooks.js", import.meta.url), "utf8");
    const main = '<script>\n"use strict";\n(() => {';
    assert.ok(page.includes(main), "the page's own script not found");
    writeFileSync(file, page.replace(main, () => `<script>\n${hooks}</script>\n${main}`));
  }
  const url = base.startsWith("file:") ? "file://" + file : base.replace(/[^/]*$/, HOOKED);
  return `${url}?hooks=${encodeURIComponent(JSON.stringify(hooks))}`;
}

// An X display of its own (Xvfb), for a browser in a real window.
export async function display() {
  const xvfb = spawn("Xvfb", ["-displayfd", "3", "-screen", "0", "1280x900x24", "-nolisten", "tcp"],
                     { stdio: ["ignore", "ignore", "ignore", "pipe"] });
  const number = await new Promise((resolve, reject) => {
    let text = "";
    xvfb.stdio[3].on("data", (chunk) => {
      text += chunk;
      if (text.includes("\n")) resolve(text.trim());
    });
    xvfb.on("exit", () => reject(new Error("Xvfb did not start")));
  });
  return { name: `:${number}`, stop: () => xvfb.kill() };
}

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// The browser's folder dialog on `screen`, answered with `typed` (a
// folder's path, or whatever the test types) in its location field and a
// click on its Open button; then, if the browser asks whether the page may
// edit files there (`pending`, an expression, stays true in the page), its
// question, its focus on "Don't Allow", answered "Allow".
export async function answerFolderDialog(screen, typed, driver,
  pending = "document.body.dataset.state === 'asking'") {
  const x = (...args) => execFileSync("xdotool", args, { env: { ...process.env, DISPLAY: screen.name } })
    .toString().trim();
  let dialog = "";
  for (let tries = 0; !dialog && tries < 100; ++tries) {
    await sleep(100);
    try {
      dialog = x("search", "--onlyvisible", "--name", "can save changes").split("\n")[0];
    } catch {
      // not up yet
    }
  }
  assert.ok(dialog, "no folder dialog");
  await sleep(300);
  x("key", "ctrl+l");
  await sleep(300);
  x("type", typed);
  await sleep(300);
  const geometry = Object.fromEntries(x("getwindowgeometry", "--shell", dialog).split("\n")
    .map((line) => line.split("=")));
  x("mousemove", String(+geometry.X + +geometry.WIDTH - 50), String(+geometry.Y + +geometry.HEIGHT - 24),
    "click", "1");
  await sleep(1500);
  if (await driver.evaluate(pending)) x("key", "Tab", "Return");
}

// Debian's chromium as puppeteer-core starts it: as root there is no
// sandbox, and the network flags keep it from reaching out. In a window on
// `screen` (Xvfb) with `home` as its home folder, else headless.
export function chromiumOptions(screen = null, home = null) {
  return {
    executablePath: "/usr/bin/chromium", headless: !screen,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync",
           ...(screen ? ["--window-size=1200,850", "--window-position=0,0"] : [])],
    env: { ...process.env, ...(screen ? { DISPLAY: screen.name, HOME: home } : {}) },
  };
}

export async function waitFor(driver, expression, timeout = 120000) {
  const deadline = Date.now() + timeout;
  for (;;) {
    const value = await driver.evaluate(expression);
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${expression}`);
    await sleep(50);
  }
}

export const IDLE = "document.readyState === 'complete' && document.body.dataset.state === 'idle'";
export const ENDED = "['done', 'cancelled'].includes(document.body.dataset.state)";

// What the page shows after a run, through its stable hooks; `digest` is
// the sha256 of the copy behind a[download], or of the copy saved in a
// chosen folder (`window.savedCopy`, see CHOSEN_FOLDER).
export const SHOWN = `(async () => {
  const link = document.querySelector('a[download]');
  let bytes = null;
  if (link.href && !link.hidden) bytes = await (await fetch(link.href)).arrayBuffer();
  else if (window.savedCopy) bytes = window.savedCopy;
  let digest = null;
  if (bytes) {
    digest = Array.from(new Uint8Array(await crypto.subtle.digest('SHA-256', bytes)),
                        (b) => b.toString(16).padStart(2, '0')).join('');
  }
  const folder = window.folderFiles && window.folderFiles.size ? Array.from(window.folderFiles.keys()) : null;
  return { state: document.body.dataset.state, words: document.getElementById('messages').textContent, folder,
           notice: document.getElementById('notice').textContent, name: link.download, digest,
           kept: document.body.dataset.copy || null, plotted: window.frennick.plotted || null,
           offered: Boolean(link.href) && !link.hidden };
})()`;

// The browser's folder dialog played by a folder of files in the page's
// memory (`window.folderFiles`, name to bytes; `window.savedCopy`, the copy
// under its final name), where no dialog can be answered (a headless
// browser). A write of a view of a larger buffer writes that whole buffer,
// from its start, as WebKit's writable streams do. Knobs: `folderRoom`,
// the bytes it takes before a write fails as a full disk's does;
// `folderLoses`, the number of a write it loses; `folderIsAFile`, the
// choice of a file's path, which Chromium gives as a folder that cannot be
// listed.
export const CHOSEN_FOLDER = `(() => {
  const files = window.folderFiles = new Map();
  window.savedCopy = null;
  window.folderRoom = Infinity;
  let writes = 0;
  const asBytes = (data) => ArrayBuffer.isView(data) ? new Uint8Array(data.buffer) : new Uint8Array(data);
  const file = (name) => ({
    kind: 'file',
    get name() { return name; },
    async getFile() { return new File([files.get(name)], name); },
    async createWritable() {
      let data = new Uint8Array(0);
      return {
        async write({ position, data: given }) {
          const bytes = asBytes(given);
          if (++writes === window.folderLoses) return;
          if (position + bytes.length > window.folderRoom) {
            throw new DOMException('The operation failed because it would cause the application to exceed its storage quota.', 'QuotaExceededError');
          }
          if (position + bytes.length > data.length) {
            const grown = new Uint8Array(position + bytes.length);
            grown.set(data);
            data = grown;
          }
          data.set(bytes, position);
        },
        async close() { files.set(name, data); },
        async abort() {},
      };
    },
    async move(to) {
      files.set(to, files.get(name));
      files.delete(name);
      name = to;
      window.savedCopy = files.get(to);
    },
    async remove() { files.delete(name); },
  });
  const folder = {
    kind: 'directory', name: 'chosen',
    async *keys() {
      if (window.folderIsAFile) throw new DOMException('not a folder', 'TypeMismatchError');
      yield* files.keys();
    },
    async getFileHandle(name, { create = false } = {}) {
      if (!files.has(name)) {
        if (!create) throw new DOMException('no such file', 'NotFoundError');
        files.set(name, new Uint8Array(0));
      }
      return file(name);
    },
    async removeEntry(name) { files.delete(name); },
  };
  window.showDirectoryPicker = async () => folder;
  return true;
})()`;

// The copy's name, as the page gives it.
export const copyName = (name) => name.replace(/(\.[^.]*)?$/, " (processed)$1");

// One run of a cart chosen in the page's one file input, to its end; where
// the page asks for a folder for the copy, the user answers.
export async function runChosen(driver, file) {
  await driver.choose(file);
  await waitFor(driver, `${ENDED} || document.body.dataset.state === 'asking'`);
  if (await driver.evaluate("document.body.dataset.state === 'asking'")) {
    await driver.click("#save-as");
    await waitFor(driver, ENDED);
  }
  return driver.evaluate(SHOWN);
}

// The table of carts through the page's file input: the tool's words and
// bytes, the notice, the copy under its own name, kept as `kept` says, and
// the plot of what changes from page to page.
export async function checkCartTable(report, driver, label, { carts, kept, before = null }) {
  for (const [kind, [data, notice]] of Object.entries(carts)) {
    if (before) await driver.evaluate(before);
    writeFileSync(path("cart.bin"), data);
    const shown = await runChosen(driver, path("cart.bin"));
    const expected = native(data);
    await report.check(`${label}: ${kind}`, () => {
      assert.equal(shown.state, "done");
      assert.equal(shown.words, expected.words);
      const said = notice !== COPY ? notice
        : kept === "chosen folder" ? "The processed copy was saved as cart (processed).bin in the folder you chose"
          : "save the processed copy below, as cart (processed).bin";
      assert.ok(shown.notice.includes(said), shown.notice);
      if (kept === "blobs" && notice === COPY) assert.match(shown.notice, /about \d+ MiB of memory/);
      if (Buffer.compare(expected.bytes, data) !== 0) {
        assert.equal(shown.digest, sha256(expected.bytes), "the copy differs from the native run's cart");
        if (kept !== "chosen folder") assert.equal(shown.name, "cart (processed).bin");
        assert.equal(shown.kept, kept);
        assert.deepEqual(shown.plotted, { before: pixelChanges(data), after: pixelChanges(expected.bytes) });
      } else {
        assert.equal(shown.digest, null, "a copy offered with nothing changed");
      }
    });
  }
}

// A cart changed on disk by another program while a run reads it, each
// way, on a 16 MiB cart whose run pauses at 4 MiB (the page's reader takes
// 8 MiB slices: the change comes after the first) until the change is
// made. `unseen`: the changes this engine cannot see, for which the copy
// must be exactly the cart's as it was chosen. Anything else must stop the
// run with no copy, and say that the cart changed, or went, during it.
export const CHANGES = {
  truncated: (file) => truncateSync(file, 6 << 20),
  "appended to": (file) => appendFileSync(file, Buffer.alloc(PAGE, 1)),
  touched: (file) => {
    const later = new Date(Date.now() + 5000);
    utimesSync(file, later, later);
  },
  removed: (file) => rmSync(file),
  replaced: (file) => {
    writeFileSync(`${file}.new`, Buffer.alloc(16 << 20, 0x5A));
    renameSync(`${file}.new`, file);
  },
};
export async function checkChangesUnderRun(report, driver, label, url, { unseen = [], before = null } = {}) {
  const data = makeCart("changing.bin", "--random", "--pages", "2048", "--seed", "6");
  const expected = native(data);
  for (const [change, make] of Object.entries(CHANGES)) {
    await report.check(`${label}: the cart ${change} during the run`, async () => {
      writeFileSync(path("changing.bin"), data);
      // Its time a minute back: WebKit sees a change only in another second.
      const earlier = new Date(Date.now() - 60000);
      utimesSync(path("changing.bin"), earlier, earlier);
      await driver.open(hooked(url, { pauseAt: 4 << 20 }));
      if (before) await driver.evaluate(before);
      await driver.choose(path("changing.bin"));
      // A folder for the copy is asked for with the first pages, before the pause.
      await waitFor(driver, "window.testPaused === true || document.body.dataset.state === 'asking'");
      if (await driver.evaluate("document.body.dataset.state === 'asking'")) await driver.click("#save-as");
      await waitFor(driver, "window.testPaused === true");
      make(path("changing.bin"));
      await driver.evaluate("window.testRelease(), true");
      await waitFor(driver, ENDED);
      const shown = await driver.evaluate(SHOWN);
      if (unseen.includes(change)) {
        assert.equal(shown.words, expected.words);
        assert.equal(shown.digest, sha256(expected.bytes));
      } else {
        assert.equal(shown.words, "");
        assert.match(shown.notice, /^changing\.bin (changed on disk|was changed, moved or removed) during the run, so the run stopped and there is no copy/);
        assert.equal(shown.digest, null, "a copy offered");
        assert.equal(shown.folder, null, "something left in the chosen folder");
      }
    });
  }
}

// ok/FAIL lines, and the exit status at the end. FRENNICK_WEB_ONLY, a
// regular expression, runs only the checks whose names it matches.
export function reporter() {
  let passed = 0;
  let failed = 0;
  const only = new RegExp(process.env.FRENNICK_WEB_ONLY || "");
  return {
    async check(name, body) {
      if (!only.test(name)) return;
      try {
        await body();
        ++passed;
        console.log(`ok ${name}`);
      } catch (error) {
        ++failed;
        console.log(`FAIL ${name}: ${error.stack || error.message}`);
      }
    },
    finish() {
      console.log(`${passed} passed, ${failed} failed`);
      rmSync(work, { recursive: true, force: true });
      process.exit(failed || !passed ? 1 : 0);
    },
  };
}
