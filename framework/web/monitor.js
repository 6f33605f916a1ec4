// One WebSocket to /v1/monitor carries every subscription of the page. After a loss it connects
// again by itself, waiting 0.5 s and doubling the wait up to 8 s, and subscribes again.

const FIRST_WAIT_MS = 500;
const LONGEST_WAIT_MS = 8000;

export class Monitor {
  // onValue(message) gets every pushed value or error; onState(state, waitMs) gets "connected",
  // "reconnected" (after a loss) or "lost" (with the wait before the next try).
  constructor(onValue, onState) {
    this.onValue = onValue;
    this.onState = onState;
    this.addresses = new Set();
    this.wait = FIRST_WAIT_MS;
    this.socket = null;
    this.wasLost = false;
  }

  start() {
    const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
    const socket = new WebSocket(`${scheme}://${location.host}/v1/monitor`);
    this.socket = socket;
    socket.onopen = () => {
      this.wait = FIRST_WAIT_MS;
      for (const address of this.addresses) {
        socket.send(JSON.stringify({subscribe: address}));
      }
      this.onState(this.wasLost ? 'reconnected' : 'connected', 0);
      this.wasLost = false;
    };
    socket.onmessage = (event) => {
      let message;
      try {
        message = JSON.parse(event.data);
      } catch {
        return;
      }
      this.onValue(message);
    };
    socket.onclose = () => {
      this.socket = null;
      this.wasLost = true;
      this.onState('lost', this.wait);
      setTimeout(() => this.start(), this.wait);
      this.wait = Math.min(this.wait * 2, LONGEST_WAIT_MS);
    };
  }

  connected() {
    return this.socket !== null && this.socket.readyState === WebSocket.OPEN;
  }

  // Forgets every subscription (the page is being built again).
  clear() {
    for (const address of this.addresses) {
      if (this.connected()) {
        this.socket.send(JSON.stringify({unsubscribe: address}));
      }
    }
    this.addresses.clear();
  }

  subscribe(address) {
    if (this.addresses.has(address)) {
      return;
    }
    this.addresses.add(address);
    if (this.connected()) {
      this.socket.send(JSON.stringify({subscribe: address}));
    }
  }
}
