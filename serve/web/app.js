// The page's start: the language, the token form, the role of the token, the event stream,
// and the views.

import {$} from './dom.js';
import {get, setToken, token, tokenRemembered, setAuthHandlers, streamEvents, ApiError} from './api.js';
import {state, on, say, redrawMessage, applyRole, ENDED} from './state.js';
import {t, lang, setLang, applyDom, onLanguage} from './i18n.js';
import {loadDevices, deviceEvent, jobEvent, refreshDevices} from './devices.js';
import {update, setLive, startPolling, stopPolling} from './jobs.js';
import {setupPriceList, updatePriceListButtons} from './pricelist.js';
import {setupReports, loadReports, renderReportDevices} from './reports.js';
import {setupSales, loadSales, renderSalesDevices} from './sales.js';
import {setupHistory, loadHistory, historyJobEvent, renderHistoryDevices} from './history.js';
import {setupLabels, loadLabels, labelsJobEvent} from './labels.js';

let stopEvents = null;
let loginMessage = null;   // [key, params] of the message under the token form

// The page tells whoever waits on it (a person's script, the browser test) where it is:
// body[data-ready] is "1" once the devices are listed, body[data-last-event] is the id of the
// last event of the stream that has been handled.
function signal(name, value) {
  if (value === null) delete document.body.dataset[name];
  else document.body.dataset[name] = value;
}

function drawLoginMessage() {
  const text = $('#login-message');
  text.textContent = loginMessage ? t(...loginMessage) : '';
  text.hidden = !loginMessage;
}

function showLogin(messageKey, params = {}) {
  if (stopEvents) stopEvents();
  stopEvents = null;
  state.signedIn = false;
  signal('ready', null);
  stopPolling();
  $('#app').hidden = true;
  $('#logout').hidden = true;
  $('#live').hidden = true;
  $('#role').hidden = true;
  $('#login-view').hidden = false;
  loginMessage = messageKey ? [messageKey, params] : null;
  drawLoginMessage();
  $('#token').value = '';
  $('#remember').checked = tokenRemembered();
  $('#token').focus();
}

let live = false;
function drawLive() {
  const element = $('#live');
  element.textContent = t(live ? 'live.on' : 'live.off');
  element.className = `live ${live ? 'live-on' : 'live-off'}`;
  element.dataset.live = live ? '1' : '0';
}

function setLiveState(value) {
  live = value;
  $('#live').hidden = false;
  drawLive();
  if (value) {
    // Events missed while the stream was down.
    refreshDevices();
    loadHistory();
    loadLabels();
  }
  setLive(value);
}

// Whether the token may only look: the service says what the token may do.
async function probeRole() {
  const answer = await get('/api/token');
  return answer.role !== 'operate';
}

async function start() {
  $('#login-view').hidden = true;
  $('#app').hidden = false;
  $('#logout').hidden = false;
  state.signedIn = true;
  state.readOnly = await probeRole();
  applyRole();
  updatePriceListButtons();
  await loadDevices();
  signal('ready', '1');
  stopEvents = streamEvents((name, payload) => {
    if (name === 'job') update(payload);
    else if (name === 'device') deviceEvent(payload);
  }, setLiveState, id => signal('lastEvent', id));
  startPolling();
  await Promise.all([loadReports(), loadSales(), loadHistory(), loadLabels()]);
}

async function login(event) {
  event.preventDefault();
  const value = $('#token').value.trim();
  if (!value) return;
  setToken(value, $('#remember').checked);
  $('#login').disabled = true;
  try {
    await get('/api/devices');
    await start();
  } catch (error) {
    if (error.status !== 401) {
      setToken('');
      showLogin('login.unavailable', {error: error.message});
    }
  } finally {
    $('#login').disabled = false;
  }
}

function drawLanguageSwitch() {
  for (const button of document.querySelectorAll('#lang [data-lang]')) {
    const chosen = button.dataset.lang === lang();
    button.setAttribute('aria-pressed', chosen ? 'true' : 'false');
    button.classList.toggle('chosen', chosen);
  }
  document.body.dataset.lang = lang();
}

let refreshTimer = null;
let salesTimer = null;

function wire() {
  applyDom();
  drawLanguageSwitch();
  $('#lang').addEventListener('click', e => {
    const button = e.target.closest('[data-lang]');
    if (button) setLang(button.dataset.lang);
  });
  onLanguage(() => {
    drawLanguageSwitch();
    drawLoginMessage();
    redrawMessage();
    if (state.signedIn) {
      applyRole();
      updatePriceListButtons();
      drawLive();
    }
  });

  setAuthHandlers(() => {
    // Requests under way when the token was refused are refused too: the first one has said it.
    if (token() === '' && !$('#login-view').hidden) return;
    const had = token() !== '';
    setToken('');
    showLogin(had ? 'login.rejected' : '');
  }, () => {
    if (!state.readOnly) {
      state.readOnly = true;
      applyRole();
      updatePriceListButtons();
    }
    say('service.readOnly', {}, 'warning');
  });

  on('job', job => {
    jobEvent(job);
    historyJobEvent(job);
    labelsJobEvent(job);
    if (!ENDED.has(job.state)) return;
    // An ended job changes the device's state, counts and open failures; a close of day adds
    // a report and sales.
    clearTimeout(refreshTimer);
    refreshTimer = setTimeout(refreshDevices, 400);
    if (job.kind === 'close-day') {
      clearTimeout(salesTimer);
      salesTimer = setTimeout(() => { loadReports(); loadSales(); }, 400);
    }
  });
  on('devices', () => {
    renderReportDevices();
    renderSalesDevices();
    renderHistoryDevices();
  });

  $('#login-form').addEventListener('submit', login);
  $('#logout').addEventListener('click', () => {
    setToken('');
    showLogin('');
  });
  setupPriceList();
  setupReports();
  setupSales();
  setupHistory();
  setupLabels();
}

wire();
if (token()) {
  start().catch(error => {
    if (!(error instanceof ApiError && error.status === 401)) {
      say(() => t('service.unreachable', {error: error.message}), {}, 'error');
    }
  });
} else {
  showLogin('');
}
