// Closes of day: started here with a confirmation, listed, opened as a table or saved as CSV.

import {$, h, clear, table, when, amount} from './dom.js';
import {get, post, request} from './api.js';
import {state, say, sayError} from './state.js';
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
  const ok = await confirmDialog(
    `Close the day on ${targetText(target)}${devices.length > 1 ? ` (${names})` : ''} now? ` +
    'The sales counters are read into a report and then zeroed on the device.');
  if (!ok) return;
  try {
    const list = follow(`Close of day on ${targetText(target)}`,
      jobsOf(await post(targetPath(target, 'close-day'))));
    say(`Close of day started on ${targetText(target)} (${list.length} job${list.length === 1 ? '' : 's'}).`);
  } catch (error) {
    if (error.status !== 401) sayError(error, 'The close of day could not be started');
  }
}

const RESET_TEXT = {
  confirmed: 'zeroed', unconfirmed: '⚠ unconfirmed', pending: 'pending', not_sent: 'not sent',
};

function resetBadge(reset) {
  return h('span', {class: `badge badge-reset-${reset}`, 'data-test': 'reset',
    title: reset === 'unconfirmed' ? 'The device took the reset but its answer never came: ' +
      'the counters may or may not be zeroed.' : null}, RESET_TEXT[reset] || reset || '');
}

let reports = [];

export async function loadReports() {
  const device = $('#reports-device').value;
  const query = device ? `?device=${encodeURIComponent(device)}` : '';
  try {
    const answer = await get(`/api/reports${query}`);
    reports = answer.reports || [];
    renderReports();
  } catch (error) {
    if (error.status !== 401) sayError(error, 'The reports could not be read');
  }
}

function renderReports() {
  const box = $('#reports');
  if (reports.length === 0) {
    clear(box, h('p', {class: 'muted'}, 'No close of day has been saved yet.'));
    return;
  }
  const t = table([
    {title: 'Business day', value: r => r.business_day, class: 'nowrap'},
    {title: 'Device', value: r => r.device},
    {title: 'Closed', value: r => when(r.closed_at), class: 'wide-only'},
    {title: 'Articles', value: r => r.articles,
      num: true, class: 'wide-only'},
    {title: 'Quantity', value: r => amount(r.quantity), num: true},
    {title: 'Value, zł', value: r => amount(r.value), num: true},
    {title: 'Counters', value: r => resetBadge(r.reset)},
    {title: '', value: r => h('span', {class: 'row-actions'},
      h('button', {type: 'button', class: 'open-report', 'data-id': r.id}, 'Open'),
      h('button', {type: 'button', class: 'download-report', 'data-id': r.id}, 'CSV'))},
  ], reports, {class: 'reports'});
  // Rows carry the report's id so that a test or a person can tell them apart.
  [...t.tBodies[0].rows].forEach((row, i) => {
    row.dataset.test = 'report';
    row.dataset.id = reports[i].id;
  });
  clear(box, h('div', {class: 'scroll'}, t));
}

async function openReport(id) {
  const view = $('#report-view');
  try {
    const r = await get(`/api/reports/${encodeURIComponent(id)}`);
    const articles = r.rows;
    clear(view,
      h('header', {class: 'report-head'},
        h('h3', {}, `${r.device} · ${r.business_day}`),
        h('button', {type: 'button', class: 'link', 'aria-label': 'Close report',
          onclick: () => { view.hidden = true; }}, '×')),
      h('p', {}, `Closed ${when(r.closed_at)} · ${articles.length} articles · `,
        `quantity ${amount(r.quantity)} · value ${amount(r.value)} zł · counters `, resetBadge(r.reset)),
      h('div', {class: 'scroll'}, table([
        {title: 'Code', value: a => a.code},
        {title: 'Name', value: a => a.name},
        {title: 'Price', value: a => amount(a.price), num: true},
        {title: 'Group', value: a => a.group ?? '', num: true},
        {title: 'Quantity', value: a => amount(a.quantity), num: true},
        {title: 'Value, zł', value: a => amount(a.value), num: true},
      ], articles, {id: 'report-table', 'data-id': r.id})));
    view.hidden = false;
    view.scrollIntoView({block: 'nearest'});
  } catch (error) {
    if (error.status !== 401) sayError(error, 'The report could not be opened');
  }
}

// The CSV as Polish Excel reads it, saved through a Blob link: a plain link could not send
// the token.
async function downloadReport(id) {
  try {
    const response = await request('GET', `/api/reports/${encodeURIComponent(id)}?excel=1`,
      {accept: 'text/csv', raw: true});
    const blob = await response.blob();
    const r = reports.find(x => String(x.id) === String(id)) || {};
    // The service names the file (Content-Disposition); the name is cut to a plain file name.
    const given = /filename="?([^";]+)"?/i.exec(response.headers.get('Content-Disposition') || '');
    const name = (given ? given[1] : `report-${r.device || 'device'}-${r.business_day || id}.csv`)
      .replace(/[^\w.-]+/g, '_');
    const url = URL.createObjectURL(blob);
    const link = h('a', {href: url, download: name, hidden: true});
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
  } catch (error) {
    if (error.status !== 401) sayError(error, 'The report could not be downloaded');
  }
}

export function renderReportDevices() {
  const select = $('#reports-device');
  const chosen = select.value;
  clear(select, h('option', {value: ''}, 'All devices'),
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
}
