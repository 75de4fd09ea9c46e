// The register of the chain as its IT keeps it: the stores and devices in service or retired,
// the ones head office hears of that are not in it, and changes to it (an operate token).

import {$, h, clear, table, when, say, sayError} from './dom.js';
import {get, send} from './api.js';
import {data, changed} from './state.js';

let rows = null;
let afterChange = () => {};

export async function loadRegister() {
  rows = (await get('/api/register')).register;
  renderRegister();
}

const path = (store, device) =>
  `/api/register/${encodeURIComponent(store)}${device ? `/${encodeURIComponent(device)}` : ''}`;

async function change(method, store, device, query = '') {
  const what = device ? `${store}/${device}` : store;
  try {
    const answer = await send(method, path(store, device) + query);
    say(answer.done, 'info');
    await loadRegister();
    afterChange();
  } catch (error) {
    sayError(error, `The register could not be changed for ${what}`);
  }
}

function button(label, action, kind = 'secondary') {
  return h('button', {type: 'button', class: kind, onclick: action}, label);
}

export function renderRegister() {
  if (!rows || !data.status) return;
  const stores = data.status.stores || [];
  const devices = data.status.devices || [];
  if (!changed('register', rows, stores, devices)) return;
  const enrolled = new Set(rows.map(r => `${r.store}/${r.device}`));
  const heard = new Map(stores.map(s => [s.store, s]));

  const box = $('#register');
  if (rows.length === 0) {
    clear(box, h('p', {class: 'muted'},
      'No register is kept yet: head office takes every store and device it hears of. ' +
      'Adding the first one starts the register, and from then on only what is in it counts.'));
  } else {
    clear(box, h('div', {class: 'scroll'}, table([
      {title: 'Shop', value: r => r.store, class: 'name'},
      {title: 'Device', value: r => r.device || h('span', {class: 'muted'}, 'the shop itself')},
      {title: 'Standing', value: r => r.retired ? `retired ${when(r.retired, 'short')}` : 'in service'},
      {title: 'Announced by the shop', value: r => {
        const shop = heard.get(r.store);
        if (!r.device || !shop || !shop.devices || shop.devices.length === 0) return '';
        return shop.devices.includes(r.device) ? 'yes' : h('span', {class: 'warn-text'}, 'no');
      }},
      {title: '', value: r => r.retired ?
        button('Back in service', () => change('POST', r.store, r.device)) :
        button('Retire', () => {
          if (confirm(`Retire ${r.device ? `${r.store}/${r.device}` : `the shop ${r.store} and its devices`}?`))
            change('DELETE', r.store, r.device);
        })},
    ], rows, {class: 'register'}, r => ({'data-store': r.store, 'data-device': r.device}))));
  }

  // What head office hears of that the register lacks (every device and store, while none
  // is kept): one click adds it.
  const outside = [
    ...stores.filter(s => !enrolled.has(`${s.store}/`)).map(s => ({store: s.store, device: ''})),
    ...devices.filter(d => !enrolled.has(`${d.store}/${d.device}`))
      .map(d => ({store: d.store, device: d.device})),
  ];
  const rest = $('#unregistered');
  clear(rest, outside.length === 0 ? h('p', {class: 'ok'}, 'Head office hears of nothing outside the register.') :
    h('ul', {class: 'shop-list'}, outside.map(o =>
      h('li', {'data-test': 'unregistered', 'data-store': o.store, 'data-device': o.device},
        h('strong', {class: 'name'}, o.device ? `${o.store}/${o.device}` : o.store), ' ',
        button('Add to the register', () => change('POST', o.store, o.device))))));
}

export function setupRegister(refresh) {
  afterChange = refresh;
  $('#register-add').addEventListener('submit', event => {
    event.preventDefault();
    const store = $('#register-store').value.trim();
    const device = $('#register-device').value.trim();
    if (store) change('POST', store, device);
  });
  $('#register-rename').addEventListener('submit', event => {
    event.preventDefault();
    const store = $('#rename-from').value.trim();
    const to = $('#rename-to').value.trim();
    if (store && to) change('POST', store, '', `?${new URLSearchParams({rename: to})}`);
  });
}

export function resetRegister() {
  rows = null;
}
