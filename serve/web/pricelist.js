// A price list file: checked as soon as it is chosen, previewed as the changes a sync would
// make, then sent to a device, a group or every device.

import {$, h, clear, table} from './dom.js';
import {get, post, priceListBody, ApiError} from './api.js';
import {state, say, sayError} from './state.js';
import {t, has, formatDecimal, formatMoney, onLanguage} from './i18n.js';
import {follow, jobsOf, waitFor} from './jobs.js';
import {targetPath, targetText} from './devices.js';
import {outcomeNode} from './wording.js';

function chosenFile() {
  const input = $('#file');
  return input.files && input.files[0] ? input.files[0] : null;
}

// A button that cannot be pressed twice while its work is under way.
export async function busy(button, work) {
  if (button.dataset.busy) return;
  button.dataset.busy = '1';
  button.disabled = true;
  button.classList.add('working');
  try {
    await work();
  } finally {
    delete button.dataset.busy;
    button.classList.remove('working');
    button.disabled = button.hasAttribute('data-operate') && state.readOnly;
    updateButtons();
  }
}

function updateButtons() {
  const none = !chosenFile();
  for (const id of ['#check', '#preview', '#send']) {
    const button = $(id);
    if (!button.dataset.busy) button.disabled = none || (button.hasAttribute('data-operate') && state.readOnly);
  }
}

// What the check box shows, kept so that a change of language words it again.
let checkShown = null;

function columnName(column) {
  return has(`column.${column}`) ? t(`column.${column}`) : String(column);
}

// Numbers in a fault's values are written as the language writes them.
function faultParams(params) {
  const out = {...params};
  for (const key of ['low', 'high']) {
    if (out[key] !== undefined && /^-?\d+(\.\d+)?$/.test(String(out[key]))) {
      const places = (String(out[key]).split('.')[1] || '').length;
      out[key] = formatDecimal(String(out[key]), places);
    }
  }
  if (out.codepoint !== undefined && typeof out.codepoint === 'number') {
    out.codepoint = `U+${out.codepoint.toString(16).toUpperCase().padStart(4, '0')}`;
  }
  return out;
}

// One fault as staff read it: where, then what. A fault the page has no words for is given in
// the service's English under the translated place.
function faultLine(f) {
  const where = f.row !== undefined && f.row !== null ?
    (f.column ? t('fault.at', {row: f.row, column: columnName(f.column)}) : t('fault.atRow', {row: f.row})) : '';
  const known = f.code && f.code !== 'other' && has(`fault.${f.code}`);
  const english = f.reason ?? f.text ?? f.message ?? '';
  return h('li', {'data-test': 'fault', 'data-code': f.code || 'other', 'data-row': f.row ?? ''},
    where ? h('strong', {}, where) : null, ' ',
    known ? t(`fault.${f.code}`, faultParams(f.params || {})) : h('span', {lang: 'en'}, english));
}

function drawCheck() {
  const box = $('#check-result');
  const c = checkShown;
  if (!c) {
    clear(box);
    return;
  }
  if (c.kind === 'checking') {
    clear(box, h('p', {class: 'muted'}, t('check.checking', {file: c.file})));
  } else if (c.kind === 'ok') {
    clear(box, h('p', {class: 'ok', 'data-test': 'check-ok', 'data-articles': c.articles},
      t('check.ok', {file: c.file, n: c.articles})));
    if (c.warnings.length) {
      box.append(h('p', {}, t('check.warnings', {n: c.warnings.length})),
        h('ul', {class: 'faults warnings'}, c.warnings.map(faultLine)));
    }
  } else {
    clear(box,
      h('p', {class: 'fault-title', 'data-test': 'check-faults', 'data-faults': c.faults.length},
        t(c.sent ? 'check.faultsSent' : 'check.faults', {file: c.file, n: c.faults.length})),
      h('ul', {id: 'faults', class: 'faults'}, c.faults.map(faultLine)));
  }
}

function showCheck(value) {
  checkShown = value;
  drawCheck();
}

// 422 means the file has faults and nothing was queued: the rows are what staff must fix.
function faultsOf(error) {
  return error instanceof ApiError && error.status === 422 && error.body &&
    Array.isArray(error.body.faults) ? error.body.faults : null;
}

