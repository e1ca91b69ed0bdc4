// The page in Debian's chromium, driven through the DevTools protocol by
// puppeteer-core, as a person would use it: headless for the cart table
// (from file://, where a copy goes into a file the user chooses, and from
// http, where the browser keeps it), the in-place cases, a cancelled run, a
// cart changed on disk and a clean console; then in a window under Xvfb, a
// cart on disk dropped onto the page and changed in place, the browser's
// question answered from the keyboard, and a copy saved through the real
// "save as" dialog. Exits 77 (skipped) with the reason when what it needs
// is not installed.
import { execFileSync } from "node:child_process";
import { mkdirSync, readFileSync, statSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import {
  CHOSEN_FILE, ENDED, IDLE, PAGE_FILE, SHOWN, answerSaveDialog, assert, cartTable, checkCartTable,
  chromiumOptions, display, installed, load,
  makeCart, native, need, path, reporter, serve, sha256, sleep, waitFor,
} from "./page_harness.mjs";

need({ files: [["/usr/bin/chromium", "chromium"]] });
const puppeteer = await load("puppeteer-core", "npm ci --prefix tests/web");

async function launch(screen = null) {
  const browser = await puppeteer.launch(chromiumOptions(screen, path("home")));
  const page = (await browser.pages())[0];
  const driver = {
    page,
    browser,
    async open(url) {
      await page.goto(url);
      await waitFor(driver, IDLE);
    },
    async choose(file) {
      const inputs = await page.$$("input[type=file]");
      assert.equal(inputs.length, 1, "exactly one file input");
      await inputs[0].uploadFile(file);
    },
    evaluate: (expression) => page.evaluate(expression),
    click: (selector) => page.click(selector),
  };
  return driver;
}

// The cart chosen in the file input, held back from the page's own handler
// (and copied into a file of the origin's private file system: a file the
// page may write in place with no prompt, which a headless browser cannot
// answer).
async function keepTheChoice(driver, file, { private: intoPrivate = true } = {}) {
  await driver.evaluate(`window.addEventListener('change', (event) => {
    window.chosen = event.target.files[0]; event.stopImmediatePropagation();
  }, { capture: true, once: true }), true`);
  await driver.choose(file);
  await waitFor(driver, "window.chosen !== undefined");
  if (intoPrivate) {
    await driver.evaluate(`(async () => {
      const root = await navigator.storage.getDirectory();
      window.cartHandle = await root.getFileHandle('cart.bin', { create: true });
      const writable = await window.cartHandle.createWritable();
      await writable.write(window.chosen);
      await writable.close();
      return true;
    })()`);
  }
}

const PRIVATE_FILE_DIGEST = `(async () => {
  const bytes = await (await window.cartHandle.getFile()).arrayBuffer();
  const digest = new Uint8Array(await crypto.subtle.digest('SHA-256', bytes));
  return Array.from(digest, (b) => b.toString(16).padStart(2, '0')).join('');
})()`;
const RUN_IN_PLACE = "window.cartHandle.getFile().then((file) => window.frennick.run(file, window.cartHandle)), true";
const MODIFIED = "window.cartHandle.getFile().then((file) => file.lastModified)";

// The plot's lines: every point inside its frame, clear of the edges, and
// the "before" line wider than "after", so that both show where they lie
// on each other.
const PLOT = `(() => {
  const frame = document.querySelector('#plot rect.frame');
  const [left, top] = [+frame.getAttribute('x'), +frame.getAttribute('y')];
  const [right, bottom] = [left + +frame.getAttribute('width'), top + +frame.getAttribute('height')];
  const lines = {};
  for (const line of document.querySelectorAll('#plot polyline')) {
    const width = +line.getAttribute('stroke-width');
    const points = line.getAttribute('points').split(' ').map((p) => p.split(',').map(Number));
    lines[line.getAttribute('class')] = {
      width,
      inside: points.every(([x, y]) => x - width / 2 > left && x + width / 2 < right &&
                                       y - width / 2 > top && y + width / 2 < bottom),
    };
  }
  return { visible: !document.getElementById('figure').hidden, lines };
})()`;

const report = reporter();
const server = await serve();
const carts = cartTable();

// Headless.
{
  const driver = await launch();
  try {
    for (const [engine, query] of [["simd128", ""], ["bytewise", "?simd=off"]]) {
      await driver.open("file://" + PAGE_FILE + query);
      await report.check(`file://${query}: the ${engine} engine`, async () =>
        assert.match(await driver.evaluate("document.getElementById('engine').textContent"), new RegExp(engine)));
      await checkCartTable(report, driver, `file://${query}`, { carts, kept: "chosen file", before: CHOSEN_FILE });
    }
    await driver.open(server.url);
    await checkCartTable(report, driver, "http", { carts, kept: "private file" });

    await report.check("http: a copy saves once the original has changed; a zero-patch plot shows", async () => {
      const [data] = carts.random;
      const expected = native(data);
      writeFileSync(path("cart.bin"), data);
      await driver.choose(path("cart.bin"));
      await waitFor(driver, ENDED);
      writeFileSync(path("cart.bin"), data.subarray(0, 100));
      assert.equal((await driver.evaluate(SHOWN)).digest, sha256(expected.bytes));
      writeFileSync(path("cart.bin"), expected.bytes);
      await driver.choose(path("cart.bin"));
      await waitFor(driver, ENDED);
      assert.match((await driver.evaluate(SHOWN)).words, / 0 patches /);
      const plot = await driver.evaluate(PLOT);
      assert.ok(plot.visible);
      assert.ok(plot.lines.before.inside && plot.lines.after.inside, JSON.stringify(plot));
      assert.ok(plot.lines.before.width > plot.lines.after.width + 2, JSON.stringify(plot));
    });

    // A quota set through DevTools binds the writes but not the estimate:
    // the copy runs out of room as it is written.
    await report.check("http: the private file system out of room for the copy: said so; no probe left", async () => {
      const names = await driver.evaluate(`(async () => {
        const names = [];
        for await (const name of (await navigator.storage.getDirectory()).keys()) names.push(name);
        return names;
      })()`);
      assert.deepEqual(names.filter((name) => name.includes("probe")), []);
      makeCart("roomless.bin", "--random", "--pages", "256", "--seed", "5");
      const origin = new URL(server.url).origin;
      const session = await driver.page.createCDPSession();
      await session.send("Storage.overrideQuotaForOrigin", { origin, quotaSize: 1 << 20 });
      try {
        await driver.choose(path("roomless.bin"));
        await waitFor(driver, ENDED);
        const shown = await driver.evaluate(SHOWN);
        assert.match(shown.notice, /has no room left for the processed copy of roomless\.bin/);
        assert.equal(shown.digest, null);
      } finally {
        await session.send("Storage.overrideQuotaForOrigin", { origin });
      }
    });

    await report.check("file://: a dropped cart gives a copy in a file the user chooses", async () => {
      await driver.open("file://" + PAGE_FILE);
      await driver.evaluate(CHOSEN_FILE);
      const data = makeCart("dropped.bin", "--pages", "50", "--tail", "10");
      await keepTheChoice(driver, path("dropped.bin"), { private: false });
      await driver.evaluate(`(() => { const carried = new DataTransfer(); carried.items.add(window.chosen);
        document.dispatchEvent(new DragEvent('drop', { dataTransfer: carried, cancelable: true })); return true; })()`);
      await waitFor(driver, "document.body.dataset.state === 'asking'");
      await driver.click("#save-as");
      await waitFor(driver, ENDED);
      const shown = await driver.evaluate(SHOWN);
      const expected = native(data);
      assert.equal(shown.words, expected.words);
      assert.equal(shown.digest, sha256(expected.bytes));
      assert.match(shown.notice, /saved as dropped\.bin; dropped\.bin itself was not changed/);
    });

    // In place goes through createWritable(): the cart is replaced only
    // when the run closes it, and opened for writing only once a page has
    // changed. Served over HTTP, as from any web server.
    const data = makeCart("cart.bin", "--pages", "90", "--tail", "300", "--seed", "9");
    const expected = native(data);
    const countOpenings = `(() => { const real = window.cartHandle.createWritable.bind(window.cartHandle);
      window.openings = 0; window.cartHandle.createWritable = (...how) => { ++window.openings; return real(...how); };
      return true; })()`;
    const refuse = `(() => { window.cartHandle.createWritable = async () => {
      throw new DOMException('no', 'NotAllowedError'); }; return true; })()`;
    const hold = `window.cartHandle.createWritable({ keepExistingData: true, mode: 'exclusive' })
      .then((held) => { window.held = held; return true; })`;
    for (const [name, cart, setup, words, notice, after, opened] of [
      ["changed", data, countOpenings, expected.words, "cart.bin was changed in place.", expected.bytes, 1],
      ["already matched", expected.bytes, countOpenings, expected.words.replace(/ \d+ patches fixing \d+ pixels/, " 0 patches fixing 0 pixels").replace(/\(\d+%\)/, "(0%)"),
       "nothing needed changing, so the cart was not written", expected.bytes, 0],
      ["permission refused", data, refuse, expected.words, "Permission to change cart.bin was refused", data, null],
      ["in use by another tab", data, hold, "", "being changed by another tab", data, null],
    ]) {
      await report.check(`in place: ${name}`, async () => {
        await driver.open(server.url);
        writeFileSync(path("cart.bin"), cart);
        await keepTheChoice(driver, path("cart.bin"));
        await driver.evaluate(setup);
        const modified = await driver.evaluate(MODIFIED);
        await driver.evaluate(RUN_IN_PLACE);
        await waitFor(driver, ENDED);
        const shown = await driver.evaluate(SHOWN);
        assert.equal(shown.words, words);
        assert.ok(shown.notice.includes(notice), shown.notice);
        assert.equal(await driver.evaluate(PRIVATE_FILE_DIGEST), sha256(after));
        if (opened !== null) assert.equal(await driver.evaluate("window.openings"), opened);
        if (name === "already matched") assert.equal(await driver.evaluate(MODIFIED), modified);
        if (name === "permission refused") {
          assert.equal(shown.digest, sha256(expected.bytes));
        } else {
          assert.ok(!shown.offered, "a copy offered after an in-place run");
        }
      });
    }

    await report.check("a cancelled run of 128 MiB, and a second cart while it runs", async () => {
      const big = makeCart("big.bin", "--random", "--pages", "16384", "--seed", "4");
      await driver.open(server.url);
      await keepTheChoice(driver, path("big.bin"));
      await driver.evaluate(RUN_IN_PLACE);
      await waitFor(driver, "document.querySelector('progress').value > 0.1");
      assert.ok(await driver.evaluate(
        "document.getElementById('cart').disabled && document.getElementById('busy').hidden"));
      await driver.evaluate("window.frennick.run(new File([], 'other.bin'), null), true");
      assert.ok(!(await driver.evaluate("document.getElementById('busy').hidden")));
      // At once: the whole run takes well under a second.
      await driver.evaluate("window.frennick.cancel(), true");
      await waitFor(driver, ENDED);
      const shown = await driver.evaluate(SHOWN);
      assert.equal(shown.state, "cancelled");
      assert.equal(shown.words, "");
      assert.match(shown.notice, /Cancelled/);
      assert.equal(await driver.evaluate(PRIVATE_FILE_DIGEST), sha256(big), "a cancelled run changed the cart");
    });

    // The cart changed by another program after it was chosen: the browser
    // will not read it. In place, the page sees the change on disk; for a
    // copy it cannot, and does not claim one.
    const changeIt = `(async () => { const file = await window.cartHandle.getFile();
      const other = await window.cartHandle.createWritable({ keepExistingData: true });
      await other.write({ type: 'write', position: 0, data: new Uint8Array(8) });
      await other.close(); return file; })()`;
    for (const [name, run, notice, not] of [
      ["in place", "window.frennick.run(file, window.cartHandle)", /changed on disk after it was chosen/, null],
      ["a copy", "window.frennick.run(file, null)", /can no longer read cart\.bin/, /changed on disk/],
    ]) {
      await report.check(`changed on disk after it was chosen: ${name}`, async () => {
        await driver.open(server.url);
        writeFileSync(path("cart.bin"), data);
        await keepTheChoice(driver, path("cart.bin"));
        await driver.evaluate(`${changeIt}.then((file) => { ${run}; return true; })`);
        await waitFor(driver, ENDED);
        const shown = await driver.evaluate(SHOWN);
        assert.equal(shown.words, "");
        assert.match(shown.notice, notice);
        if (not) assert.doesNotMatch(shown.notice, not);
        assert.ok(!shown.offered);
      });
    }

    // Nothing logged as an error or a warning on load and through a run,
    // in either build.
    for (const query of ["", "?simd=off"]) {
      await report.check(`a clean console${query}`, async () => {
        const logged = [];
        const onConsole = (message) => {
          if (["error", "warn"].includes(message.type())) logged.push(message.text());
        };
        const onError = (error) => logged.push(error.message);
        driver.page.on("console", onConsole);
        driver.page.on("pageerror", onError);
        try {
          await driver.open(server.url + query);
          writeFileSync(path("cart.bin"), makeCart("console.bin", "--pages", "40", "--seed", "5"));
          await driver.choose(path("cart.bin"));
          await waitFor(driver, ENDED);
          await sleep(500);
        } finally {
          driver.page.off("console", onConsole);
          driver.page.off("pageerror", onError);
        }
        assert.deepEqual(logged, []);
      });
    }
  } finally {
    await driver.browser.close();
  }
}

// In a window (Xvfb), as a person takes it: a cart on disk dropped onto the
// page (the DevTools drag with the file's path gives the page a real file
// handle) and the browser's question "Save changes to cart.bin?" answered
// from the keyboard; and a copy saved through the browser's "save as"
// dialog, whose Save button is clicked.
if (installed("the cases in a window", [["Xvfb", "xvfb"], ["xdotool", "xdotool"], ["chattr", "e2fsprogs"]])) {
  const screen = await display();
  mkdirSync(path("home"));
  const driver = await launch(screen);
  const x = (...args) => execFileSync("xdotool", args, { env: { ...process.env, DISPLAY: screen.name } })
    .toString().trim();
  try {
    const data = makeCart("disk.bin", "--random", "--pages", "300", "--seed", "7");
    const expected = native(data);
    // A name for each: the browser remembers the permission per file.
    for (const [name, file] of [["changes", "changes.bin"], ["needs nothing", "matched.bin"],
                                ["read-only", "readonly.bin"]]) {
      await report.check(`window: a cart on disk dropped onto the page: ${name}`, async () => {
        const cart = path(file);
        writeFileSync(cart, name === "needs nothing" ? expected.bytes : data);
        if (name === "read-only") execFileSync("chattr", ["+i", cart]);  // for root too
        const before = statSync(cart);
        try {
          await driver.open("file://" + PAGE_FILE);
          const cdp = await driver.page.createCDPSession();
          for (const type of ["dragEnter", "dragOver", "drop"]) {
            await cdp.send("Input.dispatchDragEvent", { type, x: 300, y: 300,
              data: { items: [], files: [cart], dragOperationsMask: 1 } });
          }
          if (name !== "needs nothing") {
            // The question is up, its focus on Cancel.
            await waitFor(driver, "document.body.dataset.state === 'asking'");
            await sleep(500);
            x("key", "Tab", "Return");
          }
          if (name === "read-only") {
            // Refused when the browser replaces it: the page offers a copy
            // instead, and asks where; the user cancels.
            await waitFor(driver, "!document.getElementById('save-as').hidden");
            assert.match(await driver.evaluate("document.getElementById('notice').textContent"),
                         /readonly\.bin cannot be written \(it is read-only\)/);
            await driver.click("#cancel");
          }
          await waitFor(driver, ENDED);
        } finally {
          if (name === "read-only") execFileSync("chattr", ["-i", cart]);
        }
        const shown = await driver.evaluate(SHOWN);
        const after = statSync(cart);
        if (name === "changes") {
          assert.equal(shown.words, expected.words);
          assert.match(shown.notice, /changes\.bin was changed in place/);
          assert.ok(readFileSync(cart).equals(expected.bytes));
        } else if (name === "needs nothing") {
          assert.match(shown.words, /^Process complete after 300 pages, 0 patches/);
          assert.match(shown.notice, /the cart was not written/);
          assert.deepEqual([after.ino, after.mtimeMs], [before.ino, before.mtimeMs]);
        } else {
          assert.equal(shown.state, "cancelled");
          assert.ok(readFileSync(cart).equals(data));
          assert.equal(shown.digest, null);
        }
      });
    }

    await report.check("window: a copy saved through the browser's save dialog", async () => {
      await driver.open("file://" + PAGE_FILE);
      await driver.choose(path("disk.bin"));
      await waitFor(driver, "document.body.dataset.state === 'asking'");
      await driver.click("#save-as");
      await answerSaveDialog(screen);
      await waitFor(driver, ENDED);
      const shown = await driver.evaluate(SHOWN);
      assert.equal(shown.words, expected.words);
      assert.equal(shown.kept, "chosen file");
      assert.match(shown.notice, /saved as disk\.bin/);
      assert.ok(readFileSync(join(path("home"), "disk.bin")).equals(expected.bytes));
    });
  } finally {
    await driver.browser.close();
    screen.stop();
  }
}
server.close();
report.finish();
