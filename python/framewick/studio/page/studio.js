// framewick studio: the page. Everything it shows comes from the server: the step table (with a
// control for every parameter), the presets and looks, the previews. The chain is kept here as
// a list of steps; every change is one entry of the undo history.
"use strict";

const token = document.querySelector('meta[name="studio-token"]').content;
const $ = (id) => document.getElementById(id);
const state = { steps: [], byMethod: {}, photo: 0, presets: [], looks: [], chain: [], history: [], at: -1 };

// ---------------------------------------------------------------------------------------------
// Talking to the server

function url(path, params) {
  const q = new URLSearchParams({ ...params, token });
  return `${path}?${q}`;
}

async function post(path, body) {
  const answer = await fetch(url(path, {}), {
    method: "POST", headers: { "Content-Type": "application/json", "X-Studio-Token": token },
    body: JSON.stringify(body),
  });
  const data = await answer.json().catch(() => ({ error: `status ${answer.status}` }));
  return { ok: answer.ok, status: answer.status, data };
}

async function upload(kind, file) {
  const answer = await fetch(url("/api/upload", { kind, name: file.name }), {
    method: "POST", headers: { "Content-Type": "application/octet-stream", "X-Studio-Token": token }, body: file,
  });
  const data = await answer.json().catch(() => ({ error: `status ${answer.status}` }));
  if (!answer.ok) throw new Error(data.line || data.error);
  return data;
}

function showError(line) {
  $("error").textContent = line || "";
  $("error").hidden = !line;
}

function say(line) { $("result").textContent = line; }

// ---------------------------------------------------------------------------------------------
// The chain: steps as the page keeps them, and their JSON form

// A step: {method, values: {param: value}, strength (presets and looks)}.
function newStep(method, values = {}) {
  const info = state.byMethod[method];
  const step = { method, values: {} };
  for (const p of info.params) {
    step.values[p.name] = p.name in values ? values[p.name] : (p.required ? p.start : p.default);
  }
  if (method === "apply_preset") step.strength = 1;
  return step;
}

function isDefault(p, value) {
  return !p.required && String(value) === String(p.default);
}

// The JSON form: required values in order, then the others that differ from their default.
function toData(chain) {
  return chain.map((step) => {
    const info = state.byMethod[step.method];
    const args = [], kwargs = {};
    for (const p of info.params) {
      const value = step.values[p.name];
      if (p.required) args.push(value);
      else if (!isDefault(p, value)) kwargs[p.name] = value;
    }
    if (step.method === "apply_preset" && step.strength !== undefined && step.strength !== 1) {
      kwargs.strength = step.strength;
    }
    const entry = { method: step.method };
    if (args.length) entry.args = args;
    if (Object.keys(kwargs).length) entry.kwargs = kwargs;
    return entry;
  });
}

function fromData(data) {
  return data.map((entry) => {
    const method = entry.method;
    const info = state.byMethod[method];
    if (!info) throw new Error(`unknown step ${method}`);
    const values = {};
    (entry.args || []).forEach((v, i) => { values[info.params[i].name] = Array.isArray(v) ? v.join(",") : v; });
    const kwargs = { ...(entry.kwargs || {}) };
    const strength = kwargs.strength;
    delete kwargs.strength;
    for (const [k, v] of Object.entries(kwargs)) values[k] = Array.isArray(v) ? v.join(",") : v;
    const step = newStep(method, values);
    if (method === "apply_preset") step.strength = strength === undefined ? 1 : Number(strength);
    return step;
  });
}

// ---------------------------------------------------------------------------------------------
// Undo and redo: the history holds every chain the page has shown

function remember() {
  const snapshot = JSON.stringify(state.chain);
  if (state.at >= 0 && state.history[state.at] === snapshot) return;
  state.history = state.history.slice(0, state.at + 1);
  state.history.push(snapshot);
  state.at = state.history.length - 1;
  buttons();
}

function buttons() {
  $("undo").disabled = state.at <= 0;
  $("redo").disabled = state.at >= state.history.length - 1;
}

function travel(by) {
  const to = state.at + by;
  if (to < 0 || to >= state.history.length) return;
  state.at = to;
  state.chain = JSON.parse(state.history[to]);
  buttons();
  drawChain();
  refresh();
}

// A change: drawn, previewed and (unless it is a slider still moving) remembered.
function changed(final = true) {
  if (final) remember();
  refresh();
}

// ---------------------------------------------------------------------------------------------
// The preview: the latest chain wins; one request at a time

let running = false, again = false, shownSeq = 0, seq = 0;

