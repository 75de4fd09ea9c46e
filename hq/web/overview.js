// The chain at a glance: shops online and offline, devices whose prices are not the ones
// head office wants, and how many of the day's reports have not come.

import {$, h, clear, table, when, ago, badge} from './dom.js';
import {data, changed} from './state.js';

const STATE_TEXT = {
  verified: 'verified', differs: 'differs', failed: 'failed', refused: 'refused', '': 'no report',
};

// What to look at first: a list the device holds but that does not match is worse than a
// send that failed, which is worse than one still on its way.
function rank(d) {
  return {differs: 0, failed: 1, refused: 2}[d.state] ?? 3;
}

function tile(count, label, kind, key) {
  return h('div', {class: `tile tile-${count > 0 ? kind : 'none'}`, 'data-count': key},
    h('span', {class: 'tile-number'}, String(count)),
    h('span', {class: 'tile-label'}, label));
}

export function renderOverview() {
  const status = data.status;
  if (!status) return;
  // Stores outside the register (retired, or never added) are not the chain's to count.
  const stores = (status.stores || []).filter(s => !s.standing);
  const devices = status.devices || [];
  const behind = devices.filter(d => d.behind);
  const missing = data.reports ? (data.reports.missing || []) : null;
  const day = data.reports ? data.reports.business_day : '';
  const count = s => stores.filter(x => x.status === s).length;

  if (changed('tiles', stores, behind.length, missing && missing.length, day)) {
    clear($('#shops'),
      tile(count('online'), 'shops online', 'ok', 'online'),
      tile(count('offline'), 'shops offline', 'bad', 'offline'),
      count('unknown') ? tile(count('unknown'), 'shops not heard from', 'warn', 'unknown') : null,
      tile(behind.length, 'devices behind on prices', 'warn', 'behind'),
      missing === null ? null :
        tile(missing.length, `reports missing for ${day}`, 'warn', 'missing'));
  }
  renderOffline(stores);
  renderBehind(behind);
  renderPromotions(status.promotions || []);
}

// Each chain promotion as each shop last said it stands on each device: whether it started
// and ended, and what the end left as it was.
function renderPromotions(promotions) {
  if (!changed('promotions', promotions)) return;
  const box = $('#promotions');
  if (promotions.length === 0) {
    clear(box, h('p', {class: 'muted'}, 'No shop has answered a promotion yet.'));
    return;
  }
  const job = state => (state ? badge(state, `state-${state === 'done' ? 'verified' : 'failed'}`) : '–');
  clear(box, h('div', {class: 'scroll'}, table([
    {title: 'Promotion', value: p => p.promotion, class: 'name'},
    {title: 'Shop', value: p => p.store, class: 'name'},
    {title: 'Device', value: p => p.device, class: 'name'},
    {title: 'State', value: p => p.state},
    {title: 'Start', value: p => job(p.start)},
    {title: 'End', value: p => job(p.end)},
    {title: 'Note', value: p => h('span', {class: 'detail'}, p.note || ''), class: 'detail-cell'},
  ], promotions, {class: 'promotions'}, p => ({
    'data-test': 'promotion', 'data-store': p.store, 'data-device': p.device,
    'data-state': p.state,
  }))));
}

function renderOffline(stores) {
  const away = stores.filter(s => s.status !== 'online');
  // The minute in "for 2 h 5 min" moves on by itself: it is part of what is drawn.
  const now = Math.floor(Date.now() / 60000);
  if (!changed('offline', away, now)) return;
  const box = $('#offline');
  if (away.length === 0) {
    clear(box, h('p', {class: 'ok'}, stores.length ? `All ${stores.length} shops are online.` :
      'No shop has reported yet.'));
    return;
  }
  const sorted = [...away].sort((a, b) => (a.status === b.status ? 0 : a.status === 'offline' ? -1 : 1) ||
    String(a.since).localeCompare(String(b.since)));
  clear(box, h('ul', {class: 'shop-list'}, sorted.map(s =>
    h('li', {'data-test': 'offline', 'data-store': s.store, 'data-status': s.status},
      h('strong', {class: 'name'}, s.store),
      s.status === 'offline' ?
        h('span', {class: 'since'}, s.since ? `offline since ${when(s.since, 'short')}` : 'offline',
          s.since ? h('span', {class: 'muted'}, ` (${ago(s.since)})`) : null) :
        h('span', {class: 'since muted'}, 'known from its devices; its presence never heard')))));
}

function renderBehind(behind) {
  if (!changed('behind', behind)) return;
  const box = $('#behind');
  if (behind.length === 0) {
    clear(box, h('p', {class: 'ok'}, 'Every device holds the price list head office wants.'));
    return;
  }
  const sorted = [...behind].sort((a, b) => rank(a) - rank(b) ||
    a.store.localeCompare(b.store) || a.device.localeCompare(b.device));
  clear(box, h('div', {class: 'scroll'}, table([
    {title: 'Shop', value: d => d.store, class: 'name'},
    {title: 'Device', value: d => d.device, class: 'name'},
    {title: 'Wanted', value: d => (d.desired ? `v${d.desired}` : '–'), num: true},
    {title: 'Applied', value: d => (d.reported ? `v${d.reported}` : '–'), num: true},
    {title: 'State', value: d => h('span', {class: 'states'},
      badge(STATE_TEXT[d.state] ?? d.state, d.state ? `state-${d.state}` : 'state-none'),
      d.desired > d.reported && d.state === 'verified' ? badge('waiting', 'state-waiting') : null)},
    {title: 'Detail', value: d => h('span', {class: 'detail'}, d.detail || ''), class: 'detail-cell'},
  ], sorted, {class: 'behind'}, d => ({
    'data-test': 'behind', 'data-store': d.store, 'data-device': d.device,
    'data-state': d.state, class: `row-${d.state || 'none'}`,
  }))));
}
