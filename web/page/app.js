// The Kelto devices page: every action is one request to kelto_web's JSON
// API, which runs kelto_lumabar or kelto_torvexc and returns what it printed.
"use strict";

const KINDS = {
  lumabar: { label: "Lumabar", title: "Lumabar (lighting)" },
  torvexc: { label: "TorvexC", title: "TorvexC (motor)" },
};
const LIGHTING = [
  { command: "cycle", values: 2 },
  { command: "fade", values: 2 },
  { command: "showregister", values: 1 },
  { command: "writeregister", values: 5 },
  { command: "reset", values: 0 },
];
const POLL_MS = 200;

let settings = [];        // the motor controller's settings, from /api/info
let selected = null;      // {kind, id} of the open device
const firmwareBoxes = {};  // per device: its firmware form, kept while another device is open
const queues = {};        // per device: the promise its next request waits for

// --- requests -----------------------------------------------------------------

// {status, doc}; a request that gets no answer becomes an error document.
async function api(method, path, body) {
  const init = { method, headers: {} };
  if (body instanceof FormData) {
    init.body = body;
  } else if (body !== undefined) {
    init.body = JSON.stringify(body);
    init.headers["Content-Type"] = "application/json";
  }
  try {
    const res = await fetch(path, init);
    const text = await res.text();
    let doc;
    try {
      doc = JSON.parse(text);
    } catch (e) {
      doc = { error: "the server answered HTTP " + res.status + " without JSON" };
    }
    return { status: res.status, doc };
  } catch (e) {
    return { status: 0, doc: { error: "the server did not answer (" + e.message + ")" } };
  }
}

// One line for a failed request: the tool's own message and its exit status
// in plain words.
function errorText(doc) {
  let text = doc.error || doc.status_text || "unknown error";
  if (doc.exit_status !== undefined && doc.exit_status !== null) {
    text += " (exit status " + doc.exit_status + ": " + doc.status_text + ")";
  } else if (doc.status_text) {
    text += " (" + doc.status_text + ")";
  }
  return text;
}

// Runs fn after every earlier request for the same device: the server takes
// one run per device at a time.
function queued(kind, id, fn) {
  const key = kind + ":" + id;
  const next = (queues[key] || Promise.resolve()).then(fn, fn);
  queues[key] = next.catch(() => {});
  return next;
}

function deviceApi(kind, id, method, what, body) {
  return queued(kind, id, () => api(method, "/api/" + kind + "/" + id + "/" + what, body));
}

// --- small DOM helpers ------------------------------------------------------------

function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === "class") node.className = v;
    else if (k.startsWith("on")) node.addEventListener(k.slice(2), v);
    else node.setAttribute(k, v);
  }
  for (const c of children) node.append(c);
  return node;
}

function spinner() {
  return el("span", { class: "spinner", title: "reading" });
}

function show(node, text, kind) {
  node.textContent = text;
  node.classList.remove("error", "ok");
  if (kind) node.classList.add(kind);
}

function setCell(cell, text, error) {
  cell.replaceChildren(text);
  cell.classList.toggle("error", !!error);
  if (error) cell.title = text;
}

// --- the device table -----------------------------------------------------------

function rowId(kind, id) {
  return "row-" + kind + "-" + id;
}

function addRow(kind, id) {
  const cells = {};
  const row = el("tr", { id: rowId(kind, id), "data-kind": kind, "data-id": id });
  row.append(el("td", {}, KINDS[kind].label), el("td", { class: "id" }, String(id)));
  for (const c of ["name", "serial", "firmware", "bootloader", "hardware"]) {
    cells[c] = el("td", { class: c }, spinner());
    row.append(cells[c]);
  }
  row.append(el("td", {}, el("button", { class: "open small", type: "button",
                                          onclick: () => openDevice(kind, id) }, "Open")));
  document.querySelector("#device-table tbody").append(row);
  readRow(kind, id, cells);
}

// Name, serial and versions, one read after the other, each cell filled as
// its read ends.
async function readRow(kind, id, cells) {
  for (const what of ["name", "serial"]) {
    const { doc } = await deviceApi(kind, id, "GET", what);
    if (doc.ok) setCell(cells[what], doc.result[what]);
    else setCell(cells[what], errorText(doc), true);
  }
  const { doc } = await deviceApi(kind, id, "GET", "versions");
  for (const v of ["firmware", "bootloader", "hardware"]) {
    if (doc.ok) setCell(cells[v], doc.result[v] === undefined ? "" : doc.result[v]);
    else setCell(cells[v], v === "firmware" ? errorText(doc) : "", !doc.ok);
  }
}

