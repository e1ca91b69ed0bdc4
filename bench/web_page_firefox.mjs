// The browser page's copy path in Debian's firefox-esr, headless, driven by
// puppeteer-core from tests/web (npm ci --prefix tests/web): the time of a
// whole run on a random cart, and the peak resident memory of Firefox's
// content processes above their idle figure, sampled every 50 ms.
//
//   node bench/web_page_firefox.mjs [SIZE_MIB ...]     default: 200 1024 2048
import { execFileSync } from "node:child_process";
import { createRequire } from "node:module";
import { mkdtempSync, readdirSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";

const root = new URL("..", import.meta.url).pathname;
const require = createRequire(join(root, "tests/web/package.json"));
const puppeteer = require("puppeteer-core");
const build = join(root, "build/release");
const page = join(build, "web-page/web/frennick.html");

// Resident KiB of the content processes under the browser's process.
function contentResident(browserPid) {
  let total = 0;
  for (const pid of readdirSync("/proc").filter((name) => /^\d+$/.test(name))) {
    try {
      if (!readFileSync(`/proc/${pid}/cmdline`).includes("-contentproc")) continue;
      let ancestor = Number(pid);
      while (ancestor > 1 && ancestor !== browserPid) {
        ancestor = Number(readFileSync(`/proc/${ancestor}/stat`, "utf8").split(") ")[1].split(" ")[1]);
      }
      if (ancestor !== browserPid) continue;
      const line = readFileSync(`/proc/${pid}/status`, "utf8").split("\n").find((l) => l.startsWith("VmRSS:"));
      total += Number(line.split(/\s+/)[1]);
    } catch {
      // gone meanwhile
    }
  }
  return total;
}

const sizes = process.argv.slice(2).map(Number);
const work = mkdtempSync(join(tmpdir(), "frennick-firefox-bench-"));
console.log("| cart | page s | copy kept as | content processes' peak above idle, MiB |");
console.log("|---|---|---|---|");
for (const mib of sizes.length ? sizes : [200, 1024, 2048]) {
  const cart = join(work, "cart.bin");
  execFileSync(join(build, "demo/make_demo_cart"), [cart, "--random", "--pages", String(mib * 128)],
               { stdio: "ignore" });
  const browser = await puppeteer.launch({ browser: "firefox", executablePath: "/usr/bin/firefox-esr",
                                           headless: true });
  const tab = await browser.newPage();
  await tab.goto("file://" + page);
  await tab.waitForFunction("document.body.dataset.state === 'idle'", { timeout: 60000 });
  await new Promise((resolve) => setTimeout(resolve, 1000));
  const pid = browser.process().pid;
  const idle = contentResident(pid);
  let peak = idle;
  const sampler = setInterval(() => { peak = Math.max(peak, contentResident(pid)); }, 50);
  const began = performance.now();
  await (await tab.$("input[type=file]")).uploadFile(cart);
  await tab.waitForFunction("document.body.dataset.state === 'done'", { timeout: 1800000, polling: 200 });
  const seconds = (performance.now() - began) / 1000;
  clearInterval(sampler);
  const kept = await tab.evaluate("document.body.dataset.copy");
  console.log(`| ${mib} MiB | ${seconds.toFixed(1)} | ${kept} | ${((peak - idle) / 1024).toFixed(0)} |`);
  await browser.close();
  rmSync(cart);
}
rmSync(work, { recursive: true, force: true });
