// The page: controls built from the command's option table (GET /api/options),
// maps of a preview-sized copy made while a control moves, the full-size maps
// on Download, and the command line that makes the same files.
'use strict';

const $ = (id) => document.getElementById(id);
const state = {
  limits: null,
  session: null,  // {session, name, width, height, ...} as the server answered
  values: new Map(),  // option name -> value as typed on the command line; unset: default
  inflight: null,  // AbortController of the preview request under way
  order: 0,  // number of the latest preview request: the server lets older ones give way
  opened: 0,  // number of the latest photo asked for: an older one's answer is dropped
  left: null,  // the session shown when the page was left, for when it is shown again
  leftName: null,  // the photo whose session ended so, until another is opened
};
const preview = new ReliefPreview($('preview'));

class ApiError extends Error {
  constructor(status, body) {
    super(body.error || `HTTP status ${status}`);
    this.status = status;
    this.diagnostics = body.diagnostics || [];
  }
}

async function api(path, options = {}) {
  let response;
  try {
    response = await fetch(path, options);
  } catch (error) {
    // The browser says only "Failed to fetch" when no answer came at all.
    if (error.name === 'AbortError') throw error;
    throw new Error('the server cannot be reached: is reliefkit serve still running?');
  }
  if (response.ok) return response;
  let body = {};
  try { body = await response.json(); } catch (e) { /* not JSON: the status says it */ }
  throw new ApiError(response.status, body);
}

function showError(error) {
  // A request replaced by a newer one is no failure.
  if (error.name === 'AbortError' || error.status === 409) return;
  $('error').textContent = [error.message, ...(error.diagnostics || []).map((l) => '  ' + l)].join('\n');
  setStatus('');
}

function setStatus(text) { $('status').textContent = text; }

// ---- controls ------------------------------------------------------------

function element(tag, props = {}, ...children) {
  const node = Object.assign(document.createElement(tag), props);
  node.append(...children);
  return node;
}

function decimals(option) {
  const span = option.high - option.low;
  return option.kind === 'whole' || !(span > 0) ? 0 : Math.min(6, Math.max(0, 3 - Math.floor(Math.log10(span))));
}

