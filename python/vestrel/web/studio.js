// vestrel studio: a page over the HTTP interface. Every call goes through api(), which turns a
// refused request into an Error whose message is the server's own text, and every caller
// shows that text next to what failed.
"use strict";

const MAX_SCENES = 6;
const POLL_MS = 500;
const STAGE_LABELS = {
  media: "media", voice: "voice", project: "project", silence: "pauses",
  transcription: "transcription", alignment: "alignment", captions: "captions",
  assembly: "assembly", render: "render",
};
const EXPORTS = [
  { format: "otio", label: "OpenTimelineIO (.otioz)" },
  { format: "fcpxml", label: "Final Cut Pro XML (.zip)" },
  { format: "srt", label: "Subtitles (.srt)" },
];

const $ = (id) => document.getElementById(id);
const state = { videos: [], running: false, rendering: false, renderJob: null };

// ---------------------------------------------------------------------------------------
// API calls and errors

// The detail of an error answer in words: a plain text, or the framework's list of field
// errors ("body > scenes > 0 > caption: Field required").
function detailText(status, body) {
  if (body && typeof body === "object" && "detail" in body) {
    const d = body.detail;
    if (typeof d === "string") return d;
    if (Array.isArray(d)) {
      return d.map((e) => {
        const where = Array.isArray(e.loc) ? e.loc.join(" > ") : "";
        return where ? `${where}: ${e.msg}` : String(e.msg);
      }).join("\n");
    }
    return JSON.stringify(d);
  }
  if (typeof body === "string" && body.trim()) return body.trim();
  return `The server answered ${status}`;
}

async function api(method, path, body) {
  const init = { method, headers: {} };
  if (body instanceof FormData) {
    init.body = body;
  } else if (body !== undefined) {
    init.headers["Content-Type"] = "application/json";
    init.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch(path, init);
  } catch (e) {
    throw new Error(`The server cannot be reached (${method} ${path}): ${e.message}`);
  }
  const text = await response.text();
  let parsed = text;
  try { parsed = text ? JSON.parse(text) : null; } catch (e) { /* not JSON: keep the text */ }
  if (!response.ok) {
    const err = new Error(`${detailText(response.status, parsed)} (${response.status})`);
    err.status = response.status;
    throw err;
  }
  return parsed;
}

function showError(id, error) {
  const el = $(id);
  if (!error) { el.hidden = true; el.textContent = ""; return; }
  el.textContent = error instanceof Error ? error.message : String(error);
  el.hidden = false;
}

// Runs an action; a failure is shown in the error element `id` (and cleared on success).
async function guarded(id, action) {
  try {
    const result = await action();
    showError(id, null);
    return result;
  } catch (e) {
    showError(id, e);
    return undefined;
  }
}

function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(props)) {
    if (k === "class") node.className = v;
    else if (k === "dataset") Object.assign(node.dataset, v);
    else if (k.startsWith("on")) node.addEventListener(k.slice(2), v);
    else if (v !== undefined && v !== null) node.setAttribute(k, v);
  }
  for (const c of children) node.append(c instanceof Node ? c : document.createTextNode(String(c)));
  return node;
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// ---------------------------------------------------------------------------------------
// Media library

async function loadVideos() {
  const answer = await guarded("video-error", () => api("GET", "/media/background-videos"));
  if (!answer) return;
  state.videos = answer.items || [];
  const list = $("video-list");
  list.replaceChildren();
  if (!state.videos.length) list.append(el("p", { class: "hint" }, "No background videos yet: upload one."));
  for (const v of state.videos) {
    list.append(el("div", { class: "thumb", dataset: { id: v.id } },
      el("img", { src: v.thumbnail, alt: v.title, loading: "lazy" }),
      el("span", { class: "title", title: v.title }, v.title),
      el("button", {
        type: "button", class: "delete", title: `Delete ${v.title}`,
        onclick: () => deleteVideo(v),
      }, "✕")));
  }
  for (const scene of document.querySelectorAll(".scene")) {
    if (!scene.dataset.background) chooseFreeBackground(scene);
    fillPicker(scene);
  }
}

// The first video that no other scene uses (else the first one) as a scene's background.
function chooseFreeBackground(scene) {
  const used = new Set([...document.querySelectorAll(".scene")]
    .filter((s) => s !== scene).map((s) => s.dataset.background));
  const free = state.videos.find((v) => !used.has(v.id)) || state.videos[0];
  if (free) scene.dataset.background = free.id;
}

