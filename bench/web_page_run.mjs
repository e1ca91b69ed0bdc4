// Whole runs of the browser page in Debian's chromium or firefox-esr, run
// after run in one browser, against the browser's own floor in the same
// sitting (once the page's runs are done): the same cart read as the page
// reads it and the same bytes written to the same place, nothing matched. It samples the resident
// memory of every process of the browser every 50 ms, and gives the peak of
// each kind (the main process, the pages' renderers or content processes,
// the rest) above its idle figure before the first run; and checks the
// results against the native Frennick's, 64 MiB at a time (a copy kept in
// the browser only after the last run). The browser runs
// in a window under Xvfb, where Chromium's folder dialog is answered as a
// person would.
//
//   node bench/web_page_run.mjs [--browser chromium|firefox] [--runs N] [SIZE_MIB ...]
//                                                     default: chromium, 3 runs of 1024 2048
//
// Paths: "copy, file://" (Chromium: into a new file in a folder chosen in
// the dialog; Firefox: the private file system), "copy, http" (the private file
// system), "in place, http" (Chromium: a cart in the private file system
// rewritten through createWritable). Random carts, so that every page
// changes. Needs a release build with the page, puppeteer-core from
// tests/web (npm ci --prefix tests/web), xvfb and xdotool.
import { execFileSync } from "node:child_process";
import { createHash } from "node:crypto";
import { createRequire } from "node:module";
import { closeSync, mkdirSync, openSync, readdirSync, readFileSync, readSync, rmSync } from "node:fs";
import { join } from "node:path";
import { Worker } from "node:worker_threads";

const root = new URL("..", import.meta.url).pathname;
const require = createRequire(join(root, "tests/web/package.json"));
const puppeteer = require("puppeteer-core");
const build = join(root, "build/release");
process.env.FRENNICK_PAGE = join(build, "web-page/web/frennick.html");
const {
  answerFolderDialog, chromiumOptions, display, path, PAGE_FILE, serve, sleep, waitFor, work,
} = await import("../tests/web/page_harness.mjs");
const SLICE = 64 << 20;

const args = process.argv.slice(2);
const option = (name, fallback) => {
  const at = args.indexOf(name);
  return at < 0 ? fallback : args.splice(at, 2)[1];
};
const browserName = option("--browser", "chromium");
const runs = Number(option("--runs", "3"));
const sizes = args.length ? args.map(Number) : [1024, 2048];

// Resident KiB of the browser's processes, by kind.
function resident(browserPid) {
  const totals = { main: 0, pages: 0, other: 0 };
  for (const pid of readdirSync("/proc").filter((name) => /^\d+$/.test(name))) {
    try {
      const command = readFileSync(`/proc/${pid}/cmdline`, "utf8");
      let ancestor = Number(pid);
      while (ancestor > 1 && ancestor !== browserPid) {
        ancestor = Number(readFileSync(`/proc/${ancestor}/stat`, "utf8").split(") ")[1].split(" ")[1]);
      }
      if (ancestor !== browserPid) continue;
      const kind = Number(pid) === browserPid ? "main"
        : /--type=renderer|-isForBrowser|\btab$/.test(command.replace(/\0/g, " ").trim()) ? "pages" : "other";
      const line = readFileSync(`/proc/${pid}/status`, "utf8").split("\n").find((l) => l.startsWith("VmRSS:"));
      totals[kind] += Number(line.split(/\s+/)[1]);
    } catch {
      // gone meanwhile
    }
  }
  return totals;
}

// The peak of `resident` every 50 ms, in a thread of its own: sampling in
// the thread that talks to the browser starves it of DevTools replies, and
// the browser stalls mid-run.
function sampler(browserPid) {
  const thread = new Worker(`
    const { parentPort, workerData } = require("node:worker_threads");
    const resident = ${resident.toString()};
    const { readdirSync, readFileSync } = require("node:fs");
    let peak = resident(workerData);
    const timer = setInterval(() => {
      const now = resident(workerData);
      for (const kind in now) peak[kind] = Math.max(peak[kind], now[kind]);
    }, 50);
    parentPort.on("message", () => { clearInterval(timer); parentPort.postMessage(peak); });`,
  { eval: true, workerData: browserPid });
  return {
    stop: () => new Promise((resolve) => {
      thread.once("message", (peak) => thread.terminate().then(() => resolve(peak)));
      thread.postMessage("stop");
    }),
  };
}

