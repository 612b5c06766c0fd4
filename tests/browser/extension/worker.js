// Opens the test pages, scans the real tabs, talks to the native host both
// one-shot and over a long-lived port, and posts every reply to the test
// driver. config.js, written by the driver, defines SERVER (the driver's
// loopback address), PAGES (paths to open), EXPECTED (every path that must
// be open, the start page included) and MEASURE (how many timed one-shot
// exchanges to make instead, 0 for none). Chromium runs this as a service
// worker; Firefox loads config.js before it as a background script.
if (typeof importScripts === "function") importScripts("config.js");
const api = globalThis.browser || chrome;

const HOST = "local.velmora.extension";
const CAT_HOST = "local.velmora.cat";
const REPLY_TIMEOUT_MS = 10000;
const TABS_TIMEOUT_MS = 15000;

const report = { tabs: [], oneShot: [], port: [], errors: [], done: false };

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

function withTimeout(promise, what) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`no reply to ${what} in time`)), REPLY_TIMEOUT_MS);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

async function post(body) {
  await fetch(`${SERVER}/report`, {
    method: "POST",
    headers: { "Content-Type": "text/plain" },
    body: JSON.stringify(body),
  });
}

// Waits until every expected page is open and loaded, so titles are final.
async function loadedTabs() {
  const deadline = Date.now() + TABS_TIMEOUT_MS;
  for (;;) {
    const tabs = await api.tabs.query({});
    const open = new Set(tabs.map((tab) => new URL(tab.url || "about:blank").pathname));
    const ready =
      EXPECTED.every((path) => open.has(path.split("#")[0])) &&
      tabs.every((tab) => tab.status === "complete");
    if (ready) return tabs;
    if (Date.now() > deadline) throw new Error(`pages did not load: ${JSON.stringify(tabs)}`);
    await sleep(100);
  }
}

function tabEntry(tab) {
  return {
    id: tab.id,
    windowId: tab.windowId,
    title: tab.title,
    url: tab.url,
    pinned: tab.pinned,
    active: tab.active,
  };
}

// Replies over a port arrive in order, one per message.
function openPort() {
  const port = api.runtime.connectNative(HOST);
  const waiting = [];
  port.onMessage.addListener((reply) => {
    const next = waiting.shift();
    if (next) next.resolve(reply);
    else report.errors.push(`unexpected reply ${JSON.stringify(reply)}`);
  });
  port.onDisconnect.addListener((gone) => {
    const error = gone.error || api.runtime.lastError;
    const reason = error ? error.message : "disconnected";
    for (const next of waiting.splice(0)) next.reject(new Error(reason));
  });
  return {
    send(message) {
      const reply = new Promise((resolve, reject) => waiting.push({ resolve, reject }));
      port.postMessage(message);
      return withTimeout(reply, JSON.stringify(message));
    },
    close() {
      port.disconnect();
    },
  };
}

async function step(list, message, send) {
  try {
    list.push({ message, reply: await send(message) });
  } catch (error) {
    list.push({ message, failure: String(error && error.message ? error.message : error) });
  }
}

// Times one-shot exchanges with the host and with a host that only echoes,
// alternating, so both see the same conditions.
async function measure(save) {
  report.timings = { [HOST]: [], [CAT_HOST]: [] };
  for (let i = 0; i < MEASURE; ++i) {
    for (const host of [HOST, CAT_HOST]) {
      const start = performance.now();
      await api.runtime.sendNativeMessage(host, save);
      report.timings[host].push(performance.now() - start);
    }
  }
}

async function run() {
  for (const path of PAGES) {
    await api.tabs.create({ url: `${SERVER}${path}`, active: false });
  }
  let tabs = await loadedTabs();
  const first = tabs.find((tab) => tab.url.endsWith(PAGES[0]));
  await api.tabs.update(first.id, { pinned: true });
  tabs = await loadedTabs();

  report.tabs = tabs.map(tabEntry);
  report.scannedAt = new Date().toISOString();
  const save = { action: "saveSnapshot", tabs: report.tabs, scannedAt: report.scannedAt };
  const active = report.tabs.find((tab) => tab.active) || report.tabs[0];

  if (MEASURE > 0) {
    await measure(save);
    return;
  }

  const oneShot = (message) =>
    withTimeout(api.runtime.sendNativeMessage(HOST, message), JSON.stringify(message));
  await step(report.oneShot, save, oneShot);
  await step(report.oneShot, { action: "saveSnapshot", tabs: "none", scannedAt: "now" }, oneShot);

  const port = openPort();
  const send = (message) => port.send(message);
  // The same tabs again a moment later: answered, but nothing is rewritten.
  await step(report.port, { ...save, scannedAt: new Date().toISOString() }, send);
  await step(report.port, { action: "command", command: "saveAll", url: active.url }, send);
  await step(report.port, { action: "command", command: "openApp" }, send);
  await step(report.port, { action: "Command", command: "saveAll" }, send);
  await step(report.port, "not a dictionary", send);
  await step(report.port, { action: "command", command: "saveCurrent", url: active.url }, send);
  port.close();
}

(async () => {
  try {
    await run();
  } catch (error) {
    report.errors.push(String(error && error.stack ? error.stack : error));
  }
  report.done = true;
  for (let attempt = 0; attempt < 20; ++attempt) {
    try {
      await post(report);
      return;
    } catch (error) {
      await sleep(250);
    }
  }
})();