async function deleteVideo(v) {
  if (!confirm(`Delete the background video "${v.title}"?`)) return;
  const ok = await guarded("video-error",
    () => api("DELETE", `/media/background-videos/${encodeURIComponent(v.id)}`));
  if (ok) await loadVideos();
}

async function loadMusic() {
  const answer = await guarded("music-error", () => api("GET", "/media/background-music"));
  if (!answer) return;
  const list = $("music-list");
  const select = $("music-select");
  const chosen = select.value;
  list.replaceChildren();
  select.replaceChildren(el("option", { value: "" }, "no music"));
  for (const m of answer.items || []) {
    list.append(el("li", { dataset: { id: m.id } },
      el("span", {}, m.title),
      el("a", { href: `/media/${encodeURIComponent(m.id)}.mp3`, target: "_blank" }, "listen"),
      el("button", { type: "button", onclick: () => deleteMusic(m) }, "Delete")));
    select.append(el("option", { value: m.id }, m.title));
  }
  if (!(answer.items || []).length) list.append(el("li", { class: "hint" }, "No music yet."));
  select.value = [...select.options].some((o) => o.value === chosen) ? chosen : "";
}

async function deleteMusic(m) {
  if (!confirm(`Delete the music "${m.title}"?`)) return;
  const ok = await guarded("music-error",
    () => api("DELETE", `/media/background-music/${encodeURIComponent(m.id)}`));
  if (ok) await loadMusic();
}

async function loadTemplates() {
  const answer = await guarded("template-error", () => api("GET", "/templates/list"));
  if (!answer) return;
  const list = $("template-list");
  const select = $("template-select");
  const chosen = select.value;
  list.replaceChildren();
  select.replaceChildren(el("option", { value: "" }, "default (built-in)"));
  for (const [group, names] of [["built-in", answer.builtin || []], ["uploaded", answer.cached || []]]) {
    for (const name of names) {
      list.append(el("li", {}, el("span", {}, name), el("span", { class: "tag" }, group)));
      select.append(el("option", { value: name }, `${name} (${group})`));
    }
  }
  select.value = [...select.options].some((o) => o.value === chosen) ? chosen : "";
}

function wireUpload(formId, errorId, path, after) {
  const form = $(formId);
  form.addEventListener("submit", async (event) => {
    event.preventDefault();
    const button = form.querySelector("button");
    button.disabled = true;
    const ok = await guarded(errorId, () => api("POST", path, new FormData(form)));
    button.disabled = false;
    if (ok) { form.reset(); await after(); }
  });
}

// ---------------------------------------------------------------------------------------
// Script editor

function fillPicker(scene) {
  const picker = scene.querySelector(".picker");
  const chosen = scene.dataset.background || "";
  picker.replaceChildren();
  if (!state.videos.length) {
    picker.append(el("span", { class: "hint" }, "Upload a background video first."));
    return;
  }
  for (const v of state.videos) {
    const item = el("button", {
      type: "button", class: "thumb" + (v.id === chosen ? " selected" : ""),
      title: v.title, "aria-pressed": v.id === chosen ? "true" : "false", dataset: { id: v.id },
      onclick: () => { scene.dataset.background = v.id; fillPicker(scene); },
    }, el("img", { src: v.thumbnail, alt: v.title }), el("span", { class: "title" }, v.title));
    picker.append(item);
  }
  if (chosen && !state.videos.some((v) => v.id === chosen)) delete scene.dataset.background;
}

function renumberScenes() {
  const scenes = [...document.querySelectorAll(".scene")];
  scenes.forEach((s, i) => { s.querySelector(".scene-number").textContent = i + 1; });
  $("add-scene").disabled = scenes.length >= MAX_SCENES;
  for (const s of scenes) s.querySelector(".remove-scene").disabled = scenes.length <= 1;
}

function addScene(text = "") {
  if (document.querySelectorAll(".scene").length >= MAX_SCENES) return;
  const scene = $("scene-template").content.firstElementChild.cloneNode(true);
  scene.querySelector(".scene-text").value = text;
  scene.querySelector(".remove-scene").addEventListener("click", () => { scene.remove(); renumberScenes(); });
  $("scenes").append(scene);
  chooseFreeBackground(scene);
  fillPicker(scene);
  renumberScenes();
}

// The scene texts are joined with nothing between them: every scene but the last ends with a
// blank, so that its last word and the next scene's first word stay two words.
function sceneCaptions(texts) {
  return texts.map((t, i) => {
    const clean = t.replace(/\s+$/u, "");
    return i < texts.length - 1 ? clean + " " : clean;
  });
}

