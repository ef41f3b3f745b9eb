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

export function saveToken(token) {
  try {
    if (token) localStorage.setItem(TOKEN_KEY, token);
    else localStorage.removeItem(TOKEN_KEY);
  } catch { /* private mode: the token lasts for this page only */ }
}

// A pairing link carries the token in its fragment, which the browser never
// sends anywhere: take it, keep it, and clear it from the address bar.
function pairedToken() {
  const match = /^#token=([0-9A-Za-z]+)$/.exec(window.location.hash || '');
  if (!match) return '';
  saveToken(match[1]);
  try { history.replaceState(null, '', window.location.pathname + window.location.search); } catch { /* ignore */ }
  return match[1];
}

let token = pairedToken() || savedToken();
export function setToken(t) { token = t; saveToken(t); }

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

// EventSource sends no headers: the stream takes the token in its query.
export function openEvents() {
  const query = token ? `?token=${encodeURIComponent(token)}` : '';
  return new EventSource(`/api/v1/events${query}`);
}

export const path = encodeURIComponent;
