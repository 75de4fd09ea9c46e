// Talking to velko hq: JSON over fetch with the bearer token.

const TOKEN_KEY = 'velko.hq.token';

export class ApiError extends Error {
  constructor(status, message, body) {
    super(message);
    this.status = status;
    this.body = body;
  }
}

let onUnauthorized = () => {};

// A 401 from any request sends the page back to the token form, in one place.
export function setUnauthorizedHandler(handler) {
  onUnauthorized = handler;
}

export function token() {
  return sessionStorage.getItem(TOKEN_KEY) || '';
}

export function setToken(value) {
  if (value) sessionStorage.setItem(TOKEN_KEY, value);
  else sessionStorage.removeItem(TOKEN_KEY);
}

async function errorFrom(response) {
  let body = null;
  let message = `${response.status} ${response.statusText}`.trim();
  try {
    body = await response.json();
    if (body && typeof body.error === 'string') message = body.error;
  } catch (_) {
    // A proxy's HTML error page or an empty body: the status line says enough.
  }
  const error = new ApiError(response.status, message, body);
  if (response.status === 401) onUnauthorized(error);
  return error;
}

// One GET. It is not tried again on a network fault: the page asks again at its next refresh
// anyway, and meanwhile it says that what it shows is not current.
export async function get(path) {
  let response;
  try {
    response = await fetch(path, {
      headers: {Authorization: `Bearer ${token()}`},
      cache: 'no-store',
    });
  } catch (_) {
    throw new ApiError(0, 'head office cannot be reached', null);
  }
  if (!response.ok) throw await errorFrom(response);
  try {
    return await response.json();
  } catch (_) {
    throw new ApiError(response.status, 'head office answered with something that is not JSON', null);
  }
}

// A query string from the page's own values (dates); encoded all the same.
export function query(path, params) {
  return `${path}?${new URLSearchParams(params)}`;
}

// A change (POST or DELETE, no body); the answer's JSON. Not tried again: the reader sees the
// outcome and decides.
export async function send(method, path) {
  let response;
  try {
    response = await fetch(path, {method, headers: {Authorization: `Bearer ${token()}`}});
  } catch (_) {
    throw new ApiError(0, 'head office cannot be reached', null);
  }
  if (!response.ok) throw await errorFrom(response);
  return response.json();
}