async function refresh() {
  if (running) { again = true; return; }
  running = true;
  $("busy").hidden = false;
  document.body.dataset.busy = "1";
  try {
    do {
      again = false;
      await render(++seq);
    } while (again);
  } finally {
    running = false;
    $("busy").hidden = true;
    delete document.body.dataset.busy;
  }
}

async function render(mySeq) {
  const data = toData(state.chain);
  const answer = await post("/api/chain", { steps: data, photo: state.photo });
  if (!answer.ok) {
    showError(answer.data.line || answer.data.error);
    $("after").dataset.text = "";
    return;
  }
  $("text").value = answer.data.text;
  $("command").value = answer.data.command;
  const text = answer.data.text;
  const image = await fetch(url("/preview", { photo: state.photo, steps: text, size: previewSize() }));
  if (!image.ok) {
    const line = (await image.text()).trim();
    showError(image.status === 400 ? `framewick edit: error: ${line}` : line);
    $("after").dataset.text = "";
    return;
  }
  const blob = await image.blob();
  if (mySeq < shownSeq) return;
  shownSeq = mySeq;
  await swap($("after"), blob);
  $("after").dataset.text = text;
  showError("");
}

function swap(img, blob) {
  return new Promise((resolve) => {
    const old = img.src;
    img.onload = () => { if (old.startsWith("blob:")) URL.revokeObjectURL(old); resolve(); };
    img.onerror = () => resolve();
    img.src = URL.createObjectURL(blob);
  });
}

function previewSize() { return 1280; }

async function showFacts() {
  const answer = await fetch(url("/api/photo", { photo: state.photo }));
  if (!answer.ok) { $("photo-info").textContent = ""; return; }
  const facts = await answer.json();
  const [w, h] = facts.size;
  let text = `${facts.format || ""} ${w}×${h}`.trim();
  if (facts.hdr) {
    const [mw, mh] = facts.hdr.gain_map;
    text += ` · HDR: ${facts.hdr.form} gain map ${mw}×${mh}, up to ${facts.hdr.max_boost.toFixed(1)}×`;
  }
  $("photo-info").textContent = text;
}

async function showBefore() {
  const image = await fetch(url("/preview", { photo: state.photo, steps: "", size: previewSize() }));
  if (!image.ok) { showError((await image.text()).trim()); return; }
  await swap($("before"), await image.blob());
}

// ---------------------------------------------------------------------------------------------
// The step list and its controls, built from the step table

function drawChain() {
  const list = $("chain");
  list.replaceChildren();
  state.chain.forEach((step, index) => list.append(stepItem(step, index)));
  $("empty").hidden = state.chain.length > 0;
}

function stepItem(step, index) {
  const info = state.byMethod[step.method];
  const li = document.createElement("li");
  li.dataset.method = step.method;
  const title = document.createElement("div");
  title.className = "title";
  const name = document.createElement("strong");
  name.textContent = info.name;
  name.title = info.doc;
  title.append(name);
  const move = (to) => {
    const [moved] = state.chain.splice(index, 1);
    state.chain.splice(to, 0, moved);
    drawChain();
    changed();
  };
  title.append(button("↑", "move up", index === 0, () => move(index - 1)));
  title.append(button("↓", "move down", index === state.chain.length - 1, () => move(index + 1)));
  title.append(button("✕", "remove", false, () => { state.chain.splice(index, 1); drawChain(); changed(); }));
  li.append(title);
  for (const p of info.params) li.append(paramRow(step, p));
  if (step.method === "apply_preset") {
    li.append(paramRow(step, { name: "strength", kind: "float", control: "slider", min: 0, max: 1, step: 0.05,
                               required: false, default: 1, allowed: "a number from 0 to 1" }, true));
  }
  return li;
}

function button(text, title, disabled, onclick) {
  const b = document.createElement("button");
  b.textContent = text;
  b.title = title;
  b.disabled = disabled;
  b.addEventListener("click", onclick);
  return b;
}