// One control per option; each changes state.values and asks for new maps.
function makeField(option) {
  const field = element('div', { className: 'field', title: option.help });
  field.dataset.option = option.name;
  const reset = element('button', { type: 'button', className: 'reset', textContent: '↺', title: 'back to the default' });
  // A number's range, an optional value's too (--make-tileable[=W]); a
  // float's limit (0.00999999978) as it was written (0.01).
  const limit = (v) => Number(v.toPrecision(6));
  const range = option.low !== undefined
    ? `${limit(option.low)} – ${limit(option.high)}` : option.kind === 'switch' ? '' : option.placeholder;
  field.append(element('div', { className: 'name' },
    element('code', { textContent: '--' + option.name }), element('span', { className: 'range', textContent: range })));
  // An option whose value may be left out (--make-tileable[=W]) is ticked on
  // its own: then even an empty value is a change.
  const optional = option.kind === 'text' && option.placeholder.startsWith('[');
  const set = (value) => {
    const isDefault = value === null || (value === option.default && !optional);
    if (isDefault) state.values.delete(option.name); else state.values.set(option.name, value);
    field.classList.toggle('changed', !isDefault);
    requestMaps();
  };
  let inputs = [];
  let restore;
  if (option.kind === 'switch') {
    const on = option.negation !== undefined && option.default === 'on';
    const box = element('input', { type: 'checkbox', checked: on });
    box.addEventListener('change', () => set(box.checked === on ? null : (box.checked ? 'on' : 'off')));
    restore = () => { box.checked = on; };
    inputs = [box];
  } else if (option.kind === 'choice') {
    const select = element('select', {}, ...option.choices.map((c) => element('option', { value: c, textContent: c })));
    select.value = option.default;
    select.addEventListener('change', () => set(select.value));
    restore = () => { select.value = option.default; };
    inputs = [select];
  } else if (option.kind === 'whole' || option.kind === 'real') {
    const numeric = Number.isFinite(Number.parseFloat(option.default)) ? Number.parseFloat(option.default) : null;
    const step = sliderStep(option, numeric);
    // A limit left off ("no limit") starts where it limits nothing: an upper
    // one at the top of its range.
    const unset = option.name.endsWith('-high') ? option.high : option.low;
    const start = numeric === null ? unset : numeric;
    const slider = element('input', { type: 'range', min: option.low, max: option.high, step, value: start });
    const number = element('input', { type: 'number', min: option.low, max: option.high, step,
      value: numeric === null ? '' : start, placeholder: numeric === null ? option.default : '' });
    const text = (v) => Number(v).toFixed(decimals(option)).replace(/(\.\d*?)0+$/, '$1').replace(/\.$/, '');
    slider.addEventListener('input', () => { number.value = slider.value; set(text(slider.value)); });
    number.addEventListener('change', () => { slider.value = number.value; set(number.value === '' ? null : number.value); });
    restore = () => { slider.value = start; number.value = numeric === null ? '' : start; };
    field.setValue = (v) => { slider.value = number.value = v; set(text(v)); };
    inputs = [slider, number];
  } else if (optional) {
    // Left empty, the value is the one the option takes when it is left out.
    const box = element('input', { type: 'checkbox' });
    const input = element('input', { type: 'text', placeholder: option.default || option.placeholder.replace(/^\[=?|\]$/g, '') });
    box.addEventListener('change', () => set(box.checked ? input.value : null));
    input.addEventListener('change', () => { box.checked ||= input.value !== ''; set(box.checked ? input.value : null); });
    restore = () => { box.checked = false; input.value = ''; };
    inputs = [box, input];
  } else {
    // Typed as on the command line (--light 135:30); the server refuses
    // what the option does not take, and says why.
    const input = element('input', { type: 'text', value: option.default, placeholder: option.placeholder });
    input.addEventListener('change', () => set(input.value === '' ? null : input.value));
    restore = () => { input.value = option.default; };
    field.setValue = (v) => { input.value = v; set(String(v)); };
    inputs = [input];
  }
  // Each control is named by its option and described by the option's help.
  for (const input of inputs) {
    input.setAttribute('aria-label', '--' + option.name);
    input.title = option.help;
  }
  reset.setAttribute('aria-label', `--${option.name} back to the default`);
  reset.addEventListener('click', () => { restore(); set(null); });
  field.append(element('div', { className: 'value' }, ...inputs, reset));
  return field;
}

// About a hundredth of the range, made finer by tens until the default lies
// on a step: a slider snaps its value to its steps, so one whose default
// falls between two could neither show it nor come back to it. A default that
// is no number (--clamp-high's "no limit") has no value to keep: the step is then
// a power of ten no larger than one, so that whole values lie on steps.
function sliderStep(option, numeric) {
  if (option.kind === 'whole') return 1;
  if (numeric === null) return 10 ** Math.min(0, Math.floor(Math.log10((option.high - option.low) / 100)));
  const onStep = (step) => {
    const steps = (numeric - option.low) / step;
    return Math.abs(steps - Math.round(steps)) < 1e-6 * Math.max(1, Math.abs(steps));
  };
  let step = Number(((option.high - option.low) / 100).toPrecision(1));
  for (let finer = 0; numeric !== null && !onStep(step); ++finer) {
    if (finer === 6) return 'any';
    step = Number((step / 10).toPrecision(1));
  }
  return step;
}

function buildControls(schema) {
  const form = $('controls');
  for (const group of schema.groups) {
    form.append(element('fieldset', {}, element('legend', { textContent: group.title }),
      ...group.options.map(makeField)));
  }
  form.addEventListener('submit', (e) => e.preventDefault());
}

function formBody() {
  return new URLSearchParams([...state.values]);
}

// ---- maps ----------------------------------------------------------------

// The map decoded once, into the very element the page then shows. Its object
// URL holds the PNG in memory until revoked: a map that fails to decode lets go of it.
async function fetchImage(url, signal) {
  const blob = await (await api(url, { signal })).blob();
  const image = new Image();
  image.src = URL.createObjectURL(blob);
  try {
    await image.decode();
  } catch (error) {
    URL.revokeObjectURL(image.src);
    throw error;
  }
  return image;
}

