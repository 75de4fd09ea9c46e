// The page's start: the token form, and the refresh of every view every ten seconds.

import {$, when} from './dom.js';
import {get, setToken, token, setUnauthorizedHandler, ApiError} from './api.js';
import {data, say, unsay, forgetDrawn} from './state.js';
import {renderOverview} from './overview.js';
import {setupReports, loadReports, renderReports, resetReports} from './reports.js';
import {setupSales, loadSales, redrawSales, resetSales} from './sales.js';
import {setupRegister, loadRegister, renderRegister, resetRegister} from './register.js';

const REFRESH_MS = 10000;

// Each sign-in starts a new round of refreshes; a refresh of an older round that answers
// after a sign-out draws nothing.
let round = 0;
let timer = null;
let lastGood = null;

function showLogin(message) {
  round++;
  clearTimeout(timer);
  data.status = null;
  resetReports();
  resetSales();
  resetRegister();
  forgetDrawn();
  unsay();
  $('#app').hidden = true;
  $('#logout').hidden = true;
  $('#broker').hidden = true;
  $('#updated').hidden = true;
  $('#login-view').hidden = false;
  const text = $('#login-message');
  text.textContent = message || '';
  text.hidden = !message;
  $('#token').value = '';
  $('#token').focus();
}

// Whether head office hears the shops: without the broker, every figure below stands still.
function showBroker(health) {
  const el = $('#broker');
  const [text, kind, state, title] = !health ?
    ['head office unreachable', 'bad', 'unknown', 'The page cannot reach head office.'] :
    health.broker ? ['broker connected', 'ok', 'connected', ''] :
      ['broker not connected', 'bad', 'disconnected',
        'Head office hears nothing from the shops: what is shown may be out of date.'];
  el.hidden = false;
  el.textContent = text;
  el.className = `badge badge-${kind}`;
  el.dataset.broker = state;
  el.title = title;
}

async function loadStatus() {
  const mine = round;
  const status = await get('/api/status');
  if (mine !== round) return;
  data.status = status;
  renderOverview();
  renderReports();   // a missing report's shop may have gone offline or come back
  redrawSales();     // a shop new to the chain takes its colour
  renderRegister();  // what head office hears of beside the register
}

async function loadHealth() {
  try {
    showBroker(await get('/api/health'));
  } catch (error) {
    showBroker(null);
    throw error;
  }
}

// Every view at once; a view that fails keeps what it showed, and the header says since when
// the page is not current, so that an old picture is never taken for today's.
async function refresh() {
  const mine = round;
  clearTimeout(timer);
  const results = await Promise.allSettled([loadHealth(), loadStatus(), loadReports(), loadSales(),
    loadRegister()]);
  if (mine !== round) return;
  const failed = results.find(r => r.status === 'rejected');
  const stamp = $('#updated');
  stamp.hidden = false;
  if (failed) {
    const error = failed.reason;
    if (error instanceof ApiError && error.status === 401) return;
    stamp.className = 'updated updated-stale';
    stamp.dataset.stale = '1';
    stamp.textContent = lastGood ? `⚠ not updated since ${when(lastGood, 'short')}` : '⚠ not updated';
    say(`The page could not be refreshed: ${error && error.message ? error.message : error}. ` +
      'It tries again every 10 s.', 'warning');
  } else {
    lastGood = new Date().toISOString();
    stamp.className = 'updated';
    stamp.dataset.stale = '0';
    stamp.textContent = `updated ${new Date().toLocaleTimeString('pl-PL')}`;
    if ($('#message').classList.contains('message-warning')) unsay();
  }
  // Two refreshes may have overlapped (a tab shown again mid-refresh): one timer goes on.
  clearTimeout(timer);
  timer = setTimeout(refresh, REFRESH_MS);
}

// A choice of day or period is answered at once, not at the next refresh.
function reload(load) {
  return () => {
    load().catch(error => {
      if (!(error instanceof ApiError && error.status === 401)) {
        say(`The page could not be refreshed: ${error.message}`, 'error');
      }
    });
  };
}

async function start() {
  $('#login-view').hidden = true;
  $('#app').hidden = false;
  $('#logout').hidden = false;
  lastGood = null;
  await refresh();
}

async function login(event) {
  event.preventDefault();
  const value = $('#token').value.trim();
  if (!value) return;
  setToken(value);
  $('#login').disabled = true;
  try {
    await get('/api/status');
    await start();
  } catch (error) {
    if (error.status !== 401) {
      setToken('');
      showLogin(`Signing in did not work: ${error.message}`);
    }
  } finally {
    $('#login').disabled = false;
  }
}

function wire() {
  // A refresh asks several things at once and each gets its 401: the first one sends the page
  // to the form with the reason, the others must not wipe that reason out.
  setUnauthorizedHandler(() => {
    if (!token()) return;
    setToken('');
    showLogin('Head office did not accept the token (401 Unauthorized). Enter a valid token.');
  });
  $('#login-form').addEventListener('submit', login);
  $('#logout').addEventListener('click', () => {
    setToken('');
    showLogin('');
  });
  setupReports(reload(loadReports));
  setupSales(reload(loadSales));
  setupRegister(refresh);
  // A tab in the background is refreshed as soon as it is looked at again.
  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState === 'visible' && !$('#app').hidden) refresh();
  });
}

wire();
if (token()) {
  start().catch(error => say(`The page could not start: ${error.message}`, 'error'));
} else {
  showLogin('');
}
