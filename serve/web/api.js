// Talking to velko serve: JSON over fetch with the bearer token, and the event stream.

import {t} from './i18n.js';

const TOKEN_KEY = 'velko.token';

export class ApiError extends Error {
  constructor(status, message, body) {
    super(message);
    this.status = status;
    this.body = body;
  }
}

let onUnauthorized = () => {};
let onForbidden = () => {};

// 401 and 403 are handled in one place: the first sends staff back to the token form, the
// second puts the page into read-only mode.
export function setAuthHandlers(unauthorized, forbidden) {
  onUnauthorized = unauthorized;
  onForbidden = forbidden;
}

// The token lives in localStorage only when staff ticked "remember on this device"; otherwise
// in this tab's sessionStorage, gone when the tab closes. A page where storage is refused keeps
// it in memory for as long as it is open.
let inMemory = '';

function storage(kind) {
  try {
    return kind === 'local' ? window.localStorage : window.sessionStorage;
  } catch (_) {
    return null;
  }
}

export function token() {
  for (const kind of ['session', 'local']) {
    const value = storage(kind)?.getItem(TOKEN_KEY);
    if (value) return value;
  }
  return inMemory;
}

export function tokenRemembered() {
  return Boolean(storage('local')?.getItem(TOKEN_KEY));
}

export function setToken(value, remember = false) {
  inMemory = '';
  for (const kind of ['session', 'local']) storage(kind)?.removeItem(TOKEN_KEY);
  if (!value) return;
  const store = storage(remember ? 'local' : 'session');
  try {
    if (store) store.setItem(TOKEN_KEY, value);
    else inMemory = value;
  } catch (_) {
    inMemory = value;
  }
}

function headers(extra, sentWith = token()) {
  return Object.assign({Authorization: `Bearer ${sentWith}`}, extra || {});
}

// `sentWith` is the token the request carried: a refusal of one no longer in use (staff signed
// out, or in again, while it was on its way) says nothing of the token the page holds now.
async function errorFrom(response, quiet, sentWith = token()) {
  let body = null;
  let message = `${response.status} ${response.statusText}`.trim();
  try {
    body = await response.json();
    if (body && typeof body.error === 'string') message = body.error;
  } catch (_) {
    // A proxy's HTML error page or an empty body: the status line says enough.
  }
  const error = new ApiError(response.status, message, body);
  if (response.status === 401 && sentWith === token()) onUnauthorized(error);
  if (response.status === 403 && !quiet) onForbidden(error);
  return error;
}

const sleep = ms => new Promise(resolve => setTimeout(resolve, ms));

// A request's Idempotency-Key. Browsers offer crypto.randomUUID() only to secure pages (HTTPS
// or localhost), and a shop's page is often plain HTTP on its own network; getRandomValues is
// there everywhere.
function newKey() {
  if (crypto.randomUUID) return crypto.randomUUID();
  return Array.from(crypto.getRandomValues(new Uint8Array(16)),
                    b => b.toString(16).padStart(2, '0')).join('');
}

// One request. A POST carries an Idempotency-Key made once per call of this function: when
// the network fails before an answer arrives the same request is sent again with the same
// key, so the service runs it at most once however many times it reached it.
// `quiet` leaves a 403 to the caller (a question about the token's role, not a refusal to show).
export async function request(method, path, {body, type, accept, raw, quiet} = {}) {
  const extra = {};
  if (accept) extra.Accept = accept;
  if (type) extra['Content-Type'] = type;
  if (method === 'POST') extra['Idempotency-Key'] = newKey();
  const sentWith = token();
  let response;
  for (let attempt = 0; ; attempt++) {
    try {
      response = await fetch(path, {method, headers: headers(extra, sentWith), body, cache: 'no-store'});
      break;
    } catch (networkError) {
      if (attempt >= 2) throw new ApiError(0, t('service.noAnswer'), null);
      await sleep(500 * 2 ** attempt);
    }
  }
  if (!response.ok) throw await errorFrom(response, quiet, sentWith);
  if (raw) return response;
  if (response.status === 204) return null;
  return response.json();
}

