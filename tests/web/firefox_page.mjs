// The browser page in Debian's firefox-esr, headless, driven through
// WebDriver BiDi by puppeteer-core: Firefox has no way to change a file in
// place, so every cart takes the download path. The words, the notice and
// the processed copy (its sha256) must be what the native Frennick gives.
// Exits 77 (skipped) with the reason when what it needs is not installed.
import { execFileSync, spawnSync } from "node:child_process";
import { createHash } from "node:crypto";
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync, copyFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import assert from "node:assert/strict";

const FIREFOX = "/usr/bin/firefox-esr";
const PAGE = process.env.FRENNICK_PAGE || "";
const skip = (why) => { console.log(`skipped: ${why}`); process.exit(77); };
if (!existsSync(PAGE)) skip("the page was not built: emscripten is not installed (Debian: emscripten)");
if (!existsSync(FIREFOX)) skip("firefox-esr is not installed (Debian: firefox-esr)");
let puppeteer;
try {
  puppeteer = (await import("puppeteer-core")).default;
} catch {
  skip("puppeteer-core is not installed: npm ci --prefix tests/web");
}

const work = mkdtempSync(join(tmpdir(), "frennick-firefox-"));
const cart = (name, ...options) => {
  execFileSync(process.env.MAKE_DEMO_CART, [join(work, name), ...options], { stdio: "ignore" });
  return readFileSync(join(work, name));
};
const sha256 = (bytes) => createHash("sha256").update(bytes).digest("hex");
function native(bytes) {
  writeFileSync(join(work, "native.bin"), bytes);
  const run = spawnSync(process.env.FRENNICK, [join(work, "native.bin")], { encoding: "utf8" });
  return { words: run.stdout, bytes: readFileSync(join(work, "native.bin")) };
}

const video = cart("video.bin", "--pages", "80", "--seed", "3");
const tailed = cart("tail.bin", "--pages", "40", "--tail", "777");
const bad = Buffer.from(video);
bad[8192 + 15] ^= 1;
const carts = {
  random: [cart("random.bin", "--random", "--pages", "67", "--seed", "2"), "save the processed copy"],
  video: [video, "save the processed copy"],
  tail: [tailed, "save the processed copy"],
  "already matched": [native(tailed).bytes, "nothing needed changing, so there is no copy"],
  "too short": [video.subarray(0, 2 * 8192 - 1), "is too short"],
  "no signature": [bad, "is not a video cart"],
};

const browser = await puppeteer.launch({ browser: "firefox", executablePath: FIREFOX, headless: true });
let failures = 0;
try {
  const page = await browser.newPage();
  const logged = [];
  page.on("console", (message) => {
    if (["error", "warn"].includes(message.type())) logged.push(message.text());
  });
  page.on("pageerror", (error) => logged.push(error.message));
  await page.goto("file://" + PAGE);
  await page.waitForFunction("document.body.dataset.state === 'idle'", { timeout: 60000 });
  const check = (name, body) => {
    try {
      body();
      console.log(`ok ${name}`);
    } catch (error) {
      ++failures;
      console.log(`FAIL ${name}: ${error.message}`);
    }
  };
  check("a clean console on load", () => assert.deepEqual(logged, []));
  for (const [kind, [data, notice]] of Object.entries(carts)) {
    writeFileSync(join(work, "cart.bin"), data);
    const input = await page.$("input[type=file]");
    await input.uploadFile(join(work, "cart.bin"));
    await page.waitForFunction("document.body.dataset.state === 'done'", { timeout: 120000 });
    const shown = await page.evaluate(async () => {
      const link = document.querySelector("a[download]");
      let digest = null;
      if (link.href && !link.hidden) {
        const bytes = await (await fetch(link.href)).arrayBuffer();
        digest = Array.from(new Uint8Array(await crypto.subtle.digest("SHA-256", bytes)),
                            (b) => b.toString(16).padStart(2, "0")).join("");
      }
      return { words: document.getElementById("messages").textContent,
               notice: document.getElementById("notice").textContent,
               name: link.download, digest, kept: document.body.dataset.copy };
    });
    // Idle again before the next cart is chosen.
    await page.evaluate("document.body.dataset.state = 'idle'");
    const expected = native(data);
    check(kind, () => {
      assert.equal(shown.words, expected.words);
      assert.ok(shown.notice.includes(notice), shown.notice);
      if (Buffer.compare(expected.bytes, data) !== 0) {
        assert.equal(shown.digest, sha256(expected.bytes), "the copy differs from the native run's cart");
        assert.equal(shown.name, "cart.bin");
        // On disk, not in the page's memory, whatever the cart's size.
        assert.equal(shown.kept, "private file");
      } else {
        assert.equal(shown.digest, null, "a copy offered with nothing changed");
      }
    });
  }
} finally {
  await browser.close();
  rmSync(work, { recursive: true, force: true });
}
console.log(`${Object.keys(carts).length + 1 - failures} passed, ${failures} failed`);
process.exit(failures ? 1 : 0);