function paramRow(step, p, isStrength = false) {
  const row = document.createElement("div");
  row.className = "param";
  row.dataset.param = p.name;
  const label = document.createElement("label");
  label.textContent = p.name + (p.unit ? ` (${p.unit})` : "");
  label.title = p.allowed || p.kind;
  const box = document.createElement("div");
  box.className = "control";
  const get = () => (isStrength ? step.strength : step.values[p.name]);
  const set = (value, final) => {
    if (isStrength) step.strength = value; else step.values[p.name] = value;
    changed(final);
  };
  const number = (text) => (p.kind === "int" ? parseInt(text, 10) : parseFloat(text));
  if (p.control === "slider") {
    const range = input("range");
    Object.assign(range, { min: p.min, max: p.max, step: p.step });
    range.value = get();
    const field = input("number");
    Object.assign(field, { step: p.step });
    field.value = get();
    range.addEventListener("input", () => { field.value = range.value; set(number(range.value), false); });
    range.addEventListener("change", () => set(number(range.value), true));
    field.addEventListener("change", () => { range.value = field.value; set(number(field.value), true); });
    box.append(range, field);
  } else if (p.control === "number") {
    const field = input("number");
    if (p.kind !== "int") field.step = "any";
    field.value = get();
    field.addEventListener("change", () => set(number(field.value), true));
    box.append(field);
  } else if (p.control === "switch") {
    const field = input("checkbox");
    field.checked = Boolean(get());
    field.addEventListener("change", () => set(field.checked, true));
    box.append(field);
  } else if (p.control === "choice") {
    const field = document.createElement("select");
    const choices = p.name === "preset_name" ? [...state.presets, ...state.looks.map((l) => l.name)] : p.choices;
    for (const c of choices) field.append(new Option(c, c));
    if (!choices.includes(get())) field.append(new Option(get(), get()));
    field.value = get();
    field.addEventListener("change", () => set(field.value, true));
    box.append(field);
  } else if (p.control === "colour") {
    const text = input("text");
    text.value = get();
    const picker = input("color");
    picker.value = hex(get());
    picker.addEventListener("input", () => { text.value = picker.value; set(picker.value, false); });
    picker.addEventListener("change", () => set(picker.value, true));
    text.addEventListener("change", () => set(text.value, true));
    box.append(picker, text);
  } else if (p.control === "file") {
    const shown = document.createElement("span");
    shown.className = "hint";
    shown.textContent = get() ? String(get()).split("/").pop() : "no file chosen";
    const picker = document.createElement("label");
    picker.className = "button";
    picker.textContent = "Choose…";
    const field = input("file");
    field.accept = p.accept;
    field.hidden = true;
    field.addEventListener("change", async () => {
      if (!field.files.length) return;
      try {
        const answer = await upload(p.accept === ".cube" ? "lut" : "picture", field.files[0]);
        shown.textContent = answer.name;
        set(answer.path, true);
      } catch (e) { showError(e.message); }
    });
    picker.append(field);
    box.append(picker, shown);
  } else {
    const field = input("text");
    field.value = get() ?? "";
    if (p.example !== undefined) field.placeholder = String(p.example);
    field.addEventListener("change", () => set(field.value, true));
    box.append(field);
  }
  row.append(label, box);
  const words = [p.direction, p.help].filter(Boolean).join("; ");
  if (words) {
    const more = document.createElement("div");
    more.className = "words";
    more.textContent = words;
    row.append(more);
  }
  return row;
}

// A colour as the picker takes it (#rrggbb), from any name the browser knows; white otherwise.
function hex(colour) {
  const context = document.createElement("canvas").getContext("2d");
  context.fillStyle = "#ffffff";
  context.fillStyle = String(colour);
  return /^#[0-9a-f]{6}$/i.test(context.fillStyle) ? context.fillStyle : "#ffffff";
}

function input(type) {
  const field = document.createElement("input");
  field.type = type;
  return field;
}

// ---------------------------------------------------------------------------------------------
// Presets and looks as thumbnails of this photo

function drawThumbs() {
  const make = (name, label, title) => {
    const b = document.createElement("button");
    b.className = "thumb";
    b.dataset.name = name;
    b.title = title || `add ${name}`;
    const img = document.createElement("img");
    img.alt = name;
    img.src = url("/thumb", { photo: state.photo, steps: `preset:${name}`, size: 160 });
    const caption = document.createElement("div");
    caption.textContent = label;
    b.append(img, caption);
    b.addEventListener("click", () => {
      state.chain.push(newStep("apply_preset", { preset_name: name }));
      drawChain();
      changed();
    });
    return b;
  };
  $("presets").replaceChildren(...state.presets.map((n) => make(n, n)));
  $("looks").replaceChildren(...state.looks.map((l) => make(l.name, l.name, l.description || l.steps)));
  $("no-looks").hidden = state.looks.length > 0;
}

// ---------------------------------------------------------------------------------------------
// The before/after split

function split(percent) {
  const p = Math.max(0, Math.min(100, percent));
  $("before").style.clipPath = `inset(0 ${100 - p}% 0 0)`;
  $("handle").style.left = `${p}%`;
  $("split").value = p;
}