// Scans one kind; rows of that kind are replaced by the devices heard.
async function scanKind(kind, found) {
  let ids = found;
  if (!ids) {
    const { doc } = await api("GET", "/api/" + kind + "/scan");
    if (doc.ok) ids = doc.result.scan;
    else if (doc.exit_status === 12) ids = [];
    else {
      show(document.getElementById("table-message"),
           KINDS[kind].title + " scan: " + errorText(doc), "error");
      return;
    }
  }
  for (const row of document.querySelectorAll("#device-table tr[data-kind=" + kind + "]")) {
    row.remove();
  }
  for (const id of ids) addRow(kind, id);
  if (selected && selected.kind === kind && !ids.includes(selected.id)) closeDevice();
  markSelected();
}

async function refresh() {
  const state = document.getElementById("scan-state");
  const button = document.getElementById("refresh");
  button.disabled = true;
  state.replaceChildren(spinner(), " scanning the bus");
  show(document.getElementById("table-message"), "");
  await Promise.all(Object.keys(KINDS).map((k) => scanKind(k)));
  const count = document.querySelectorAll("#device-table tbody tr").length;
  state.textContent = count ? count + " device" + (count === 1 ? "" : "s") + " found"
                            : "no devices found";
  button.disabled = false;
}

// --- one device -------------------------------------------------------------------

function detailMessage(text, kind) {
  show(document.getElementById("detail-message"), text, kind);
}

function markSelected() {
  for (const row of document.querySelectorAll("#device-table tbody tr")) {
    row.classList.toggle("selected", !!selected && row.dataset.kind === selected.kind &&
                                         Number(row.dataset.id) === selected.id);
  }
}

function closeDevice() {
  selected = null;
  document.getElementById("detail").hidden = true;
  markSelected();
}

function openDevice(kind, id) {
  selected = { kind, id };
  const row = document.getElementById(rowId(kind, id));
  const name = row ? row.querySelector(".name").textContent : "";
  document.getElementById("detail-title").textContent =
      KINDS[kind].title + " " + id + (name ? " — " + name : "");
  document.getElementById("rename-input").value = name;
  document.getElementById("newid-input").value = "";
  document.getElementById("lighting-panel").hidden = kind !== "lumabar";
  document.getElementById("settings-panel").hidden = kind !== "torvexc";
  detailMessage("");
  document.getElementById("detail-firmware")
      .replaceChildren(el("h3", {}, "Firmware"), firmwareFor(kind, id));
  document.getElementById("detail").hidden = false;
  markSelected();
  if (kind === "torvexc") readSettings();
}

// Runs one request for the open device and reports it under the title; the
// button is disabled meanwhile. Returns the document when it succeeded.
async function act(button, method, what, body, okText) {
  const { kind, id } = selected;
  button.disabled = true;
  detailMessage("");
  const { doc } = await deviceApi(kind, id, method, what, body);
  button.disabled = false;
  if (!doc.ok) {
    detailMessage(KINDS[kind].label + " " + id + ": " + errorText(doc), "error");
    return null;
  }
  if (okText) detailMessage(okText(doc), "ok");
  return doc;
}

async function rename() {
  const input = document.getElementById("rename-input");
  const value = input.value;
  if (new TextEncoder().encode(value).length > 8) {
    return detailMessage("A name has at most 8 bytes.", "error");
  }
  const { kind, id } = selected;
  const doc = await act(document.getElementById("rename-button"), "POST", "name", { value },
                        (d) => "Name is now \"" + d.result.name + "\".");
  const row = document.getElementById(rowId(kind, id));
  if (doc && row) setCell(row.querySelector(".name"), doc.result.name);
}

async function changeId() {
  const newId = Number(document.getElementById("newid-input").value);
  if (!Number.isInteger(newId) || newId < 1 || newId > 59) {
    return detailMessage("A device ID is a whole number from 1 to 59.", "error");
  }
  const { kind } = selected;
  const doc = await act(document.getElementById("newid-button"), "POST", "id",
                        { new_id: newId }, (d) => "Scan after the change: " + d.result.scan.join(", "));
  if (!doc) return;
  await scanKind(kind, doc.result.scan);
  if (doc.result.scan.includes(newId)) openDevice(kind, newId);
}

