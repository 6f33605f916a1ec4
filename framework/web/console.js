// The web console: the server's locations with their properties' live values, and for each
// machine its statechart with the active states lit, its trace, and a field to send it events.
import {CallError, getJson, pathOf, sendEvent, setToken, token} from './api.js';
import {Chart} from './chart.js';
import {Monitor} from './monitor.js';
import {sparkline} from './plot.js';
import {Trace} from './trace.js';
import {firstRecord, isPlotted, pointsOf, valueText} from './values.js';

const TRACE_PERIOD_MS = 500;
const RETRY_BUILD_MS = 2000;

const page = {
  device: '',
  properties: new Map(),  // F/D/L/P -> {value cell, plot cell, location card}
  machines: [],  // one view per machine: {address, chart, trace}
  charts: new Map(),  // location -> the chart that draws it
  build: 0,  // counts builds, so that an older one still running stops
};

function el(tag, attributes = {}, ...children) {
  const e = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (name === 'class') {
      e.className = value;
    } else {
      e.setAttribute(name, value);
    }
  }
  e.append(...children);
  return e;
}

const $ = (selector) => document.querySelector(selector);

function showConnection(state, text) {
  const c = $('#connection');
  c.className = `connection ${state}`;
  c.textContent = text;
  document.body.classList.toggle('offline', state === 'lost');
}

// ---- locations and their properties ----

async function buildLocation(location, build) {
  const address = `${page.device}/${location.name}`;
  const fault = el('p', {class: 'fault-line', role: 'alert'});
  const rows = el('tbody');
  const card = el('article', {class: 'card location', 'data-location': location.name},
                  el('h3', {}, location.name, el('span', {class: 'muted'}, `code ${location.code}`)), fault,
                  el('table', {}, rows));
  $('#locations').append(card);
  const names = await getJson(pathOf('/v1/names/', address));
  if (build !== page.build) {
    return;
  }
  for (const property of names.properties) {
    const name = property.name.split(/\s/)[0];
    const value = el('td', {class: 'value'});
    const plot = el('td', {class: 'plot'});
    rows.append(el('tr', {'data-property': name}, el('td', {class: 'name'}, name), value, plot));
    const full = `${address}/${name}`;
    page.properties.set(full, {location: location.name, name, value, plot, fault, last: null});
    monitor.subscribe(full);
  }
}

function onValue(message) {
  const shown = page.properties.get(message.address);
  if (!shown) {
    return;
  }
  if (message.error) {
    shown.value.textContent = message.message;
    shown.value.classList.add('bad');
    return;
  }
  shown.last = message;
  shown.value.classList.remove('bad');
  shown.value.textContent = valueText(message.type, message.value);
  if (isPlotted(message.type)) {
    shown.plot.replaceChildren(sparkline(pointsOf(message.type, message.value)));
  }
  showInChart(shown);
}

// FAULT and FLOW_n values in the chart that draws their location.
function showInChart(shown) {
  const chart = page.charts.get(shown.location);
  const message = shown.last;
  const record = message && firstRecord(message.type, message.value);
  if (shown.name === 'FAULT' && record) {
    const error = record.f2 !== 0 ? String(record.str) : '';
    shown.fault.textContent = error;
    if (chart) {
      chart.fault(shown.location, error);
    }
  }
  const flow = /^FLOW_(\d+)$/.exec(shown.name);
  if (flow && record && chart) {
    chart.flowValue(shown.location, Number(flow[1]), String(record.str));
  }
}

// ---- machines ----

function eventForm(view) {
  const where = el('select', {'aria-label': 'Location'});
  const input = el('input', {type: 'text', name: 'event', placeholder: 'event, e.g. start', spellcheck: 'false',
                             'aria-label': 'Event'});
  const answer = el('output', {class: 'answer'});
  const form = el('form', {class: 'event-form'}, where, input, el('button', {type: 'submit'}, 'Send'),
                  el('span', {class: 'hint muted'},
                     'NAME to the location\u2019s state, NAME:! to every state, NAME:* to every state below it, ' +
                         'NAME:STATE to one state.'),
                  answer);
  form.addEventListener('submit', async (e) => {
    e.preventDefault();
    const text = input.value.trim();
    if (!text) {
      return;
    }
    const target = `${page.device}/${where.value}`;
    try {
      await sendEvent(target, text);
      answer.className = 'answer ok';
      answer.textContent = `Sent \u201c${text}\u201d to ${target} at ${new Date().toLocaleTimeString([], {hour12: false})}; it runs with the next update cycle.`;
    } catch (err) {
      answer.className = 'answer bad';
      const help = err.status === 401 ? ' Enter the server\u2019s token under \u201cWrite token\u201d above.' : '';
      answer.textContent = err.message + help;
    }
  });
  view.locationChoice = where;
  return form;
}

