// A price list file: checked as soon as it is chosen, previewed as the changes a sync would
// make, then sent to a device, a group or every device.

import {$, h, clear, table} from './dom.js';
import {get, post, priceListBody, ApiError} from './api.js';
import {state, say, sayError} from './state.js';
import {follow, jobsOf, waitFor} from './jobs.js';
import {targetPath, targetText} from './devices.js';

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

function showFaults(faults, title) {
  const box = $('#check-result');
  clear(box,
    h('p', {class: 'fault-title'}, title),
    table([
      {title: 'Row', value: f => f.row ?? '', num: true},
      {title: 'Column', value: f => f.column ?? ''},
      {title: 'Fault', value: f => f.reason ?? f.message ?? ''},
    ], faults, {id: 'faults', class: 'faults'}));
}

// 422 means the file has faults and nothing was queued: the rows are what staff must fix.
function faultsOf(error) {
  return error instanceof ApiError && error.status === 422 && error.body &&
    Array.isArray(error.body.faults) ? error.body.faults : null;
}

async function check() {
  const file = chosenFile();
  if (!file) return;
  const box = $('#check-result');
  clear(box, h('p', {class: 'muted'}, `Checking ${file.name}…`));
  try {
    const answer = await post('/api/check', priceListBody(file));
    const warnings = answer.warnings || [];
    clear(box, h('p', {class: 'ok', 'data-test': 'check-ok'},
      `${file.name}: ${answer.articles} articles, no faults.`));
    if (warnings.length) {
      box.append(h('p', {}, `${warnings.length} warning(s):`), table([
        {title: 'Row', value: f => f.row ?? '', num: true},
        {title: 'Column', value: f => f.column ?? ''},
        {title: 'Warning', value: f => f.reason ?? ''},
      ], warnings, {class: 'faults warnings'}));
    }
  } catch (error) {
    const faults = faultsOf(error);
    if (faults) showFaults(faults, `${file.name} has ${faults.length} fault(s); nothing can be sent until they are fixed.`);
    else {
      clear(box);
      if (error.status !== 401) sayError(error, 'The file could not be checked');
    }
  }
}

// A dry-run sync's differences come one row per differing field, and one per article to add
// or delete: {code, what: add|change|delete, field, list, device}, list and device being what
// the file and the device hold.
const CHANGE = {add: 'added', change: 'changed', delete: 'deleted'};

function showDifferences(device, differences) {
  const codes = {added: new Set(), changed: new Set(), deleted: new Set()};
  for (const d of differences) codes[CHANGE[d.what] || 'changed'].add(d.code);
  const summary = Object.entries(codes).map(([k, v]) => `${v.size} ${k}`).join(', ');
  const order = {add: 0, change: 1, delete: 2};
  const rows = [...differences].sort((a, b) => (order[a.what] ?? 1) - (order[b.what] ?? 1));
  return h('section', {class: 'preview-device', 'data-device': device},
    h('h3', {}, device, ' ', h('small', {class: 'muted', 'data-test': 'preview-summary'}, summary)),
    differences.length === 0 ? h('p', {class: 'ok'}, 'The device already has this price list.') :
      h('div', {class: 'scroll'}, table([
        {title: 'Change', value: d => h('span', {class: `badge badge-${CHANGE[d.what] || 'changed'}`},
          CHANGE[d.what] || d.what)},
        {title: 'Code', value: d => d.code},
        {title: 'Article', value: d => d.what === 'change' ?
          [h('span', {class: 'muted'}, `${d.field}: `), d.device || '', ' → ', h('strong', {}, d.list || '')] :
          (d.what === 'delete' ? d.device : d.list) || ''},
      ], rows, {class: 'differences'})));
}

async function preview() {
  const file = chosenFile();
  if (!file) return;
  const target = $('#target').value;
  const box = $('#preview-result');
  clear(box, h('p', {class: 'muted'}, `Working out what a sync to ${targetText(target)} would change…`));
  try {
    const list = follow(`Preview of ${file.name} on ${targetText(target)}`,
      jobsOf(await post(`${targetPath(target, 'sync')}?dry_run=1`, priceListBody(file))));
    const sections = await Promise.all(list.map(async job => {
      const ended = await waitFor(job.id);
      if (ended.state !== 'done' || !ended.result) {
        const why = ended.outcome ? ended.outcome.detail || ended.outcome.name : ended.state;
        return h('section', {class: 'preview-device'}, h('h3', {}, ended.device),
          h('p', {class: 'error-text'}, `No preview: ${why}`));
      }
      const result = await get(ended.result);
      return showDifferences(ended.device, result.differences || []);
    }));
    clear(box, sections);
  } catch (error) {
    clear(box);
    const faults = faultsOf(error);
    if (faults) showFaults(faults, `${file.name} has ${faults.length} fault(s); nothing was sent.`);
    else if (error.status !== 401) sayError(error, 'The preview could not be made');
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
    const list = follow(`${mode === 'sync' ? 'Sync' : 'Upload'} of ${file.name} to ${targetText(target)}`,
      jobsOf(answer));
    say(`${file.name} is being sent to ${targetText(target)} (${list.length} job${list.length === 1 ? '' : 's'}).`);
  } catch (error) {
    const faults = faultsOf(error);
    if (faults) showFaults(faults, `${file.name} has ${faults.length} fault(s); nothing was sent.`);
    else if (error.status !== 401) sayError(error, 'The price list could not be sent');
  }
}

const MODE_HINT = {
  sync: 'Sync: the device ends up with exactly this list; articles the file does not name are deleted.',
  upload: 'Upload: the articles of the file are written; the others on the device stay.',
};

export function setupPriceList() {
  const hint = () => { $('#mode-hint').textContent = MODE_HINT[$('#mode').value] || ''; };
  $('#mode').addEventListener('change', hint);
  hint();
  $('#file').addEventListener('change', () => {
    clear($('#check-result'));
    clear($('#preview-result'));
    updateButtons();
    if (chosenFile() && !state.readOnly) busy($('#check'), check);
  });
  $('#check').addEventListener('click', e => busy(e.currentTarget, check));
  $('#preview').addEventListener('click', e => busy(e.currentTarget, preview));
  $('#send').addEventListener('click', e => busy(e.currentTarget, send));
  updateButtons();
}

export {updateButtons as updatePriceListButtons};
