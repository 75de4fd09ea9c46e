// The page's start: the token form, the role of the token, the event stream, and the views.

import {$} from './dom.js';
import {get, setToken, token, setAuthHandlers, streamEvents, ApiError} from './api.js';
import {state, on, say, applyRole, ENDED} from './state.js';
import {loadDevices, deviceEvent, jobEvent, refreshDevices} from './devices.js';
import {update, setLive, startPolling, stopPolling} from './jobs.js';
import {setupPriceList, updatePriceListButtons} from './pricelist.js';
import {setupReports, loadReports, renderReportDevices} from './reports.js';
import {setupSales, loadSales, renderSalesDevices} from './sales.js';

let stopEvents = null;

function showLogin(message) {
  if (stopEvents) stopEvents();
  stopEvents = null;
  stopPolling();
  $('#app').hidden = true;
  $('#logout').hidden = true;
  $('#live').hidden = true;
  $('#role').hidden = true;
  $('#login-view').hidden = false;
  const text = $('#login-message');
  text.textContent = message || '';
  text.hidden = !message;
  $('#token').value = '';
  $('#token').focus();
}

function setLiveState(value) {
  const live = $('#live');
  live.hidden = false;
  live.textContent = value ? '● live' : '○ reconnecting…';
  live.className = `live ${value ? 'live-on' : 'live-off'}`;
  live.dataset.live = value ? '1' : '0';
  if (value) refreshDevices();   // events missed while the stream was down
  setLive(value);
}

// Whether the token may only look: the service says what the token may do.
async function probeRole() {
  const token = await get('/api/token');
  return token.role !== 'operate';
}

async function start() {
  $('#login-view').hidden = true;
  $('#app').hidden = false;
  $('#logout').hidden = false;
  state.readOnly = await probeRole();
  applyRole();
  updatePriceListButtons();
  await loadDevices();
  stopEvents = streamEvents((name, payload) => {
    if (name === 'job') update(payload);
    else if (name === 'device') deviceEvent(payload);
  }, setLiveState);
  startPolling();
  await Promise.all([loadReports(), loadSales()]);
}

async function login(event) {
  event.preventDefault();
  const value = $('#token').value.trim();
  if (!value) return;
  setToken(value);
  $('#login').disabled = true;
  try {
    await get('/api/devices');
    await start();
  } catch (error) {
    if (error.status !== 401) {
      setToken('');
      showLogin(`The service cannot be used now: ${error.message}`);
    }
  } finally {
    $('#login').disabled = false;
  }
}

let refreshTimer = null;
let salesTimer = null;

function wire() {
  setAuthHandlers(() => {
    const had = token() !== '';
    setToken('');
    showLogin(had ? 'The service did not accept the token (401 Unauthorized). Enter a valid token.' : '');
  }, () => {
    if (!state.readOnly) {
      state.readOnly = true;
      applyRole();
      updatePriceListButtons();
    }
    say('This token may only read (403 Forbidden): sending price lists and closing the day need ' +
      'an operate token.', 'warning');
  });

  on('job', job => {
    jobEvent(job);
    if (!ENDED.has(job.state)) return;
    // An ended job changes the device's state and counts; a close of day adds a report and sales.
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
  });

  $('#login-form').addEventListener('submit', login);
  $('#logout').addEventListener('click', () => {
    setToken('');
    showLogin('');
  });
  setupPriceList();
  setupReports();
  setupSales();
}

wire();
if (token()) {
  start().catch(error => {
    if (!(error instanceof ApiError && error.status === 401)) {
      say(`The service cannot be reached: ${error.message}`, 'error');
    }
  });
} else {
  showLogin('');
}