function dragSplit() {
  const frame = $("frame");
  const at = (event) => {
    const box = frame.getBoundingClientRect();
    split(((event.clientX - box.left) / box.width) * 100);
  };
  frame.addEventListener("pointerdown", (event) => { frame.setPointerCapture(event.pointerId); at(event); });
  frame.addEventListener("pointermove", (event) => { if (frame.hasPointerCapture(event.pointerId)) at(event); });
  $("split").addEventListener("input", () => split(Number($("split").value)));
}

// ---------------------------------------------------------------------------------------------
// Start

async function loadState() {
  const answer = await fetch(url("/api/state", {}));
  const data = await answer.json();
  state.steps = data.steps;
  state.byMethod = Object.fromEntries(data.steps.map((s) => [s.method, s]));
  state.presets = data.presets;
  state.looks = data.looks;
  const photos = $("photo");
  photos.replaceChildren(...data.photos.map((p) => new Option(p.name, p.index)));
  photos.value = String(state.photo);
  $("looks-file").textContent = `→ ${data.looks_file}`;
  $("export-dir").textContent = `→ ${data.export_dir}`;
  return data;
}

async function choosePhoto(index) {
  state.photo = index;
  $("photo").value = String(index);
  drawThumbs();
  showFacts();
  await showBefore();
  await refresh();
}

async function start() {
  await loadState();
  const add = $("add-step");
  add.replaceChildren(...state.steps.map((s) => {
    const option = new Option(s.name + (s.params.length ? ":" + s.params.map((p) => p.name).join(",") : ""), s.method);
    option.title = s.doc;
    return option;
  }));
  $("add").addEventListener("click", () => { state.chain.push(newStep(add.value)); drawChain(); changed(); });
  $("undo").addEventListener("click", () => travel(-1));
  $("redo").addEventListener("click", () => travel(1));
  document.addEventListener("keydown", (event) => {
    const typing = ["TEXTAREA", "INPUT"].includes(event.target.tagName) && !["range", "checkbox"].includes(event.target.type);
    if (typing || !(event.ctrlKey || event.metaKey) || event.key.toLowerCase() !== "z") return;
    event.preventDefault();
    travel(event.shiftKey ? 1 : -1);
  });
  $("photo").addEventListener("change", () => choosePhoto(Number($("photo").value)));
  $("upload").addEventListener("change", async () => {
    if (!$("upload").files.length) return;
    try {
      const answer = await upload("photo", $("upload").files[0]);
      await loadState();
      await choosePhoto(answer.photo);
    } catch (e) { showError(e.message); }
  });
  const loadText = async () => {
    const answer = await post("/api/chain", { text: $("text").value, photo: state.photo });
    if (!answer.ok) { showError(answer.data.line || answer.data.error); return; }
    state.chain = fromData(answer.data.steps);
    drawChain();
    changed();
  };
  $("load-text").addEventListener("click", loadText);
  $("text").addEventListener("paste", () => setTimeout(loadText, 0));
  const copy = (id) => async () => {
    $(id).select();
    try { await navigator.clipboard.writeText($(id).value); } catch { document.execCommand("copy"); }
    say("copied");
  };
  $("copy-text").addEventListener("click", copy("text"));
  $("copy-command").addEventListener("click", copy("command"));
  $("save-form").addEventListener("submit", async (event) => {
    event.preventDefault();
    const body = { name: $("look-name").value.trim(), description: $("look-description").value,
                   steps: toData(state.chain), replace: false };
    let answer = await post("/api/look", body);
    if (answer.status === 409 && confirm(`Replace the look '${body.name}'? ${answer.data.error}`)) {
      answer = await post("/api/look", { ...body, replace: true });
    }
    if (!answer.ok) { if (answer.status !== 409) showError(answer.data.line || answer.data.error); return; }
    showError("");
    say(`look '${answer.data.name}' ${answer.data.replaced ? "replaced" : "saved"} in ${answer.data.file}`);
    await loadState();
    drawThumbs();
  });
  $("export-form").addEventListener("submit", async (event) => {
    event.preventDefault();
    $("export").disabled = true;
    say("exporting…");
    try {
      const answer = await post("/api/export", { photo: state.photo, steps: toData(state.chain),
                                                 format: $("export-format").value });
      if (!answer.ok) { say(""); showError(answer.data.line || answer.data.error); return; }
      showError("");
      say(`exported ${answer.data.path}`);
      document.body.dataset.exported = answer.data.path;
    } finally { $("export").disabled = false; }
  });
  dragSplit();
  split(50);
  remember();
  drawChain();
  if ($("photo").options.length) await choosePhoto(0);
  else showError("no photo yet: open one with 'Open a photo…'");
  document.body.dataset.ready = "1";
}

start().catch((e) => showError(String(e)));