function buildRequest() {
  const scenes = [...document.querySelectorAll(".scene")];
  const problems = [];
  const texts = scenes.map((s) => s.querySelector(".scene-text").value);
  scenes.forEach((s, i) => {
    if (!texts[i].trim()) problems.push(`Scene ${i + 1} has no text.`);
    if (!s.dataset.background) problems.push(`Scene ${i + 1} has no background video.`);
  });
  if (!scenes.length) problems.push("Add at least one scene.");
  if (problems.length) throw new Error(problems.join("\n"));
  const captions = sceneCaptions(texts);
  const engine = $("tts-engine").value;
  const req = {
    scenes: scenes.map((s, i) => ({ caption: captions[i], background: { background_id: s.dataset.background } })),
    bg_music_id: $("music-select").value || null,
    tts_engine: engine,
    whisper_model: $("aligner").value,
    language: $("language").value.trim() || "de",
    chars_per_line: parseInt($("chars-per-line").value, 10) || 25,
    remove_silence: $("remove-silence").checked,
    min_silence_duration: parseFloat($("min-silence").value) || 0.3,
    davinci_project_name: $("project-name").value.trim() || "tolvane_2026",
    davinci_template_path: $("template-select").value || null,
  };
  // The request's voice field for espeak and Edge is edge_voice_name.
  if (engine === "espeak" && $("espeak-voice").value) req.edge_voice_name = $("espeak-voice").value;
  if (engine === "edge" && $("edge-voice").value.trim()) req.edge_voice_name = $("edge-voice").value.trim();
  if (engine === "eleven") {
    if ($("eleven-voice").value.trim()) req.eleven_voice_id = $("eleven-voice").value.trim();
    if ($("eleven-key").value.trim()) req.eleven_api_key = $("eleven-key").value.trim();
  }
  return req;
}

function showEngineFields() {
  const engine = $("tts-engine").value;
  $("espeak-voice-field").hidden = engine !== "espeak";
  $("edge-voice-field").hidden = engine !== "edge";
  $("eleven-voice-field").hidden = engine !== "eleven";
  $("eleven-key-field").hidden = engine !== "eleven";
}

async function loadVoices() {
  const answer = await guarded("generate-error", () => api("GET", "/studio/voices"));
  if (!answer) return;
  const select = $("espeak-voice");
  const voices = [...(answer.voices || [])].sort((a, b) => a.name.localeCompare(b.name));
  for (const v of voices) {
    const langs = (v.languages || []).join(", ");
    select.append(el("option", { value: v.identifier }, `${v.name} (${langs})`));
  }
}

// ---------------------------------------------------------------------------------------
// Generation and its stages

function drawStages(progress) {
  const list = $("stages");
  list.replaceChildren();
  for (const s of progress.stages || []) {
    const secs = s.seconds === null || s.seconds === undefined ? "" : `${s.seconds.toFixed(1)} s`;
    list.append(el("li", { class: s.state, dataset: { stage: s.name, state: s.state }, title: s.state },
      STAGE_LABELS[s.name] || s.name, el("span", { class: "secs" }, secs)));
  }
}

function setBusy() {
  const busy = state.running || state.rendering;
  $("generate-button").disabled = busy;
  $("cancel-button").disabled = !busy;
  $("render-button").disabled = busy || !state.generated;
}

async function pollGeneration() {
  for (;;) {
    let p;
    try {
      p = await api("GET", "/studio/progress");
    } catch (e) {
      showError("generate-error", e);
      await sleep(POLL_MS * 4);
      continue;
    }
    drawStages(p);
    $("run-status").textContent = p.status;
    if (p.status !== "generating") return p;
    await sleep(POLL_MS);
  }
}

async function generate() {
  let req;
  try { req = buildRequest(); } catch (e) { showError("generate-error", e); return; }
  showError("generate-error", null);
  state.running = true;
  state.generated = false;
  setBusy();
  $("run-status").textContent = "starting";
  try {
    await api("POST", "/brevano/generate", req);
  } catch (e) {
    showError("generate-error", e);
    state.running = false;
    setBusy();
    await pollGenerationOnce();
    return;
  }
  await followGeneration();
}

async function pollGenerationOnce() {
  try {
    const p = await api("GET", "/studio/progress");
    drawStages(p);
    $("run-status").textContent = p.status;
    return p;
  } catch (e) {
    showError("generate-error", e);
    return null;
  }
}