async function check() {
  const file = chosenFile();
  if (!file) return;
  showCheck({kind: 'checking', file: file.name});
  try {
    const answer = await post('/api/check', priceListBody(file));
    showCheck({kind: 'ok', file: file.name, articles: answer.articles, warnings: answer.warnings || []});
  } catch (error) {
    const faults = faultsOf(error);
    if (faults) showCheck({kind: 'faults', file: file.name, faults, sent: false});
    else {
      showCheck(null);
      if (error.status !== 401) sayError(error, 'check.failed');
    }
  }
}

// A dry run's differences come one row per differing field, and one per article to add or
// delete: {code, name, what, field, list, device}, list and device being what the file and
// the device hold. An added or deleted article's side reads "NAME, PRICE, flag F, group G".
const GROUP_OF = {add: 'added', missing: 'added', change: 'changed', differs: 'changed',
  delete: 'deleted', extra: 'deleted'};
const GROUPS = ['added', 'changed', 'deleted'];
const PAGE = 50;

function articleText(text) {
  const m = /^(.*), (-?\d+(?:\.\d+)?), flag (\d+), group (\d+)$/.exec(text || '');
  return m ? {name: m[1], price: m[2], flag: m[3], group: m[4]} : {name: text || ''};
}

// One row per article: what it is called and what changes on it.
function articlesOf(differences) {
  const byKey = new Map();
  for (const d of differences) {
    const group = GROUP_OF[d.what] || 'changed';
    const key = `${group}:${d.code}`;
    if (!byKey.has(key)) byKey.set(key, {group, code: d.code, name: d.name || '', changes: [], side: null});
    const article = byKey.get(key);
    if (group === 'changed') {
      article.changes.push({field: d.field, old: d.device, new: d.list});
      if (!article.name && d.field === 'name') article.name = d.device;
    } else {
      article.side = articleText(group === 'added' ? d.list : d.device);
      if (!article.name) article.name = article.side.name;
    }
  }
  const rows = {added: [], changed: [], deleted: []};
  for (const a of byKey.values()) rows[a.group].push(a);
  for (const list of Object.values(rows)) list.sort((a, b) => String(a.code).localeCompare(String(b.code)));
  return rows;
}

function fieldValue(field, value) {
  if (field === 'price') return formatMoney(value);
  return value ?? '';
}

function changeCell(a) {
  if (a.group !== 'changed') {
    const side = a.side || {};
    return [side.price !== undefined ? t(a.group === 'added' ? 'preview.newArticle' : 'preview.oldArticle',
      {price: formatMoney(side.price)}) : '',
    side.group !== undefined ? ` · ${t('preview.groupValue', {group: side.group})}` : ''];
  }
  return a.changes.map(c => h('div', {class: 'change', 'data-field': c.field},
    h('span', {class: 'muted'}, `${columnName(c.field)}: `),
    h('span', {class: 'old'}, fieldValue(c.field, c.old)), ' → ',
    h('strong', {class: 'new'}, fieldValue(c.field, c.new))));
}

// What the preview shows, kept for a change of language and for "show more".
let previewShown = [];
const pages = new Map();   // `${device}:${group}` -> rows shown

