// The service's public API, as any control system sees it: JSON over HTTP
// with a bearer token off loopback, and the event stream.
const TOKEN_KEY = 'cortavia-token';

export class Unauthorized extends Error {}

export class ApiError extends Error {
  constructor(status, body) {
    super(body && body.error ? body.error : `HTTP ${status}`);
    this.status = status;
    this.body = body || {};
  }
}

export function savedToken() {
  try { return localStorage.getItem(TOKEN_KEY) || ''; } catch { return ''; }
}

function saveToken(token) {
  try {
    if (token) localStorage.setItem(TOKEN_KEY, token);
    else localStorage.removeItem(TOKEN_KEY);
  } catch { /* private mode: the token lasts for this page only */ }
}

let token = savedToken();
// A token is tried first and kept only once the service has taken it.
export function tryToken(t) { token = t; }
export function keepToken() { if (token) saveToken(token); }
export function forgetToken() { token = ''; saveToken(''); }
export function currentToken() { return token; }

export async function call(method, path, body) {
  const headers = {};
  if (token) headers.Authorization = `Bearer ${token}`;
  // Every write says JSON, with or without a body: the service refuses any other.
  if (method !== 'GET') headers['Content-Type'] = 'application/json';
  const reply = await fetch(`/api/v1${path}`, {
    method, headers, cache: 'no-store',
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  let json = null;
  try { json = await reply.json(); } catch { json = null; }
  if (reply.status === 401) throw new Unauthorized(json && json.error);
  if (!reply.ok) throw new ApiError(reply.status, json);
  return json;
}

// EventSource sends no headers: the stream takes the token, and the last
// event seen when a new stream picks up where an old one ended, in its query.
export function openEvents(lastId) {
  const query = new URLSearchParams();
  if (token) query.set('token', token);
  if (lastId) query.set('last_event_id', lastId);
  const q = query.toString();
  return new EventSource(`/api/v1/events${q ? `?${q}` : ''}`);
}

export const path = encodeURIComponent;