// The floor, in the page: a Worker reads the cart as a stream; a copy in
// the private file system is written by the Worker with a sync access
// handle; a new file in the folder chosen in the dialog, or the cart in
// place, by the page through createWritable.
const FLOOR = `(async (mode) => {
  const source = \`onmessage = async ({ data: { file, mode } }) => {
    const reader = file.stream().getReader();
    let at = 0;
    if (mode === 'copy, private file') {
      const root = await navigator.storage.getDirectory();
      const access = await (await root.getFileHandle('floor.bin', { create: true })).createSyncAccessHandle();
      for (;;) { const { done, value } = await reader.read(); if (done) break;
        access.write(value, { at }); at += value.length; }
      access.flush(); access.close(); postMessage(null);
    } else {
      for (;;) { const { done, value } = await reader.read(); if (done) break;
        postMessage(value, [value.buffer]); }
      postMessage(null);
    }
  };\`;
  const worker = new Worker(URL.createObjectURL(new Blob([source], { type: 'text/javascript' })));
  const file = mode === 'in place' ? await window.cartHandle.getFile() : window.chosen;
  const began = performance.now();
  const writable = mode === 'in place' ? await window.cartHandle.createWritable({ keepExistingData: true })
    : mode === 'copy, chosen folder' ? await (await window.floorFolder.getFileHandle('floor.bin', { create: true }))
      .createWritable() : null;
  let at = 0, writing = Promise.resolve();
  await new Promise((resolve) => {
    worker.onmessage = ({ data }) => {
      if (writable && data) {
        const position = at; at += data.length;
        writing = writing.then(() => writable.write({ type: 'write', position, data }));
      } else {
        writing.then(resolve);
      }
    };
    worker.postMessage({ file, mode });
  });
  if (writable) await writable.close();
  worker.terminate();
  if (mode === 'copy, private file') await (await navigator.storage.getDirectory()).removeEntry('floor.bin');
  return performance.now() - began;
})`;

// Digests of the result, 64 MiB at a time: the copy behind a[download], or
// the cart in the private file system.
const DIGESTS = `(async (slice, inPlace) => {
  const link = document.querySelector('a[download]');
  const result = inPlace ? await window.cartHandle.getFile() : await (await fetch(link.href)).blob();
  const digests = [];
  for (let at = 0; at < result.size; at += slice) {
    const digest = await crypto.subtle.digest('SHA-256', await result.slice(at, at + slice).arrayBuffer());
    digests.push(Array.from(new Uint8Array(digest), (b) => b.toString(16).padStart(2, '0')).join(''));
  }
  return digests;
})`;

function sliceDigests(file) {
  const descriptor = openSync(file, "r");
  const bytes = Buffer.alloc(SLICE);
  const digests = [];
  for (let got; (got = readSync(descriptor, bytes, 0, SLICE, null)) > 0;) {
    digests.push(createHash("sha256").update(bytes.subarray(0, got)).digest("hex"));
  }
  closeSync(descriptor);
  return digests;
}

const screen = await display();
const home = path("home");
mkdirSync(home);
// Where copies are saved: not a folder that holds the home folder, which
// Chromium refuses.
const copies = path("copies");
mkdirSync(copies);
const copy = join(copies, "cart (processed).bin");
const server = await serve();
const paths = browserName === "chromium"
  ? [["copy, file://", "file://" + PAGE_FILE, "copy, chosen folder"], ["copy, http", server.url, "copy, private file"],
     ["in place, http", server.url, "in place"]]
  : [["copy, file://", "file://" + PAGE_FILE, "copy, private file"], ["copy, http", server.url, "copy, private file"]];