// The maps of an answer, in the order the page shows them.
const MAPS = ['height', 'normal', 'albedo', 'roughness', 'ao', 'curvature'];

function show(info, images) {
  const [height, normal, albedo, roughness, ao] = images;
  for (const [i, image] of images.entries()) {
    const id = `${MAPS[i]}-map`;
    const old = $(id);
    URL.revokeObjectURL(old.src);
    image.id = id;
    image.alt = old.alt;
    old.replaceWith(image);
  }
  preview.setMaps(height, normal, info.normal_encoding, { albedo, roughness, ao });
  $('command').value = info.command;
  $('error').textContent = '';
  document.body.dataset.maps = info.number;  // lets a test wait for new maps
}

// Asks for maps of the preview copy; a request still under way is cancelled,
// and the server drops it too while it waits for a free slot.
function requestMaps() {
  if (!state.session) return showError(noPhoto());
  if (state.inflight) state.inflight.abort();
  const control = new AbortController();
  state.inflight = control;
  const started = performance.now();
  setStatus('making maps…');
  (async () => {
    const base = `/api/sessions/${state.session.session}`;
    const headers = { 'X-Preview-Order': String(++state.order) };
    const response = await api(`${base}/maps/preview`, { method: 'POST', body: formBody(), headers, signal: control.signal });
    const info = await response.json();
    // Every fetch is waited for, even after one fails or a newer request cancels
    // this one: the maps that did arrive are then let go of, not kept until the
    // page closes.
    const settled = await Promise.allSettled(MAPS.map((name) => fetchImage(info[name], control.signal)));
    const images = settled.filter((r) => r.status === 'fulfilled').map((r) => r.value);
    const failed = settled.find((r) => r.status === 'rejected');
    if (failed || control.signal.aborted) {
      for (const image of images) URL.revokeObjectURL(image.src);
      if (failed) throw failed.reason;
      return;
    }
    show(info, images);
    // The maps' own size: --resize gives them another than the preview copy's.
    const { naturalWidth: w, naturalHeight: h } = images[0];
    setStatus(`${w} × ${h} preview in ${Math.round(performance.now() - started)} ms`);
    document.body.dataset.lastMs = Math.round(performance.now() - started);
  })().catch(showError);
}

// Why a control or Download does nothing: no photo, or its session ended
// when the page was left.
function noPhoto() {
  return new Error(state.leftName
    ? `the session of ${state.leftName} ended when the page was left: open the photo again`
    : 'open a photograph first');
}

function stem(name) {
  const dot = name.lastIndexOf('.');
  return dot > 0 ? name.slice(0, dot) : name;
}

// The session is the one of the photo shown when Download was pressed: a photo
// opened meanwhile ends it, and its maps go with it.
async function download() {
  const session = state.session;
  if (!session) return showError(noPhoto());
  const button = $('download');
  button.disabled = true;
  // --resize gives the maps another size than the photo's.
  const size = state.values.get('resize')?.replace('x', ' × ') || `${session.width} × ${session.height}`;
  setStatus(`making the ${size} maps…`);
  try {
    const base = `/api/sessions/${session.session}`;
    const info = await (await api(`${base}/maps/full`, { method: 'POST', body: formBody() })).json();
    // All six are asked for together, right away: a session keeps only its latest
    // few sets of maps, and previews made meanwhile would push this one out.
    const blobs = await Promise.all(MAPS.map(async (name) => (await api(info[name])).blob()));
    for (const [i, blob] of blobs.entries()) {
      const link = element('a', { href: URL.createObjectURL(blob), download: `${stem(session.name)}_${MAPS[i]}.png` });
      link.click();
      setTimeout(() => URL.revokeObjectURL(link.href), 60000);
    }
    setStatus('full-size maps downloaded');
  } catch (error) {
    showError(state.session === session ? error : new Error('download cancelled: another photo was opened'));
  } finally {
    button.disabled = false;
  }
}

// ---- sessions ------------------------------------------------------------

function endSession() {
  if (state.session) fetch(`/api/sessions/${state.session.session}`, { method: 'DELETE', keepalive: true });
  state.session = null;
}

