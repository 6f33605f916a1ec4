// A machine's recent transitions (GET /v1/trace/F/D/L), newest first, as a scrolling list.
import {getJson, pathOf} from './api.js';

const MOST_ROWS = 400;

function timeOf(seconds) {
  const d = new Date(seconds * 1000);
  const ms = String(d.getMilliseconds()).padStart(3, '0');
  return `${d.toLocaleTimeString([], {hour12: false})}.${ms}`;
}

function cell(row, content, cls) {
  const td = document.createElement('td');
  td.textContent = content;
  if (cls) {
    td.className = cls;
  }
  row.appendChild(td);
  return td;
}

export class Trace {
  // address: a location of the machine (F/D/L); list: the table body to fill.
  constructor(address, list) {
    this.address = address;
    this.list = list;
    this.after = 0;
  }

  // Reads the entries after the last one shown; returns them, oldest first.
  async poll() {
    const trace = await getJson(`${pathOf('/v1/trace/', this.address)}?after=${this.after}`);
    if (trace.missed > 0 && this.after > 0) {
      this.note(`${trace.missed} transitions were overwritten before they could be shown.`);
    }
    for (const entry of trace.entries) {
      this.show(entry);
    }
    this.after = Math.max(this.after, trace.next);
    return trace.entries;
  }

  show(entry) {
    const row = document.createElement('tr');
    row.className = entry.error ? 'entry error' : 'entry';
    cell(row, timeOf(entry.time), 'time');
    cell(row, `${entry.location} · ${entry.flow}`, 'where');
    cell(row, entry.from, 'from');
    cell(row, entry.event, 'event');
    cell(row, entry.effect === 'none' ? `${entry.to} (no change)` : entry.to, 'to');
    cell(row, entry.error, 'error');
    row.title = `#${entry.seq} in ${entry.superstate}`;
    this.add(row);
  }

  note(message) {
    const row = document.createElement('tr');
    row.className = 'note';
    const td = cell(row, message);
    td.colSpan = 6;
    this.add(row);
  }

  add(row) {
    this.list.prepend(row);
    while (this.list.childElementCount > MOST_ROWS) {
      this.list.lastElementChild.remove();
    }
  }
}