async function followGeneration() {
  state.running = true;
  setBusy();
  const p = await pollGeneration();
  state.running = false;
  if (p.status === "done") {
    state.generated = true;
    showError("generate-error", null);
    if (!$("output-name").value) $("output-name").value = defaultOutputStem();
    await loadTimeline();
  } else if (p.status === "error") {
    const where = p.failed_stage ? `Stage "${STAGE_LABELS[p.failed_stage] || p.failed_stage}" failed: ` : "";
    const status = await api("GET", "/brevano/status").catch(() => null);
    const text = p.error || (status && status.status && status.status.error) || "unknown error";
    showError("generate-error", new Error(where + text));
  }
  setBusy();
}

async function cancel() {
  $("cancel-button").disabled = true;
  const answer = await guarded(state.rendering ? "render-error" : "generate-error",
    () => api("POST", "/studio/cancel"));
  if (!answer) setBusy();
}

// ---------------------------------------------------------------------------------------
// Render, exports, timeline

function defaultOutputStem() {
  const base = ($("project-name").value.trim() || "short").replace(/[^\p{L}\p{N}_-]+/gu, "_");
  const d = new Date();
  const pad = (n) => String(n).padStart(2, "0");
  return `${base}_${d.getFullYear()}${pad(d.getMonth() + 1)}${pad(d.getDate())}-${pad(d.getHours())}${pad(d.getMinutes())}${pad(d.getSeconds())}`;
}

async function render() {
  const stem = $("output-name").value.trim() || defaultOutputStem();
  $("output-name").value = stem;
  showError("render-error", null);
  let job;
  try {
    job = await api("POST", "/studio/render", { filename: `${stem}.mp4` });
  } catch (e) {
    showError("render-error", e);
    return;
  }
  state.rendering = true;
  setBusy();
  const bar = $("render-progress");
  bar.hidden = false;
  bar.value = 0;
  let status;
  for (;;) {
    try {
      status = await api("GET", `/studio/render/${encodeURIComponent(job.job_id)}`);
    } catch (e) {
      showError("render-error", e);
      status = null;
      break;
    }
    bar.value = status.percent;
    $("render-status").textContent = `${status.status} ${status.percent}%`;
    if (status.status !== "rendering") break;
    await sleep(POLL_MS);
  }
  state.rendering = false;
  setBusy();
  await pollGenerationOnce();
  if (!status) return;
  if (status.status === "done") {
    play(status.output);
    await exportAll(stem, status.output);
  } else if (status.status === "cancelled") {
    showError("render-error", "The render was cancelled.");
  } else {
    showError("render-error", `The render failed: ${status.error || "no reason given"}`);
  }
  await loadOutputs();
}

function renderStage(progress) {
  const st = (progress.stages || []).find((s) => s.name === "render");
  return st ? st.state : null;
}

// A render started before the page was opened: its stage is followed until it ends (the page
// knows no job of it, so there is no percentage), and it can be cancelled.
async function followRenderStage() {
  state.rendering = true;
  setBusy();
  $("render-status").textContent = "a render is running";
  let p;
  do {
    await sleep(POLL_MS * 2);
    p = await pollGenerationOnce();
  } while (p && renderStage(p) === "running");
  state.rendering = false;
  setBusy();
  $("render-status").textContent = p ? `render ${renderStage(p)}` : "";
  if (p && p.failed_stage === "render") showError("render-error", `The render failed: ${p.error}`);
  await loadOutputs();
}

function play(url) {
  const player = $("player");
  player.hidden = false;
  player.src = `${url}?v=${Date.now()}`;
  player.play().catch(() => { /* the browser wants a click first; the controls are there */ });
  player.scrollIntoView({ behavior: "smooth", block: "nearest" });
}

async function exportAll(stem, mp4) {
  const list = $("downloads");
  list.replaceChildren(el("li", {}, el("a", { href: mp4, download: "", class: "download", dataset: { kind: "mp4" } }, "Video (.mp4)")));
  const problems = [];
  for (const x of EXPORTS) {
    try {
      const answer = await api("POST", "/studio/export", { format: x.format, filename: stem });
      list.append(el("li", {}, el("a", { href: answer.path, download: "", class: "download", dataset: { kind: x.format } }, x.label)));
    } catch (e) {
      problems.push(`${x.label}: ${e.message}`);
    }
  }
  showError("export-error", problems.length ? problems.join("\n") : null);
}

