// The page of fxhost preview: the effect list, a control per parameter
// (slider, switch or point picker) and the picture, re-rendered by the
// server whenever a control moves.
#pragma once

namespace fxhost {

inline constexpr char kPreviewPage[] = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>fxhost preview</title>
<style>
  body { font: 14px/1.4 "DejaVu Sans", sans-serif; margin: 0; background: #1e1f22; color: #ddd; }
  header { padding: 10px 16px; background: #2b2d31; }
  header h1 { font-size: 16px; margin: 0; display: inline; }
  header span { color: #999; margin-left: 12px; }
  main { display: flex; gap: 16px; padding: 16px; align-items: flex-start; }
  #panel { width: 300px; flex: none; }
  #panel select { width: 100%; font-size: 14px; padding: 4px; }
  #description { color: #aaa; margin: 8px 0 14px; }
  .param { margin-bottom: 14px; }
  .param label { display: flex; justify-content: space-between; }
  .param output { color: #8cc8ff; font-variant-numeric: tabular-nums; }
  .param input[type=range] { width: 100%; }
  .picker { position: relative; border: 1px solid #555; cursor: crosshair;
            background: #3a3d44 url(source.png) center / 100% 100%;
            width: 100%; touch-action: none; }
  .picker div { position: absolute; width: 10px; height: 10px; margin: -6px 0 0 -6px;
                border: 2px solid #fff; border-radius: 50%; background: #e33; pointer-events: none; }
  .hint { color: #888; font-size: 12px; }
  #pictures { flex: 1; min-width: 0; }
  #pictures img { max-width: 100%; display: block; background: #000; }
  #source { max-width: 240px !important; margin-top: 10px; opacity: .8; }
  #status { margin: 6px 0; color: #999; min-height: 1.4em; }
  #status.error { color: #ff7b72; }
</style>
</head>
<body>
<header><h1>fxhost preview</h1><span id="module"></span></header>
<main>
  <div id="panel">
    <select id="effect" aria-label="Effect"></select>
    <div id="description"></div>
    <div id="params"></div>
    <button id="reset" type="button">Defaults</button>
  </div>
  <div id="pictures">
    <img id="warped" alt="the picture with the effect">
    <div id="status"></div>
    <div class="hint">Source:</div>
    <img id="source" src="source.png" alt="the picture without the effect">
  </div>
</main>
<script>
"use strict";
let effects = [], current = null, values = {};
let busy = false, again = false, shownUrl = null;
const $ = id => document.getElementById(id);

function text(v) {
  if (Array.isArray(v)) return v.map(String).join(",");
  if (typeof v === "boolean") return v ? "1" : "0";
  return String(v);
}

// Rounds a slider or picker value to its step, as text the server parses.
function snap(v, lo, hi, steps) {
  const step = (hi - lo) / steps;
  const digits = Math.max(0, Math.ceil(-Math.log10(step)) + 1);
  return Number(Math.min(hi, Math.max(lo, v)).toFixed(digits));
}

function query() {
  const q = new URLSearchParams({effect: current.short_name});
  for (const p of current.parameters)
    if (p.key in values) q.set(p.key, text(values[p.key]));
  return q.toString();
}

function render() {
  if (busy) { again = true; return; }
  busy = true;
  const q = query(), started = performance.now();
  fetch("render.png?" + q)
    .then(async r => {
      if (!r.ok) throw new Error(await r.text());
      return r.blob();
    })
    .then(blob => new Promise((resolve, reject) => {
      const url = URL.createObjectURL(blob), img = $("warped");
      img.onload = () => {
        if (shownUrl) URL.revokeObjectURL(shownUrl);
        shownUrl = url;
        img.dataset.query = q;
        img.dataset.renders = String(Number(img.dataset.renders || 0) + 1);
        resolve();
      };
      img.onerror = () => reject(new Error("the picture could not be decoded"));
      img.src = url;
    }))
    .then(() => {
      $("status").className = "";
      $("status").textContent = current.name + " \u2014 " +
          Math.round(performance.now() - started) + " ms";
    })
    .catch(e => { $("status").className = "error"; $("status").textContent = e.message; })
    .finally(() => { busy = false; if (again) { again = false; render(); } });
}

function numberControl(p, box) {
  const label = document.createElement("label"), out = document.createElement("output");
  label.textContent = p.name;
  label.appendChild(out);
  const input = document.createElement("input");
  Object.assign(input, {type: "range", min: p.min, max: p.max, step: (p.max - p.min) / 1000,
                        value: values[p.key], id: "param-" + p.key});
  input.dataset.key = p.key;
  out.textContent = text(values[p.key]);
  input.addEventListener("input", () => {
    values[p.key] = snap(Number(input.value), p.min, p.max, 1000);
    out.textContent = text(values[p.key]);
    render();
  });
  box.append(label, input);
}

function switchControl(p, box) {
  const label = document.createElement("label"), input = document.createElement("input");
  Object.assign(input, {type: "checkbox", checked: Boolean(values[p.key]), id: "param-" + p.key});
  input.dataset.key = p.key;
  label.textContent = p.name;
  label.appendChild(input);
  input.addEventListener("change", () => { values[p.key] = input.checked; render(); });
  box.append(label);
}

function positionControl(p, box) {
  const label = document.createElement("label"), out = document.createElement("output");
  label.textContent = p.name;
  label.appendChild(out);
  const pad = document.createElement("div"), dot = document.createElement("div");
  pad.className = "picker";
  pad.id = "param-" + p.key;
  pad.dataset.key = p.key;
  const img = $("source");
  pad.style.aspectRatio = (img.naturalWidth || 16) + " / " + (img.naturalHeight || 9);
  pad.appendChild(dot);
  const show = () => {
    const [x, y] = values[p.key];
    dot.style.left = (100 * x) + "%";
    dot.style.top = (100 * y) + "%";
    out.textContent = text(values[p.key]);
  };
  const pick = e => {
    const r = pad.getBoundingClientRect();
    values[p.key] = [snap((e.clientX - r.left) / r.width, p.min[0], p.max[0], 1000),
                     snap((e.clientY - r.top) / r.height, p.min[1], p.max[1], 1000)];
    show();
    render();
  };
  pad.addEventListener("pointerdown", e => { pad.setPointerCapture(e.pointerId); pick(e); });
  pad.addEventListener("pointermove", e => { if (e.buttons) pick(e); });
  show();
  const hint = document.createElement("div");
  hint.className = "hint";
  hint.textContent = "Click or drag: the point in the frame (range " + text(p.min) + " to " +
                     text(p.max) + ").";
  box.append(label, pad, hint);
}

function choose(name) {
  current = effects.find(e => e.short_name === name) || effects[0];
  $("effect").value = current.short_name;
  $("description").textContent = current.description;
  values = {};
  const params = $("params");
  params.replaceChildren();
  for (const p of current.parameters) {
    const box = document.createElement("div");
    box.className = "param";
    if (p.description) box.title = p.description;
    if (p.type === "number") { values[p.key] = p.default; numberControl(p, box); }
    else if (p.type === "switch") { values[p.key] = p.default !== 0; switchControl(p, box); }
    else if (p.type === "position") { values[p.key] = p.default.slice(); positionControl(p, box); }
    else continue;
    params.appendChild(box);
  }
  history.replaceState(null, "", "#" + current.short_name);
  render();
}

fetch("effects.json").then(r => r.json()).then(doc => {
  $("module").textContent = doc.module.name;
  effects = doc.effects.filter(e => e.available);
  for (const e of effects) $("effect").add(new Option(e.name, e.short_name));
  $("effect").addEventListener("change", () => choose($("effect").value));
  $("reset").addEventListener("click", () => choose(current.short_name));
  const start = () => choose(location.hash.slice(1));
  if ($("source").complete) start();
  else for (const ev of ["load", "error"]) $("source").addEventListener(ev, start, {once: true});
}).catch(e => { $("status").className = "error"; $("status").textContent = e.message; });
</script>
</body>
</html>
)PAGE";

}  // namespace fxhost
