// Closes of day: started here with a confirmation, listed, opened as a table or saved as CSV.

import {$, h, clear, table} from './dom.js';
import {download, get, post} from './api.js';
import {state, say, sayError} from './state.js';
import {t, formatWhen, formatDay, formatMoney, formatQuantity, formatDecimal, formatInteger,
  onLanguage} from './i18n.js';
import {follow, jobsOf} from './jobs.js';
import {targetPath, targetText, targetDevices} from './devices.js';
import {busy} from './pricelist.js';

// The confirmation is a <dialog> of the page rather than window.confirm: it can say which
// devices, reads well on a tablet, and a second tap on the button behind it cannot go through.
function confirmDialog(text) {
  const dialog = $('#confirm');
  $('#confirm-text').textContent = text;
  return new Promise(resolve => {
    dialog.addEventListener('close', () => resolve(dialog.returnValue === 'ok'), {once: true});
    dialog.returnValue = '';
    dialog.showModal();
  });
}

export async function closeDay(target) {
  const devices = targetDevices(target);
  const names = devices.map(d => d.name).join(', ');
  const ok = await confirmDialog(t('close.confirmText', {target: targetText(target),
    names: devices.length > 1 ? t('close.names', {names}) : ''}));
  if (!ok) return;
  try {
    const list = follow(['batch.closeDay', {target: targetText(target)}],
      jobsOf(await post(targetPath(target, 'close-day'))));
    say('close.started', {target: targetText(target), n: list.length});
  } catch (error) {
    if (error.status !== 401) sayError(error, 'close.failed');
  }
}

function resetBadge(reset) {
  const known = ['confirmed', 'unconfirmed', 'pending', 'not_sent'].includes(reset);
  return h('span', {class: `badge badge-reset-${reset}`, 'data-test': 'reset', 'data-reset': reset,
    title: reset === 'unconfirmed' ? t('reset.unconfirmedTitle') : null},
  known ? t(`reset.${reset}`) : String(reset || ''));
}

let reports = [];
let opened = null;

export async function loadReports() {
  const device = $('#reports-device').value;
  const query = device ? `?device=${encodeURIComponent(device)}` : '';
  try {
    const answer = await get(`/api/reports${query}`);
    reports = answer.reports || [];
    renderReports();
  } catch (error) {
    if (error.status !== 401) sayError(error, 'reports.failed');
  }
}

function renderReports() {
  const box = $('#reports');
  if (reports.length === 0) {
    clear(box, h('p', {class: 'muted'}, t('reports.none')));
    return;
  }
  const tableNode = table([
    {title: t('reports.col.day'), value: r => formatDay(r.business_day), class: 'nowrap'},
    {title: t('reports.col.device'), value: r => r.device},
    {title: t('reports.col.closed'), value: r => formatWhen(r.closed_at), class: 'wide-only nowrap'},
    {title: t('reports.col.articles'), value: r => formatInteger(r.articles), num: true, class: 'wide-only'},
    {title: t('reports.col.quantity'), value: r => formatQuantity(r.quantity), num: true},
    {title: t('reports.col.value'), value: r => formatMoney(r.value), num: true, class: 'nowrap'},
    {title: t('reports.col.counters'), value: r => resetBadge(r.reset)},
    {title: '', value: r => h('span', {class: 'row-actions'},
      h('button', {type: 'button', class: 'open-report', 'data-id': r.id}, t('reports.open')),
      h('button', {type: 'button', class: 'download-report', 'data-id': r.id}, t('reports.csv')))},
  ], reports, {class: 'reports'},
  // Rows carry the report's id and device so that a test or a person can tell them apart.
  r => ({'data-test': 'report', 'data-id': r.id, 'data-device': r.device}));
  clear(box, h('div', {class: 'scroll'}, tableNode));
}

function renderOpened() {
  const view = $('#report-view');
  const r = opened;
  if (!r) {
    view.hidden = true;
    return;
  }
  const articles = r.rows || [];
  clear(view,
    h('header', {class: 'report-head'},
      h('h3', {}, t('reports.head', {device: r.device, day: formatDay(r.business_day)})),
      h('button', {type: 'button', class: 'link', 'aria-label': t('reports.close'),
        onclick: () => { opened = null; view.hidden = true; }}, '×')),
    h('p', {}, t('reports.summary', {when: formatWhen(r.closed_at), n: articles.length,
      q: formatQuantity(r.quantity), v: formatMoney(r.value)}), resetBadge(r.reset)),
    h('div', {class: 'scroll'}, table([
      {title: t('reports.col.code'), value: a => a.code},
      {title: t('reports.col.name'), value: a => a.name},
      {title: t('reports.col.price'), value: a => formatDecimal(a.price, 2), num: true},
      {title: t('reports.col.group'), value: a => a.group ?? '', num: true},
      {title: t('reports.col.quantity'), value: a => formatQuantity(a.quantity), num: true},
      {title: t('reports.col.value'), value: a => formatMoney(a.value), num: true, class: 'nowrap'},
    ], articles, {id: 'report-table', 'data-id': r.id})));
  view.hidden = false;
}

async function openReport(id) {
  try {
    opened = await get(`/api/reports/${encodeURIComponent(id)}`);
    renderOpened();
    $('#report-view').scrollIntoView({block: 'nearest'});
  } catch (error) {
    if (error.status !== 401) sayError(error, 'reports.openFailed');
  }
}

// The CSV as Polish Excel reads it.
async function downloadReport(id) {
  const r = reports.find(x => String(x.id) === String(id)) || {};
  try {
    await download(`/api/reports/${encodeURIComponent(id)}?excel=1`,
      t('reports.fileName', {device: r.device || id, day: r.business_day || id}));
  } catch (error) {
    if (error.status !== 401) sayError(error, 'reports.downloadFailed');
  }
}

export function renderReportDevices() {
  const select = $('#reports-device');
  const chosen = select.value;
  clear(select, h('option', {value: ''}, t('reports.all')),
    [...state.devices.keys()].sort().map(n => h('option', {value: n}, n)));
  select.value = [...select.options].some(o => o.value === chosen) ? chosen : '';
}

export function setupReports() {
  $('#close-day').addEventListener('click', e =>
    busy(e.currentTarget, () => closeDay($('#close-target').value)));
  $('#devices').addEventListener('click', e => {
    const button = e.target.closest('button.close-day-one');
    if (button) busy(button, () => closeDay(`device:${button.dataset.device}`));
  });
  $('#reports').addEventListener('click', e => {
    const open = e.target.closest('button.open-report');
    if (open) busy(open, () => openReport(open.dataset.id));
    const save = e.target.closest('button.download-report');
    if (save) busy(save, () => downloadReport(save.dataset.id));
  });
  $('#reports-device').addEventListener('change', loadReports);
  $('#reports-refresh').addEventListener('click', loadReports);
  onLanguage(() => {
    renderReportDevices();
    renderReports();
    renderOpened();
  });
}