// A file from the API saved by the browser: fetched with the token (a plain link could not send
// it) and handed over through a Blob link, under the name the service gives it
// (Content-Disposition) cut to a plain file name, or `fallback`.
export async function download(path, fallback) {
  const response = await request('GET', path, {accept: 'text/csv', raw: true});
  const blob = await response.blob();
  const given = /filename="?([^";]+)"?/i.exec(response.headers.get('Content-Disposition') || '');
  const link = document.createElement('a');
  link.href = URL.createObjectURL(blob);
  link.download = (given ? given[1] : fallback).replace(/[^\w.-]+/g, '_');
  link.hidden = true;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 10000);
}

export const get = (path, options) => request('GET', path, options);
export const post = (path, options) => request('POST', path, options);

// A price list file goes as its bytes: a CSV may be Windows-1250, and reading it as text here
// would turn its Polish letters into replacement characters before the service sees them.
export function priceListBody(file) {
  const isJson = /\.json$/i.test(file.name) || file.type === 'application/json';
  return {body: file, type: isJson ? 'application/json' : 'text/csv'};
}

// The event stream, read with fetch so that the Authorization header goes with it (EventSource
// cannot send headers). When the stream ends or fails it is opened again after a pause that
// grows up to half a minute, from the last event seen (Last-Event-ID, as EventSource would);
// onState tells the page whether it is live; onId is given each event's id once the event has
// been handled.
export function streamEvents(onEvent, onState, onId = () => {}) {
  const controller = new AbortController();
  let delay = 1000;
  const seen = {id: ''};

  async function once() {
    const extra = {Accept: 'text/event-stream'};
    if (seen.id) extra['Last-Event-ID'] = seen.id;
    const response = await fetch('/api/events', {
      headers: headers(extra),
      signal: controller.signal,
      cache: 'no-store',
    });
    if (!response.ok) throw await errorFrom(response);
    onState(true);
    const opened = Date.now();
    const reader = response.body.getReader();
    const decoder = new TextDecoder('utf-8');
    let buffer = '';
    for (;;) {
      const {value, done} = await reader.read();
      if (done) break;
      buffer += decoder.decode(value, {stream: true});
      // A CR at the end of a chunk may be the first half of a CRLF: it waits for the next one.
      const complete = buffer.endsWith('\r') ? buffer.slice(0, -1) : buffer;
      const rest = buffer.slice(complete.length);
      const blocks = complete.replace(/\r\n?/g, '\n').split('\n\n');
      buffer = blocks.pop() + rest;
      for (const block of blocks) {
        dispatch(block, onEvent, seen);
        if (seen.id) onId(seen.id);
      }
    }
    // A stream that a proxy or a restarting service ends at once must not be opened again at
    // once forever: the pause only starts over after a stream that lasted.
    if (Date.now() - opened > 10000) delay = 1000;
  }

  (async () => {
    while (!controller.signal.aborted) {
      try {
        await once();
      } catch (error) {
        if (controller.signal.aborted) return;
        if (error instanceof ApiError && error.status === 401) return;
      }
      if (controller.signal.aborted) return;
      onState(false);
      await sleep(delay);
      delay = Math.min(delay * 2, 30000);
    }
  })();

  return () => controller.abort();
}

function dispatch(block, onEvent, seen) {
  let name = 'message';
  const data = [];
  for (const line of block.split('\n')) {
    if (line === '' || line.startsWith(':')) continue;
    const colon = line.indexOf(':');
    const field = colon < 0 ? line : line.slice(0, colon);
    let value = colon < 0 ? '' : line.slice(colon + 1);
    if (value.startsWith(' ')) value = value.slice(1);
    if (field === 'event') name = value;
    else if (field === 'data') data.push(value);
    else if (field === 'id' && !value.includes('\0')) seen.id = value;
  }
  if (data.length === 0) return;
  let payload;
  try {
    payload = JSON.parse(data.join('\n'));
  } catch (_) {
    return;
  }
  onEvent(name, payload);
}
