// What the page says under the tool's own lines when a run ends, one entry
// per outcome: `name` is the cart's, and the rest what the outcome carries.
const LEFT = (name) => `${name} was left exactly as it was`;
const SERVER_HINT = "open this page from a web server on this computer (for example, run “python3 -m http.server” in its folder and open http://127.0.0.1:8000/frennick.html)";
const NOTHING = ({ inPlace, removed }) =>
  (inPlace ? "the cart was not written" : "there is no copy") +
  (removed ? ", and nothing was left in the folder you chose" : "");

const NOTICES = {
  changedInPlace: ({ name }) => `${name} was changed in place.`,
  copyOffered: ({ name, copyName, why, memory }) => ({
    refused: `Permission to change ${name} was refused, so it was not changed: save the processed copy below instead, as ${copyName}.`,
    "read-only": `${name} cannot be written (it is read-only), so it was not changed: save the processed copy below instead, as ${copyName}.`,
  }[why] || `${name} itself was not changed: save the processed copy below, as ${copyName}.`) +
    (memory ? ` It takes about ${memory} MiB of memory until you leave this page, or until after the next cart's run.` : ""),
  copySaved: ({ name, copyName }) =>
    `The processed copy was saved as ${copyName} in the folder you chose; ${name} itself was not changed.`,
  nothingToChange: (run) =>
    `Every page of ${run.name} already matches the page before it: nothing needed changing, so ${NOTHING(run)}.`,
  nothingToExamine: (run) =>
    `${run.name} has no page after page 1, so there was nothing to examine, and ${NOTHING(run)}.`,
  empty: ({ name }) => `Nothing was changed: ${name} is empty (0 bytes), not a video cart.`,
  short: ({ name }) => `Nothing was changed: ${name} is too short to be a video cart.`,
  "not a cart": ({ name }) => `Nothing was changed: ${name} is not a video cart.`,
  folder: ({ name }) => `${name} is a folder, not a cart: nothing was read. Drop or choose the cart file itself.`,
  cancelled: ({ name }) => `Cancelled: ${LEFT(name)}, and no copy was kept.`,
  noFolder: ({ name }) => `No folder was chosen for the processed copy, so there is none; ${LEFT(name)}.`,
  notAFolder: ({ name, chosen }) =>
    `${chosen} is a file, not a folder, so the processed copy was not made; ${LEFT(name)}. Choose the folder to save it in.`,
  targetFull: ({ name }) =>
    `There is no room left where you chose to save the copy, so there is none, and nothing of it was left there; ${LEFT(name)}.`,
  targetFailed: ({ name, detail }) =>
    `The processed copy could not be written into the folder you chose (${detail}), so there is none, and nothing of it was left there; ${LEFT(name)}.`,
  privateFull: ({ name }) =>
    `This browser has no room left for the processed copy of ${name} in its storage for this page, so there is none; ${LEFT(name)}.`,
  notKept: ({ name }) =>
    `${name} was not changed, but this browser could not keep a processed copy of this size. Instead, ${SERVER_HINT}${canOpenInPlace ? ", or change the cart in place" : ""}.`,
  keepingFailed: ({ name }) => `The browser could not keep the processed copy of ${name}, so there is none; ${LEFT(name)}.`,
  copyWrong: ({ name }) =>
    `The processed copy of ${name} did not read back as it was written, so it was removed and is not offered; ${LEFT(name)}. Run again, or use another browser.`,
  changed: ({ name, inPlace, started }) =>
    `${name} changed on disk ${started ? "during the run" : "after it was chosen"}, so ${started ? "the run stopped" : "nothing was read"} and ${inPlace ? "the page wrote nothing into it" : "there is no copy"}. Run again.`,
  gone: ({ name, inPlace, started }) =>
    `${name} was changed, moved or removed ${started ? "during the run" : "after it was chosen"}, so ${started ? "the run stopped" : "nothing was read"} and ${inPlace ? "the page wrote nothing into it" : "there is no copy"}. Choose the cart again.`,
  refused: ({ name, inPlace, started }) =>
    `The browser refused to read ${name}${inPlace ? ", although it has not changed" : ""}, so ${started ? "the run stopped" : "nothing was read"} and ${inPlace ? "the cart was left as it was" : "there is no copy"}. Choose the cart again; if the browser still refuses, ${SERVER_HINT} or use another browser.`,
  unknown: ({ name, started }) =>
    `The browser can no longer read ${name}: it was moved, removed or changed after it was chosen, or the browser refuses to read it. So ${started ? "the run stopped" : "nothing was read"} and there is no copy. Choose the cart again.`,
  inUse: ({ name }) => `${name} is being changed by another tab or program, so ${LEFT(name)}. Run again when that is done.`,
  failed: ({ name }) => `The browser could not finish ${name}; ${LEFT(name)}.`,
};