console.log(`${browserName}, ${runs} runs a path, one browser a path`);
console.log("| cart | path | run | page s | floor s | page / floor | main process | pages | other processes | result | native s |");
console.log("|---|---|---|---|---|---|---|---|---|---|---|");
try {
  for (const mib of sizes) {
    const cart = path("cart.bin");
    execFileSync(join(build, "demo/make_demo_cart"), [cart, "--random", "--pages", String(mib * 128)],
                 { stdio: "ignore" });
    execFileSync("cp", [cart, path("native.bin")]);
    const began = performance.now();
    execFileSync(join(build, "tool/Frennick"), [path("native.bin")], { stdio: "ignore" });
    const native = (performance.now() - began) / 1000;
    const expected = sliceDigests(path("native.bin"));
    rmSync(path("native.bin"));
    for (const [name, url, mode] of paths) {
      const browser = await puppeteer.launch(browserName === "chromium" ? chromiumOptions(screen, home)
        : { browser: "firefox", executablePath: "/usr/bin/firefox-esr", headless: false,
            env: { ...process.env, DISPLAY: screen.name } });
      const page = (await browser.pages())[0] || await browser.newPage();
      const driver = { evaluate: (expression) => page.evaluate(expression) };
      const pid = browser.process().pid;
      try {
        await page.goto(url);
        await waitFor(driver, "document.body.dataset.state === 'idle'", 60000);
        // Idle is the browser before its first run: a copy kept from one
        // run to the next counts in the next.
        await sleep(1000);
        const idle = resident(pid);
        const rows = [];
        for (let run = 1; run <= runs; ++run) {
          // The chosen file held back from the page, for the floor and in place.
          await page.evaluate(`window.chosen = undefined; document.querySelector('input[type=file]').value = '';
            window.addEventListener('change', (event) => {
            window.chosen = event.target.files[0]; event.stopImmediatePropagation(); }, { capture: true, once: true })`);
          await (await page.$("input[type=file]")).uploadFile(cart);
          await waitFor(driver, "window.chosen !== undefined");
          if (mode === "in place") {
            // The last run's exclusive hold on it may take a moment to go.
            await page.evaluate(`(async () => { const root = await navigator.storage.getDirectory();
              window.cartHandle = await root.getFileHandle('cart.bin', { create: true });
              for (let tries = 0; ; ++tries) {
                try {
                  const writable = await window.cartHandle.createWritable();
                  await writable.write(window.chosen); await writable.close(); return;
                } catch (error) {
                  if (tries > 50) throw error;
                  await new Promise((resolve) => setTimeout(resolve, 100));
                }
              } })()`);
          }
          const sampling = sampler(pid);
          const start = performance.now();
          await page.evaluate(mode === "in place"
            ? "window.cartHandle.getFile().then((file) => window.frennick.run(file, window.cartHandle)), true"
            : "window.frennick.run(window.chosen, null), true");
          if (mode === "copy, chosen folder") {
            await waitFor(driver, "document.body.dataset.state === 'asking'");
            rmSync(copy, { force: true });
            await page.click("#save-as");
            await answerFolderDialog(screen, copies + "/", driver);
          }
          await waitFor(driver, "document.body.dataset.state === 'done'", 3600000);
          const seconds = (performance.now() - start) / 1000;
          const peak = await sampling.stop();
          // Checked in the page only after the last run: reading the copy
          // back there would count in the next run's memory.
          const result = mode === "copy, chosen folder" ? sliceDigests(copy)
            : run === runs ? await page.evaluate(`(${DIGESTS})(${SLICE}, ${mode === "in place"})`) : null;
          const exact = !result ? "-" : JSON.stringify(result) === JSON.stringify(expected) ? "exact" : "DIFFERS";
          rmSync(copy, { force: true });
          const above = (kind) => ((peak[kind] - idle[kind]) / 1024).toFixed(0);
          rows.push([`| ${mib} MiB | ${name} | ${run} | ${seconds.toFixed(1)} |`,
                     `| ${above("main")} | ${above("pages")} | ${above("other")} | ${exact} | ${native.toFixed(1)} |`,
                     seconds]);
        }
        // The floor once the runs are done, so that nothing it leaves counts in them.
        if (mode === "copy, chosen folder") {
          await page.evaluate(`window.floorFolder = undefined; document.addEventListener('click', async () => {
            window.floorFolder = await showDirectoryPicker({ mode: 'readwrite' }); }, { once: true })`);
          await page.click("h1");
          await answerFolderDialog(screen, copies + "/", driver, "window.floorFolder === undefined");
          await waitFor(driver, "window.floorFolder !== undefined");
        }
        if (mode === "in place") {  // the cart as it was
          await page.evaluate(`(async () => { const writable = await window.cartHandle.createWritable();
            await writable.write(window.chosen); await writable.close(); })()`);
        }
        const floor = await page.evaluate(`${FLOOR}(${JSON.stringify(mode)})`) / 1000;
        rmSync(join(copies, "floor.bin"), { force: true });
        for (const [head, tail, seconds] of rows) {
          console.log(`${head} ${floor.toFixed(1)} | ${(seconds / floor).toFixed(2)} ${tail}`);
        }
      } finally {
        await browser.close();
      }
    }
    rmSync(cart);
  }
} finally {
  server.close();
  screen.stop();
  rmSync(work, { recursive: true, force: true });
}