async function blink() {
  const seconds = Number(document.getElementById("blink-input").value);
  await act(document.getElementById("blink-button"), "POST", "blink", { seconds },
            (d) => "Blinking for " + d.result.blink + " s.");
}

async function light(button, command, values) {
  await act(button, "POST", "light", { command, values },
            () => command + " sent" + (values.length ? " (" + values.join(", ") + ")" : "") + ".");
}

function showColour() {
  const hex = document.getElementById("color-input").value;
  const rgb = [1, 3, 5].map((i) => parseInt(hex.substr(i, 2), 16));
  light(document.getElementById("showrgb-button"), "showrgb", rgb);
}

function buildLighting() {
  const box = document.getElementById("lighting-commands");
  for (const { command, values } of LIGHTING) {
    const inputs = [];
    for (let i = 0; i < values; i++) {
      inputs.push(el("input", { type: "number", min: 0, max: 255, value: 0,
                                "aria-label": command + " value " + (i + 1) }));
    }
    const button = el("button", { type: "button", id: "light-" + command }, command);
    button.addEventListener("click", () => light(button, command, inputs.map((n) => Number(n.value))));
    box.append(el("div", { class: "lighting-row" }, button, " ", ...inputs));
  }
}

// --- motor controller settings ------------------------------------------------------

function buildSettings() {
  const body = document.querySelector("#settings-table tbody");
  for (const name of settings) {
    const value = el("span", { class: "value" }, "");
    const input = el("input", { type: "number", min: 0, max: 255, "aria-label": name });
    const button = el("button", { type: "button", class: "small" }, "Set");
    button.addEventListener("click", () => writeSetting(name, input, value, button));
    body.append(el("tr", { id: "setting-" + name }, el("td", {}, name), el("td", {}, value),
                   el("td", {}, input, " ", button)));
  }
  const scan = el("span", { class: "value" }, "");
  body.append(el("tr", { id: "setting-scan" }, el("td", {}, "scan (presence byte 0)"),
                 el("td", {}, scan), el("td", { class: "muted" }, "read only")));
}

function settingValue(name, doc) {
  const cell = document.querySelector("#setting-" + name + " .value");
  if (doc.ok) setCell(cell, String(doc.result[name]));
  else setCell(cell, errorText(doc), true);
}

async function readSettings() {
  const { kind, id } = selected;
  const names = settings.concat(["scan"]);
  for (const name of names) {
    document.querySelector("#setting-" + name + " .value").replaceChildren(spinner());
  }
  for (const name of names) {
    const { doc } = await deviceApi(kind, id, "GET", name);
    if (!selected || selected.kind !== kind || selected.id !== id) return;
    settingValue(name, doc);
  }
}

async function writeSetting(name, input, cell, button) {
  const value = Number(input.value);
  if (input.value === "" || !Number.isInteger(value) || value < 0 || value > 255) {
    return detailMessage(name + ": a whole number from 0 to 255.", "error");
  }
  cell.replaceChildren(spinner());
  const { kind, id } = selected;
  button.disabled = true;
  const { doc } = await deviceApi(kind, id, "POST", name, { value });
  button.disabled = false;
  settingValue(name, doc);
  if (doc.ok) detailMessage(name + " read back as " + doc.result[name] + ".", "ok");
  else detailMessage(KINDS[kind].label + " " + id + ": " + errorText(doc), "error");
}

// --- firmware -------------------------------------------------------------------------

function hex4(n) {
  return "0x" + n.toString(16).toUpperCase().padStart(4, "0");
}

