// The page in Debian's chromium, driven through the DevTools protocol by
// puppeteer-core, as a person would use it: headless for the cart table
// (from file://, where a copy goes into a folder the user chooses, and from
// http, where the browser keeps it), whatever the user answers the folder
// question with, the in-place cases, a cancelled run, carts changed on disk
// before and during a run, the page's own faults made to happen (a stalled
// read, a Worker that may not read, no room by the browser's estimate) and
// a clean console; then in a window under Xvfb, a cart on disk dropped onto
// the page and changed in place, the browser's question answered from the
// keyboard, and the real folder dialog given the cart's folder and the cart
// itself. Exits 77 (skipped) with the reason when what it needs is not
// installed.
import { execFileSync } from "node:child_process";
import { existsSync, mkdirSync, readFileSync, readdirSync, rmSync, statSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import {
  CHOSEN_FOLDER, ENDED, IDLE, PAGE, PAGE_FILE, SHOWN, answerFolderDialog, assert, cartTable,
  checkCartTable, checkChangesUnderRun, chromiumOptions, display, hooked, installed, load,
  makeCart, native, need, path, reporter, serve, sha256, sleep, waitFor, work,
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
      await checkCartTable(report, driver, `file://${query}`, { carts, kept: "chosen folder", before: CHOSEN_FOLDER });
    }
    await driver.open(server.url);
    await report.check("http: nothing of the Worker's probes left once the page is loaded", async () => {
      const names = await driver.evaluate(`(async () => {
        const names = [];
        for await (const name of (await navigator.storage.getDirectory()).keys()) names.push(name);
        return names;
      })()`);
      assert.deepEqual(names, []);
    });
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
    await report.check("http: the private file system out of room for the copy: said so", async () => {
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
      await driver.evaluate(CHOSEN_FOLDER);
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
      assert.match(shown.notice, /saved as dropped \(processed\)\.bin in the folder you chose; dropped\.bin itself was not changed/);
    });

    // Whatever the user answers the folder question with, and whatever the
    // folder holds, nothing but a new file of the page's own is written
    // there, and it stays only if it reads back right. A cart of 8 MiB:
    // the page writes it in more than one piece.
    const eight = makeCart("eight.bin", "--random", "--pages", "1024", "--seed", "11");
    const eightDone = native(eight);
    const FOLDER = "Object.fromEntries(Array.from(window.folderFiles, ([name, bytes]) => [name, bytes.length]))";
    // [case, the setup, the answer, the notice, the files left in the folder]: a copy
    // is offered only where one is left.
    for (const [name, setup, answer, notice, left] of [
      ["another file has the copy's name", "window.folderFiles.set('cart (processed).bin', new Uint8Array(3))",
       "#save-as", /^The processed copy was saved as cart \(processed 2\)\.bin in the folder you chose; cart\.bin itself was not changed\.$/,
       { "cart (processed).bin": 3, "cart (processed 2).bin": eight.length }],
      ["another file has the unfinished copy's name", "window.folderFiles.set('cart (processed, unfinished).bin', new Uint8Array(3))",
       "#save-as", /^The processed copy was saved as cart \(processed\)\.bin in the folder you chose; cart\.bin itself was not changed\.$/,
       { "cart (processed, unfinished).bin": 3, "cart (processed).bin": eight.length }],
      ["cancelled at the question", "", "#cancel", /^Cancelled: cart\.bin was left exactly as it was, and no copy was kept\.$/, {}],
      ["the dialog closed", "window.showDirectoryPicker = () => Promise.reject(new DOMException('closed', 'AbortError'))",
       "#save-as", /^No folder was chosen for the processed copy, so there is none; cart\.bin was left exactly as it was\.$/, {}],
      ["the folder full", "window.folderRoom = 6 << 20", "#save-as",
       /^There is no room left where you chose to save the copy, so there is none, and nothing of it was left there/, {}],
      ["a write lost", "window.folderLoses = 2", "#save-as",
       /^The processed copy of cart\.bin did not read back as it was written, so it was removed and is not offered/, {}],
      ["a file's path chosen", "window.folderIsAFile = true", "#save-as", /^chosen is a file, not a folder/, {}],
    ]) {
      await report.check(`file://: the folder question: ${name}`, async () => {
        await driver.open("file://" + PAGE_FILE);
        await driver.evaluate(CHOSEN_FOLDER);
        await driver.evaluate(`${setup}; true`);
        writeFileSync(path("cart.bin"), eight);
        await driver.choose(path("cart.bin"));
        await waitFor(driver, "document.body.dataset.state === 'asking'");
        await driver.click(answer);
        await waitFor(driver, ENDED);
        const shown = await driver.evaluate(SHOWN);
        assert.match(shown.notice, notice);
        assert.deepEqual(await driver.evaluate(FOLDER), left);
        assert.equal(shown.digest, Object.keys(left).length ? sha256(eightDone.bytes) : null);
        assert.ok(readFileSync(path("cart.bin")).equals(eight), "the cart was changed");
      });
    }

    for (const [name, dropped, notice] of [
      ["a folder dropped", work, /^frennick-page-\w+ is a folder, not a cart: nothing was read\./],
      ["an empty file chosen", null, /^Nothing was changed: empty\.bin is empty \(0 bytes\), not a video cart\.$/],
    ]) {
      await report.check(`file://: ${name}: said so`, async () => {
        await driver.open("file://" + PAGE_FILE);
        if (dropped) {
          const cdp = await driver.page.createCDPSession();
          for (const type of ["dragEnter", "dragOver", "drop"]) {
            await cdp.send("Input.dispatchDragEvent", { type, x: 300, y: 300,
              data: { items: [], files: [dropped], dragOperationsMask: 1 } });
          }
          await waitFor(driver, "document.getElementById('notice').textContent");
        } else {
          writeFileSync(path("empty.bin"), "");
          await driver.choose(path("empty.bin"));
          await waitFor(driver, ENDED);
        }
        assert.match((await driver.evaluate(SHOWN)).notice, notice);
      });
    }

    await checkChangesUnderRun(report, driver, "file://", "file://" + PAGE_FILE, { before: CHOSEN_FOLDER });
    await checkChangesUnderRun(report, driver, "http", server.url);

    // Faults of the page's own, made to happen: each run must still give
    // the tool's bytes.
    const sixtyFour = makeCart("sixtyfour.bin", "--random", "--pages", "8192", "--seed", "12");
    const sixtyFourDone = native(sixtyFour);
    for (const [name, hooks, check] of [
      ["a read that stalls once is begun again", { stallOnce: true }, null],
      ["a Worker that may not read has the page read for it, at most 4 chunks ahead", { unreadable: true },
       async () => {
         const most = await driver.evaluate("window.testMostInFlight");
         assert.ok(most >= 1 && most <= 4, `${most} chunks on their way at once`);
       }],
      ["no room by the browser's estimate: the copy kept as blobs", { estimate: { quota: 1 << 20, usage: 0 } },
       async () => assert.equal((await driver.evaluate(SHOWN)).kept, "blobs")],
    ]) {
      await report.check(`http: ${name}`, async () => {
        await driver.open(hooked(server.url, hooks));
        await driver.choose(path("sixtyfour.bin"));
        await waitFor(driver, ENDED);
        const shown = await driver.evaluate(SHOWN);
        assert.equal(shown.words, sixtyFourDone.words);
        assert.equal(shown.digest, sha256(sixtyFourDone.bytes));
        if (check) await check();
      });
    }

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
    // [case, the cart, the setup, the tool's lines, the notice, the cart after, times
    //  opened for writing (null: not counted), its time kept, the copy offered (null: none)]
    for (const [name, cart, setup, words, notice, after, opened, timeKept, copy] of [
      ["changed", data, countOpenings, expected.words, "cart.bin was changed in place.", expected.bytes, 1, false, null],
      ["already matched", expected.bytes, countOpenings, expected.words.replace(/ \d+ patches fixing \d+ pixels/, " 0 patches fixing 0 pixels").replace(/\(\d+%\)/, "(0%)"),
       "nothing needed changing, so the cart was not written", expected.bytes, 0, true, null],
      ["permission refused", data, refuse, expected.words, "Permission to change cart.bin was refused", data, null, false,
       expected.bytes],
      ["in use by another tab", data, hold, "", "being changed by another tab", data, null, false, null],
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
        if (timeKept) assert.equal(await driver.evaluate(MODIFIED), modified);
        if (copy) {
          assert.equal(shown.digest, sha256(copy));
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

    // The cart changed by another program during an in-place run, before
    // the page has written anything (its first 1100 pages need nothing,
    // and the run pauses at its second slice): the page never writes into
    // it, and says so. (Chromium may still read the second slice as it
    // was, and the page open the cart for writing; it replaces nothing.)
    const random = makeCart("random13.bin", "--random", "--pages", "2048", "--seed", "13");
    const halfMatched = Buffer.concat([native(random).bytes.subarray(0, 1100 * PAGE), random.subarray(1100 * PAGE)]);
    const opfsChange = {
      truncated: "const w = await h.createWritable({ keepExistingData: true }); await w.truncate(6 << 20); await w.close();",
      "appended to": `const w = await h.createWritable({ keepExistingData: true });
        await w.write({ type: 'write', position: (await h.getFile()).size, data: new Uint8Array(${PAGE}) }); await w.close();`,
      touched: `const w = await h.createWritable({ keepExistingData: true });
        await w.write({ type: 'write', position: 0, data: await (await h.getFile()).slice(0, 1).arrayBuffer() }); await w.close();`,
      removed: "await root.removeEntry('cart.bin');",
      replaced: `await root.removeEntry('cart.bin');
        const w = await (await root.getFileHandle('cart.bin', { create: true })).createWritable();
        await w.write(new Uint8Array(16 << 20).fill(0x5A)); await w.close();`,
    };
    const OPFS_DIGEST = `(async () => {
      try { window.cartHandle = await (await navigator.storage.getDirectory()).getFileHandle('cart.bin'); }
      catch { return null; }
      return ${PRIVATE_FILE_DIGEST};
    })()`;
    for (const [change, script] of Object.entries(opfsChange)) {
      await report.check(`in place: the cart ${change} during the run`, async () => {
        await driver.open(hooked(server.url, { pauseAt: 4 << 20 }));
        writeFileSync(path("cart.bin"), halfMatched);
        await keepTheChoice(driver, path("cart.bin"));
        const handle = "window.cartHandle";
        await driver.evaluate(RUN_IN_PLACE);
        await waitFor(driver, "window.testPaused === true");
        await driver.evaluate(`(async () => { const root = await navigator.storage.getDirectory();
          const h = ${handle}; ${script} return true; })()`);
        const left = await driver.evaluate(OPFS_DIGEST);
        await driver.evaluate("window.testRelease(), true");
        await waitFor(driver, ENDED);
        const shown = await driver.evaluate(SHOWN);
        assert.equal(shown.words, "");
        assert.match(shown.notice, /^cart\.bin (changed on disk|was changed, moved or removed) during the run, so the run stopped and the page wrote nothing into it/);
        assert.equal(await driver.evaluate(OPFS_DIGEST), left, "the cart as the other program left it");
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
// from the keyboard; the real folder dialog; and the tab closed during a
// copy into the chosen folder.
if (installed("the cases in a window", [["Xvfb", "xvfb"], ["xdotool", "xdotool"], ["chattr", "e2fsprogs"]])) {
  const screen = await display();
  mkdirSync(path("home"));
  const driver = await launch(screen);
  const x = (...args) => execFileSync("xdotool", args, { env: { ...process.env, DISPLAY: screen.name } })
    .toString().trim();
  try {
    const data = makeCart("disk.bin", "--random", "--pages", "300", "--seed", "7");
    const expected = native(data);
    // A file for each: the browser remembers the permission per file. Each
    // row: the cart's bytes, whether the browser asks, whether the cart is
    // immutable, and what the run must show and leave.
    const rows = [
      { name: "changes", file: "changes.bin", bytes: data, asks: true, immutable: false,
        check: (shown, cart) => {
          assert.equal(shown.words, expected.words);
          assert.match(shown.notice, /changes\.bin was changed in place/);
          assert.ok(readFileSync(cart).equals(expected.bytes));
        } },
      { name: "needs nothing", file: "matched.bin", bytes: expected.bytes, asks: false, immutable: false,
        check: (shown, cart, before) => {
          const after = statSync(cart);
          assert.match(shown.words, /^Process complete after 300 pages, 0 patches/);
          assert.match(shown.notice, /the cart was not written/);
          assert.deepEqual([after.ino, after.mtimeMs], [before.ino, before.mtimeMs]);
        } },
      // Refused when the browser replaces it: the page offers a copy instead,
      // and asks where; the user cancels.
      { name: "read-only", file: "readonly.bin", bytes: data, asks: true, immutable: true,
        check: (shown, cart) => {
          assert.equal(shown.state, "cancelled");
          assert.ok(readFileSync(cart).equals(data));
          assert.equal(shown.digest, null);
        } },
    ];
    for (const { name, file, bytes, asks, immutable, check } of rows) {
      await report.check(`window: a cart on disk dropped onto the page: ${name}`, async () => {
        const cart = path(file);
        writeFileSync(cart, bytes);
        if (immutable) execFileSync("chattr", ["+i", cart]);  // for root too
        const before = statSync(cart);
        try {
          await driver.open("file://" + PAGE_FILE);
          const cdp = await driver.page.createCDPSession();
          for (const type of ["dragEnter", "dragOver", "drop"]) {
            await cdp.send("Input.dispatchDragEvent", { type, x: 300, y: 300,
              data: { items: [], files: [cart], dragOperationsMask: 1 } });
          }
          if (asks) {
            // The question is up, its focus on Cancel.
            await waitFor(driver, "document.body.dataset.state === 'asking'");
            await sleep(500);
            x("key", "Tab", "Return");
          }
          if (immutable) {
            await waitFor(driver, "!document.getElementById('save-as').hidden");
            assert.match(await driver.evaluate("document.getElementById('notice').textContent"),
                         /readonly\.bin cannot be written \(it is read-only\)/);
            await driver.click("#cancel");
          }
          await waitFor(driver, ENDED);
        } finally {
          if (immutable) execFileSync("chattr", ["-i", cart]);
        }
        check(await driver.evaluate(SHOWN), cart, before);
      });
    }

    // The real folder dialog, given the cart's own folder, and then the
    // cart itself typed as the folder: the cart comes out byte for byte.
    // (Not the work folder: Chromium refuses a folder that holds the home
    // folder, as it holds the browser's profile.)
    const carts = path("carts");
    mkdirSync(carts);
    const cart = join(carts, "disk.bin");
    // [case, what is typed, the notice, the copy made (null: none)]
    for (const [name, typed, notice, made] of [
      ["the cart's folder", carts + "/", /^The processed copy was saved as disk \(processed\)\.bin in the folder you chose; disk\.bin itself was not changed\.$/,
       expected],
      ["the cart itself", cart, /^disk\.bin is a file, not a folder, so the processed copy was not made; disk\.bin was left exactly as it was/,
       null],
    ]) {
      await report.check(`window: the folder dialog given ${name}`, async () => {
        writeFileSync(cart, data);
        await driver.open("file://" + PAGE_FILE);
        await driver.choose(cart);
        await waitFor(driver, "document.body.dataset.state === 'asking'");
        await driver.click("#save-as");
        await answerFolderDialog(screen, typed, driver);
        await waitFor(driver, ENDED);
        const shown = await driver.evaluate(SHOWN);
        assert.equal(shown.words, made ? made.words : "");
        assert.match(shown.notice, notice);
        assert.ok(readFileSync(cart).equals(data), "the cart was changed");
        const copy = join(carts, "disk (processed).bin");
        if (made) {
          assert.equal(shown.kept, "chosen folder");
          assert.ok(readFileSync(copy).equals(made.bytes), "the copy differs from the native run's cart");
          rmSync(copy);
        }
        assert.deepEqual(readdirSync(carts), ["disk.bin"]);
      });
    }

    // The tab closed while the copy is written into the chosen folder:
    // nothing there looks like a result, only an empty file whose name
    // says it is unfinished.
    await report.check("window: the tab closed during a copy into the chosen folder", async () => {
      writeFileSync(cart, makeCart("big.bin", "--random", "--pages", "2048", "--seed", "14"));
      await driver.open(hooked("file://" + PAGE_FILE, { pauseAt: 12 << 20 }));
      await driver.choose(cart);
      await waitFor(driver, "document.body.dataset.state === 'asking'");
      await driver.click("#save-as");
      await answerFolderDialog(screen, carts + "/", driver);
      await waitFor(driver, "window.testPaused === true");
      await driver.browser.newPage();  // the browser kept open
      await driver.page.close({ runBeforeUnload: false });
      await sleep(1000);
      const left = readdirSync(carts).filter((file) => file !== "disk.bin").map((file) => [file, statSync(join(carts, file)).size]);
      assert.deepEqual(left, [["disk (processed, unfinished).bin", 0]]);
    });
  } finally {
    await driver.browser.close();
    screen.stop();
  }
}
server.close();
report.finish();