function previewSection(p) {
  if (p.error) {
    return h('section', {class: 'preview-device', 'data-device': p.device, 'data-failed': '1'},
      h('h3', {}, p.device), p.job ? outcomeNode(p.job, {open: false}) :
        h('p', {class: 'error-text'}, t('preview.none', {why: p.error})));
  }
  const rows = articlesOf(p.differences);
  const counts = Object.fromEntries(GROUPS.map(g => [g, rows[g].length]));
  const section = h('section', {class: 'preview-device', 'data-device': p.device,
    'data-added': counts.added, 'data-changed': counts.changed, 'data-deleted': counts.deleted},
  h('h3', {}, p.device, ' ', h('small', {class: 'muted', 'data-test': 'preview-summary'},
    t('preview.summary', {added: counts.added, changed: counts.changed, deleted: counts.deleted}))));
  if (p.differences.length === 0) {
    section.append(h('p', {class: 'ok'}, t('preview.same')));
    return section;
  }
  for (const group of GROUPS) {
    const list = rows[group];
    if (list.length === 0) continue;
    const key = `${p.device}:${group}`;
    const shown = Math.min(list.length, pages.get(key) || PAGE);
    const left = list.length - shown;
    section.append(h('details', {class: `preview-group preview-${group}`, open: true, 'data-group': group},
      h('summary', {}, h('span', {class: `badge badge-${group}`},
        t('preview.group', {what: t(`preview.${group}`), n: list.length}))),
      h('div', {class: 'scroll'}, table([
        {title: t('preview.code'), value: a => a.code, class: 'nowrap'},
        {title: t('preview.name'), value: a => a.name},
        {title: t('preview.change'), value: changeCell},
      ], list.slice(0, shown), {class: 'differences'},
      a => ({'data-test': 'difference', 'data-what': group, 'data-code': a.code}))),
      left > 0 ? h('button', {type: 'button', class: 'secondary more', onclick: () => {
        pages.set(key, shown + PAGE);
        drawPreview();
      }}, t('preview.more', {count: Math.min(PAGE, left), left})) : null));
  }
  return section;
}

function drawPreview() {
  const box = $('#preview-result');
  if (previewShown.working) {
    clear(box, h('p', {class: 'muted'}, t('preview.working', {target: targetText(previewShown.working)})));
    return;
  }
  clear(box, previewShown.map(previewSection));
  box.dataset.ready = previewShown.length ? '1' : '';
}

async function preview() {
  const file = chosenFile();
  if (!file) return;
  const target = $('#target').value;
  pages.clear();
  previewShown = {working: target};
  drawPreview();
  try {
    const list = follow(['batch.preview', {file: file.name, target: targetText(target)}],
      jobsOf(await post(`${targetPath(target, 'sync')}?dry_run=1`, priceListBody(file))));
    previewShown = await Promise.all(list.map(async job => {
      const ended = await waitFor(job.id);
      if (ended.state !== 'done' || !ended.result) {
        return {device: ended.device, error: ended.state, job: ended};
      }
      const result = await get(ended.result);
      return {device: ended.device, differences: result.differences || []};
    }));
    drawPreview();
  } catch (error) {
    previewShown = [];
    drawPreview();
    const faults = faultsOf(error);
    if (faults) showCheck({kind: 'faults', file: file.name, faults, sent: true});
    else if (error.status !== 401) sayError(error, 'preview.failed');
  }
}

async function send() {
  const file = chosenFile();
  if (!file) return;
  const target = $('#target').value;
  const mode = $('#mode').value;
  const verify = $('#verify').checked ? '?verify=1' : '';
  try {
    const answer = await post(targetPath(target, mode) + verify, priceListBody(file));
    const list = follow([mode === 'sync' ? 'batch.sync' : 'batch.upload',
      {file: file.name, target: targetText(target)}], jobsOf(answer));
    say('send.started', {file: file.name, target: targetText(target), n: list.length});
  } catch (error) {
    const faults = faultsOf(error);
    if (faults) showCheck({kind: 'faults', file: file.name, faults, sent: true});
    else if (error.status !== 401) sayError(error, 'send.failed');
  }
}

function hint() {
  $('#mode-hint').textContent = t(`pricelist.hint.${$('#mode').value}`);
}

function showFileName() {
  const file = chosenFile();
  const name = $('#file-name');
  name.textContent = file ? file.name : t('pricelist.noFile');
  name.classList.toggle('muted', !file);
}

export function setupPriceList() {
  $('#mode').addEventListener('change', hint);
  hint();
  $('#file').addEventListener('change', () => {
    showFileName();
    showCheck(null);
    previewShown = [];
    drawPreview();
    updateButtons();
    if (chosenFile() && !state.readOnly) busy($('#check'), check);
  });
  $('#check').addEventListener('click', e => busy(e.currentTarget, check));
  $('#preview').addEventListener('click', e => busy(e.currentTarget, preview));
  $('#send').addEventListener('click', e => busy(e.currentTarget, send));
  updateButtons();
  onLanguage(() => {
    hint();
    showFileName();
    drawCheck();
    drawPreview();
  });
}

export {updateButtons as updatePriceListButtons};