async function buildMachine(machine, build) {
  const chartBox = el('div', {class: 'chart-box'}, el('p', {class: 'note'}, 'Laying out the chart…'));
  const traceBody = el('tbody');
  const view = {address: machine.address, chart: new Chart(chartBox), trace: new Trace(machine.address, traceBody)};
  const card = el('article', {class: 'card machine', 'data-machine': machine.machine},
                  el('h2', {}, `Machine ${machine.machine} `, el('span', {class: 'muted'}, `at ${machine.address}`)),
                  el('div', {class: 'body'}, chartBox,
                     el('div', {class: 'side'}, eventForm(view),
                        el('div', {class: 'trace'},
                           el('table', {},
                              el('thead', {}, el('tr', {}, ...['time', 'where', 'from', 'event', 'to', 'error'].map(
                                                              (h) => el('th', {}, h)))),
                              traceBody)))));
  $('#machines').append(card);
  const structure = await getJson(pathOf('/v1/machine/', machine.address));
  if (build !== page.build) {
    return;
  }
  await view.chart.draw(structure);
  for (const location of view.chart.tops.keys()) {
    page.charts.set(location, view.chart);
    view.locationChoice.append(el('option', {value: location}, location));
  }
  for (const shown of page.properties.values()) {
    showInChart(shown);
  }
  await view.trace.poll();
  page.machines.push(view);  // from now on followMachines() reads its trace
}

// The trace shows which transitions fired; the structure then gives every flow's active member
// (entering a superstate also enters its flows, which the trace does not list).
async function followMachine(view) {
  try {
    const entries = await view.trace.poll();
    if (entries.length > 0) {
      for (const e of entries) {
        view.chart.fired(e.from_id, e.event, e.to_id);
      }
      view.chart.update(await getJson(pathOf('/v1/machine/', view.address)));
    }
  } catch (err) {
    if (!(err instanceof CallError)) {
      throw err;
    }
  }
}

async function followMachines() {
  try {
    if (monitor.connected()) {
      for (const view of page.machines) {
        await followMachine(view);
      }
    }
  } finally {
    setTimeout(followMachines, TRACE_PERIOD_MS);
  }
}

async function buildMachines(build) {
  let list;
  try {
    list = await getJson('/v1/machines');
  } catch (err) {
    $('#machines').append(el('p', {class: 'note card'}, `The machines of this server cannot be shown: ${err.message}`));
    return;
  }
  const roots = list.machines.filter((m) => m.root);
  if (roots.length === 0) {
    $('#machines').append(el('p', {class: 'note card'}, 'This server runs no state machine.'));
  }
  await Promise.all(roots.map((m) => buildMachine(m, build)));
}

// ---- the page ----

async function build() {
  const build = ++page.build;
  monitor.clear();
  page.properties.clear();
  page.machines = [];
  page.charts.clear();
  $('#machines').replaceChildren();
  $('#locations').replaceChildren();
  try {
    const server = await getJson('/v1/server');
    page.device = `${server.facility}/${server.device}`;
    document.title = `${page.device} \u00b7 velko console`;
    $('#device').textContent = page.device;
    if (monitor.connected()) {
      showConnection('connected', `Connected to ${page.device}`);
    }
    const names = await getJson(pathOf('/v1/names/', `${page.device}/*`));
    await Promise.all([buildMachines(build), ...names.locations.map((l) => buildLocation(l, build))]);
  } catch (err) {
    if (!(err instanceof CallError)) {
      throw err;
    }
    if (build === page.build) {
      showConnection('lost', `${err.message} Trying again.`);
      setTimeout(retryBuild, RETRY_BUILD_MS);
    }
  }
}

function retryBuild() {
  build();
}

function onConnection(state, waitMs) {
  if (state === 'lost') {
    showConnection('lost', `The connection to the server ${page.device} was lost. Trying again in ${
                                  Math.round(waitMs / 100) / 10} s.`);
    return;
  }
  showConnection('connected', `Connected to ${page.device || location.host}`);
  if (state === 'reconnected') {
    build();
  }
}

function tokenForm() {
  const input = $('#token');
  const state = $('#token-state');
  const show = () => {
    state.textContent = token() ? 'kept for this tab' : '';
  };
  $('#token-form').addEventListener('submit', (e) => {
    e.preventDefault();
    setToken(input.value.trim());
    input.value = '';
    show();
  });
  $('#token-forget').addEventListener('click', () => {
    setToken('');
    show();
  });
  show();
}

const monitor = new Monitor(onValue, onConnection);
tokenForm();
build();
monitor.start();
followMachines();