async function loadTimeline() {
  const t = await guarded("timeline-error", () => api("GET", "/studio/timeline").catch((e) => {
    throw new Error(`The timeline cannot be read: ${e.message}`);
  }));
  if (!t) return;
  const box = $("timeline");
  box.replaceChildren();
  const tracks = [];
  (t.tracks.video || []).forEach((items, i) => tracks.push({ label: `V${i + 1}`, items, kind: "video" }));
  (t.tracks.audio || []).forEach((items, i) => tracks.push({ label: `A${i + 1}`, items, kind: "audio" }));
  let first = Infinity, last = -Infinity;
  for (const tr of tracks) for (const it of tr.items) { first = Math.min(first, it.start); last = Math.max(last, it.end); }
  if (!isFinite(first)) { box.append(el("p", { class: "hint" }, "The timeline is empty.")); return; }
  const start = Math.min(first, t.start_frame ?? first);
  const span = Math.max(1, last - start);
  box.append(el("p", { class: "hint" },
    `${t.project} / ${t.timeline}: ${t.width}×${t.height}, ${t.fps} fps, ${((last - start) / t.fps).toFixed(2)} s`));
  for (const tr of tracks) {
    const lane = el("div", { class: "lane" });
    for (const it of tr.items) {
      const kind = tr.kind === "audio" ? "audio" : (it.text !== undefined && it.text !== null ? "title" : "video");
      const label = it.text || it.name || "";
      lane.append(el("div", {
        class: `item ${kind}`, title: `${label} [${it.start}-${it.end}]`,
        style: `left:${((it.start - start) / span) * 100}%;width:${((it.end - it.start) / span) * 100}%`,
      }, label));
    }
    box.append(el("div", { class: "track", dataset: { track: tr.label } }, el("span", { class: "label" }, tr.label), lane));
  }
}

// ---------------------------------------------------------------------------------------
// Earlier renders and exports

function sizeText(bytes) {
  if (bytes >= 1048576) return `${(bytes / 1048576).toFixed(1)} MB`;
  if (bytes >= 1024) return `${(bytes / 1024).toFixed(0)} kB`;
  return `${bytes} B`;
}

async function loadOutputs() {
  const answer = await guarded("outputs-error", () => api("GET", "/studio/outputs"));
  if (!answer) return;
  const body = $("output-list");
  body.replaceChildren();
  if (!answer.outputs.length) {
    body.append(el("tr", {}, el("td", { colspan: "5", class: "hint" }, "Nothing rendered or exported yet.")));
  }
  for (const o of answer.outputs) {
    const actions = el("td", {});
    if (o.kind === "mp4") actions.append(el("button", { type: "button", onclick: () => play(o.url) }, "Play"));
    actions.append(el("a", { href: o.url, download: "" }, "Download"));
    actions.append(el("button", { type: "button", class: "danger", onclick: () => deleteOutput(o) }, "Delete"));
    body.append(el("tr", { dataset: { name: o.name } },
      el("td", {}, el("code", {}, o.name)), el("td", {}, o.kind), el("td", {}, sizeText(o.size)),
      el("td", {}, new Date(o.modified * 1000).toLocaleString()), actions));
  }
}

async function deleteOutput(o) {
  if (!confirm(`Delete ${o.name}?`)) return;
  const ok = await guarded("outputs-error", () => api("DELETE", `/studio/outputs/${encodeURIComponent(o.name)}`));
  if (ok) await loadOutputs();
}

// ---------------------------------------------------------------------------------------

async function start() {
  wireUpload("video-upload", "video-error", "/media/background-videos/upload", loadVideos);
  wireUpload("music-upload", "music-error", "/media/background-music/upload", loadMusic);
  wireUpload("template-upload", "template-error", "/templates/upload", loadTemplates);
  $("add-scene").addEventListener("click", () => addScene());
  $("tts-engine").addEventListener("change", showEngineFields);
  $("generate-button").addEventListener("click", generate);
  $("cancel-button").addEventListener("click", cancel);
  $("render-button").addEventListener("click", render);
  $("refresh-outputs").addEventListener("click", loadOutputs);
  showEngineFields();
  await Promise.all([loadVideos(), loadMusic(), loadTemplates(), loadVoices(), loadOutputs()]);
  addScene();
  // A generation that runs (or ran) before the page was opened is shown as it is.
  const p = await pollGenerationOnce();
  if (p && p.status === "done") { state.generated = true; setBusy(); await loadTimeline(); }
  document.body.dataset.ready = "true";
  if (p && p.status === "generating") await followGeneration();
  else if (p && renderStage(p) === "running") await followRenderStage();
}

start();
