// Calls on the HTTP interface of the server that served this page (docs/network.md). Every part
// of an address is percent-encoded; every call gives up after a time-out.

const TOKEN_KEY = 'velko.token';
const CALL_TIMEOUT_MS = 5000;

// The write token the user entered, kept for this browser tab only.
export function token() {
  return sessionStorage.getItem(TOKEN_KEY) || '';
}

export function setToken(text) {
  if (text) {
    sessionStorage.setItem(TOKEN_KEY, text);
  } else {
    sessionStorage.removeItem(TOKEN_KEY);
  }
}

export function pathOf(prefix, address) {
  return prefix + address.split('/').map(encodeURIComponent).join('/');
}

// A failed call: the server's own sentence when it answered, else why it could not be asked.
export class CallError extends Error {
  constructor(message, status = 0, code = 0) {
    super(message);
    this.status = status;
    this.code = code;
  }
}

async function call(url, options = {}) {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), CALL_TIMEOUT_MS);
  let answer;
  try {
    answer = await fetch(url, {...options, signal: abort.signal, cache: 'no-store'});
  } catch (e) {
    const why = e.name === 'AbortError' ? `did not answer within ${CALL_TIMEOUT_MS / 1000} s` : 'cannot be reached';
    throw new CallError(`The server at ${location.host} ${why}.`);
  } finally {
    clearTimeout(timer);
  }
  const body = await answer.json().catch(() => null);
  if (!answer.ok) {
    const message = body && body.message ? body.message : `The server answered ${url} with HTTP ${answer.status}.`;
    throw new CallError(message, answer.status, body ? body.error : 0);
  }
  return body;
}

export function getJson(url) {
  return call(url);
}

// Writes an event text to the EVENT property of a location (F/D/L), with the token if one is set.
export function sendEvent(locationAddress, text) {
  const headers = {'Content-Type': 'application/json'};
  if (token()) {
    headers.Authorization = `Bearer ${token()}`;
  }
  return call(pathOf('/v1/property/', `${locationAddress}/EVENT`), {
    method: 'PUT',
    headers,
    body: JSON.stringify({text}),
  });
}