// The file chooser, kelto_hexcheck's summary, the confirmation and the
// progress bar; target() gives {kind, id} (id null: recovery).
function buildFirmware(box, target) {
  const file = el("input", { type: "file", accept: ".hex", class: "fw-file" });
  const check = el("div", { class: "check muted fw-check" }, "Choose an Intel HEX image.");
  const flash = el("button", { type: "button", class: "fw-flash", disabled: "" }, "Flash…");
  const confirm = el("button", { type: "button", class: "primary fw-confirm", hidden: "" }, "");
  const cancel = el("button", { type: "button", class: "fw-cancel", hidden: "" }, "Cancel");
  const progress = el("progress", { class: "fw-progress", max: 1, value: 0, hidden: "" });
  const progressText = el("div", { class: "fw-progress-text muted" });
  const outcome = el("p", { class: "message fw-outcome" });
  box.append(file, check, flash, " ", confirm, " ", cancel, progress, progressText, outcome);
  let summary = null;

  file.addEventListener("change", async () => {
    summary = null;
    flash.disabled = true;
    show(outcome, "");
    if (!file.files.length) return;
    check.replaceChildren(spinner(), " checking the image");
    const form = new FormData();
    form.append("file", file.files[0]);
    const { doc } = await api("POST", "/api/hexcheck", form);
    if (!doc.result) {
      check.textContent = "Rejected: " + (doc.error || "unknown error");
      check.className = "check error fw-check";
      return;
    }
    summary = doc.result;
    check.className = "check fw-check";
    check.textContent = summary.pages + " pages" +
        (summary.pages ? ", " + hex4(summary.first_page) + " to " + hex4(summary.last_page + 63) : "") +
        ", CRC-32 " + summary.crc32;
    flash.disabled = false;
  });
  flash.addEventListener("click", () => {
    const t = target();
    confirm.textContent = "Flash " + summary.pages + " pages into " + KINDS[t.kind].label +
        (t.id ? " " + t.id : " (recovery)");
    confirm.hidden = cancel.hidden = false;
    flash.disabled = true;
  });
  cancel.addEventListener("click", () => {
    confirm.hidden = cancel.hidden = true;
    flash.disabled = false;
  });
  confirm.addEventListener("click", async () => {
    confirm.hidden = cancel.hidden = true;
    const t = target();
    const form = new FormData();
    form.append("file", file.files[0]);
    const path = "/api/" + t.kind + (t.id ? "/" + t.id : "") + "/firmware";
    progress.hidden = false;
    progress.max = summary.pages || 1;
    progress.value = 0;
    progressText.textContent = "starting the update";
    show(outcome, "");
    const run = () => api("POST", path, form);
    const { status, doc } = t.id ? await queued(t.kind, t.id, run) : await run();
    if (status !== 202) {
      progress.hidden = true;
      progressText.textContent = "";
      show(outcome, "Not started: " + errorText(doc), "error");
      flash.disabled = false;
      return;
    }
    const done = await follow(doc.id, progress, progressText);
    flash.disabled = false;
    if (done.run && done.run.ok) {
      show(outcome, "Update finished: " + done.page + " of " + done.pages +
                    " pages sent; image CRC-32 " + done.check.crc32 + ".", "ok");
    } else {
      show(outcome, "Update failed: " + errorText(done.run || done), "error");
    }
  });
}

// The firmware form of one device; an update keeps its progress bar when
// another device is opened in between.
function firmwareFor(kind, id) {
  const key = kind + ":" + id;
  if (!firmwareBoxes[key]) {
    firmwareBoxes[key] = el("div");
    buildFirmware(firmwareBoxes[key], () => ({ kind, id }));
  }
  return firmwareBoxes[key];
}

// Polls an update until it is done, moving the progress bar.
async function follow(job, progress, text) {
  for (;;) {
    const { status, doc } = await api("GET", "/api/jobs/" + job);
    if (status !== 200) return { run: doc };
    progress.max = doc.pages || 1;
    progress.value = doc.page;
    const pct = doc.pages ? Math.round((100 * doc.page) / doc.pages) : 0;
    text.textContent = "page " + doc.page + " of " + doc.pages + " (" + pct + " %)";
    if (doc.state === "done") return doc;
    await new Promise((r) => setTimeout(r, POLL_MS));
  }
}

// --- start ----------------------------------------------------------------------------

async function start() {
  document.getElementById("refresh").addEventListener("click", refresh);
  document.getElementById("rename-button").addEventListener("click", rename);
  document.getElementById("newid-button").addEventListener("click", changeId);
  document.getElementById("blink-button").addEventListener("click", blink);
  document.getElementById("showrgb-button").addEventListener("click", showColour);
  document.getElementById("settings-read").addEventListener("click", readSettings);
  buildLighting();
  buildFirmware(document.getElementById("recovery-firmware"),
                () => ({ kind: document.getElementById("recovery-kind").value, id: null }));
  const { doc } = await api("GET", "/api/info");
  document.getElementById("lib-version").textContent =
      doc.library_version || (doc.error ? "unknown (" + doc.error + ")" : "unknown");
  document.getElementById("bus").textContent = doc.bus || "unknown";
  settings = doc.torvexc_settings || [];
  buildSettings();
  refresh();
}

start();