// The session of photo number `opened`, unless a newer photo was asked for while
// it uploaded: a large photo answered last must not replace the one the user
// opened after it. Its session is closed at once, not left to count against the
// server's sessions until it expires.
function adopt(opened, session) {
  if (opened === state.opened) startSession(session);
  else fetch(`/api/sessions/${session.session}`, { method: 'DELETE' });
}

function startSession(session) {
  endSession();
  state.session = session;
  state.leftName = null;
  $('name').textContent = `${session.name} (${session.width} × ${session.height})`;
  $('drop').hidden = true;
  requestMaps();
}

async function openFile(file) {
  if (state.limits && file.size > state.limits.max_upload_bytes) {
    showError(new Error(`${file.name} is larger than the server takes (${state.limits.max_upload_bytes >> 20} MiB)`));
    return;
  }
  setStatus(`reading ${file.name}…`);
  const opened = ++state.opened;
  try {
    const response = await api(`/api/sessions?name=${encodeURIComponent(file.name)}`,
      { method: 'POST', body: file, headers: { 'Content-Type': 'application/octet-stream' } });
    adopt(opened, await response.json());
  } catch (error) {
    // The failure of a photo given up for a newer one is not the newer one's.
    if (opened === state.opened) showError(error);
  }
}

function wireUp() {
  $('file').addEventListener('change', (e) => { if (e.target.files[0]) openFile(e.target.files[0]); });
  document.addEventListener('dragover', (e) => { e.preventDefault(); document.body.classList.add('dragging'); });
  document.addEventListener('dragleave', () => document.body.classList.remove('dragging'));
  document.addEventListener('drop', (e) => {
    e.preventDefault();
    document.body.classList.remove('dragging');
    if (e.dataTransfer.files[0]) openFile(e.dataTransfer.files[0]);
  });
  $('tiles').addEventListener('change', (e) => preview.setTiles(e.target.checked ? 2 : 1));
  // Dragging the preview's light to match the photograph sets the de-lit mode's
  // light: the azimuth only, since the drag aims it round the photo, so an
  // elevation typed after it (135:30) stays.
  preview.canvas.addEventListener('lightchange', (e) => {
    const field = document.querySelector('.field[data-option="light"]');
    if (!field || !field.setValue) return;
    const elevation = field.querySelector('.value input').value.match(/:.*$/);
    field.setValue(`${e.detail.azimuth}${elevation ? elevation[0] : ''}`);
  });
  $('copy').addEventListener('click', () => {
    $('command').select();
    if (navigator.clipboard) navigator.clipboard.writeText($('command').value).catch(() => document.execCommand('copy'));
    else document.execCommand('copy');
  });
  $('download').addEventListener('click', download);
  window.addEventListener('pagehide', () => { state.left = state.session; endSession(); });
  window.addEventListener('pageshow', (e) => { if (e.persisted) comeBack(); });
}

// The page shown again from the browser's back/forward cache: its session
// ended when it was left. The startup photo is opened again; another photo
// the user must open again, and the view says so rather than go dead.
function comeBack() {
  const left = state.left;
  state.left = null;
  if (!left) return;
  if (left.startup) {
    openStartup(++state.opened).catch(showError);
    return;
  }
  state.leftName = left.name;
  for (const name of MAPS) {
    URL.revokeObjectURL($(`${name}-map`).src);
    $(`${name}-map`).removeAttribute('src');
  }
  preview.clear();
  $('name').textContent = '';
  $('command').value = '';
  $('drop').hidden = false;
  showError(noPhoto());
}

async function openStartup(opened) {
  const startup = await (await api('/api/startup', { method: 'POST' })).json();
  if (startup.session) adopt(opened, { ...startup, startup: true });
}

async function main() {
  // The startup photo is numbered before the page waits for anything: a photo
  // the user opens while the page still loads comes after it, and stays.
  const opened = ++state.opened;
  wireUp();
  try {
    buildControls(await (await api('/api/options')).json());
    state.limits = await (await api('/api/limits')).json();
    await openStartup(opened);
  } catch (error) {
    showError(error);
  }
}

main();
