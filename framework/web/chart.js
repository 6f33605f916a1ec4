// A machine's statechart, drawn from its structure (GET /v1/machine/F/D/L) and laid out by ELK:
// superstates as boxes holding their flows as dashed regions, basic states as rounded boxes, a
// dot pointing at each flow's default state, a ring for the end of a flow, and an arrow per
// transition labelled with its event.
// The active member of every flow is lit as it changes, and each location's error shows in the
// box of the superstate that the location holds.

const SVG_NS = 'http://www.w3.org/2000/svg';
const FONT = '13px system-ui, sans-serif';
const SMALL_FONT = '11px system-ui, sans-serif';
const STATE_HEIGHT = 34;
const HEADER = 46;  // a superstate's name line and its error line
const REGION_HEADER = 22;
const LABEL_HEIGHT = 14;

// Every node lays out its own children (transitions never leave their flow), so the options
// apply to each; the machine's order of states and transitions decides the direction of cycles.
const LAYOUT = {
  'elk.algorithm': 'layered',
  'elk.direction': 'RIGHT',
  'elk.json.edgeCoords': 'ROOT',
  'elk.edgeRouting': 'SPLINES',
  'elk.edgeLabels.placement': 'CENTER',
  'elk.spacing.nodeNode': '28',
  'elk.spacing.edgeLabel': '3',
  'elk.layered.spacing.nodeNodeBetweenLayers': '44',
  'elk.spacing.componentComponent': '24',
  'elk.layered.considerModelOrder.strategy': 'NODES_AND_EDGES',
  'elk.layered.cycleBreaking.strategy': 'MODEL_ORDER',
  'elk.layered.considerModelOrder.components': 'MODEL_ORDER',
};

let measuring = null;
let charts = 0;  // numbers the arrowhead of each chart: ids are unique in the page
function textWidth(text, font) {
  measuring = measuring || document.createElement('canvas').getContext('2d');
  measuring.font = font;
  return Math.ceil(measuring.measureText(text).width);
}

function element(tag, attributes, parent) {
  const e = document.createElementNS(SVG_NS, tag);
  for (const [name, value] of Object.entries(attributes)) {
    e.setAttribute(name, value);
  }
  if (parent) {
    parent.appendChild(e);
  }
  return e;
}

function text(parent, x, y, content, cls) {
  const t = element('text', {x, y, class: cls}, parent);
  t.textContent = content;
  return t;
}

function transitionLabel(t) {
  let label = t.event;
  if (t.guard) {
    label += ' [guard]';
  }
  const effects = [];
  if (t.action) {
    effects.push('action');
  }
  if (t.signal) {
    effects.push(`^${t.signal.event}`);
  }
  return effects.length ? `${label} / ${effects.join(' ')}` : label;
}

function describe(state) {
  const lines = [`${state.name} (${state.type}, location ${state.location})`];
  if (state.description) {
    lines.push(state.description);
  }
  if (state.actions.length) {
    lines.push(`actions: ${state.actions.join(', ')}`);
  }
  if (state.handlers.length) {
    lines.push(`handlers: ${state.handlers.join(', ')}`);
  }
  for (const t of state.transitions.filter((x) => x.target === null)) {
    lines.push(`${transitionLabel(t)} -> ${t.next} (no such state: changes nothing)`);
  }
  return lines.join('\n');
}

// ELK's graph of a structure, with ids of its own (state names may hold any character).
class GraphBuilder {
  constructor() {
    this.count = 0;
    this.nodes = new Map();  // ELK id -> {kind, state, owner, flow}
    this.ids = new Map();  // state id -> ELK id
    this.ends = new Map();  // ELK id of a region -> ELK id of its end ring
  }

  next() {
    return `n${this.count++}`;
  }

  state(state) {
    const id = this.next();
    this.ids.set(state.id, id);
    if (state.type === 'state') {
      this.nodes.set(id, {kind: 'state', state});
      return {id, width: Math.max(72, textWidth(state.name, FONT) + 28), height: STATE_HEIGHT};
    }
    this.nodes.set(id, {kind: 'super', state});
    const headerWidth = textWidth(`${state.name}  ${state.location}`, FONT) + 36;
    return {
      id,
      layoutOptions: {
        'elk.padding': `[top=${HEADER},left=12,bottom=12,right=12]`,
        'elk.nodeSize.constraints': 'MINIMUM_SIZE',
        'elk.nodeSize.minimum': `(${Math.max(160, headerWidth)}, ${HEADER + 30})`,
      },
      children: state.flows.map((flow) => this.region(state, flow)),
      edges: [],
    };
  }

  region(owner, flow) {
    const id = this.next();
    this.nodes.set(id, {kind: 'region', owner, flow});
    const start = this.next();
    this.nodes.set(start, {kind: 'start', owner, flow});
    const node = {
      id,
      layoutOptions: {'elk.padding': `[top=${REGION_HEADER},left=10,bottom=10,right=10]`},
      children: [{id: start, width: 10, height: 10}, ...flow.states.map((s) => this.state(s))],
      edges: [],
    };
    const first = flow.states.find((s) => s.name === flow.default);
    if (first) {
      node.edges.push({id: this.next(), sources: [start], targets: [this.ids.get(first.id)]});
    }
    if (flow.states.some((s) => s.transitions.some((t) => t.finishes))) {
      const end = this.next();
      this.nodes.set(end, {kind: 'end', owner, flow});
      this.ends.set(id, end);
      node.children.push({id: end, width: 14, height: 14});
    }
    return node;
  }

  // Transitions, each in the region of its flow; one that finishes the flow ends at its ring.
  transitions(node) {
    const info = this.nodes.get(node.id);
    for (const child of node.children || []) {
      this.transitions(child);
    }
    if (info.kind !== 'region') {
      return;
    }
    for (const member of info.flow.states) {
      member.transitions.forEach((t, i) => {
        const to = t.finishes ? this.ends.get(node.id) : this.ids.get(t.target);
        if (t.target === null || to === undefined) {
          return;
        }
        const label = transitionLabel(t);
        const edge = {
          id: this.next(),
          sources: [this.ids.get(member.id)],
          targets: [to],
          labels: [{text: label, width: textWidth(label, SMALL_FONT) + 4, height: LABEL_HEIGHT}],
        };
        this.nodes.set(edge.id, {kind: 'transition', from: member.id, index: i, transition: t});
        node.edges.push(edge);
      });
    }
  }
}

export class Chart {
  constructor(container) {
    this.container = container;
    this.svg = null;
    this.states = new Map();  // state id -> {state, group}
    this.active = new Map();  // "owner id" + "\n" + flow number -> name of the active member
    this.tops = new Map();  // location -> its top state
    this.faults = new Map();  // location -> {text, element}
    this.edges = new Map();  // "from id\nevent\nto id" -> path group
  }

  async draw(structure) {
    const builder = new GraphBuilder();
    const top = builder.state(structure.top);
    const graph = {id: 'graph', children: [top], edges: []};
    builder.transitions(top);
    // elk.bundled.js runs the layout in the page itself (no worker).
    const laid = await new ELK({defaultLayoutOptions: LAYOUT}).layout(graph);
    this.render(laid, builder);
    this.update(structure);
  }

  render(graph, builder) {
    const svg = element('svg', {
      class: 'chart',
      width: Math.ceil(graph.width),
      height: Math.ceil(graph.height),
      viewBox: `0 0 ${Math.ceil(graph.width)} ${Math.ceil(graph.height)}`,
      role: 'img',
    });
    const defs = element('defs', {}, svg);
    const marker = element('marker', {
      id: `arrow-${++charts}`,
      viewBox: '0 0 10 10',
      refX: 9,
      refY: 5,
      // In the chart's units, so that a flashing (wider) arrow keeps its head.
      markerUnits: 'userSpaceOnUse',
      markerWidth: 9,
      markerHeight: 9,
      orient: 'auto-start-reverse',
    }, defs);
    element('path', {d: 'M0,0 L10,5 L0,10 z', class: 'arrowhead'}, marker);
    const nodes = element('g', {}, svg);
    const edges = element('g', {}, svg);
    this.states.clear();
    this.tops.clear();
    this.faults.clear();
    this.edges.clear();
    this.drawNode(graph.children[0], 0, 0, nodes, builder);
    this.drawEdges(graph, edges, builder, marker.id);
    this.container.replaceChildren(svg);
    this.svg = svg;
  }

  drawNode(node, px, py, parent, builder) {
    const x = px + node.x;
    const y = py + node.y;
    const info = builder.nodes.get(node.id);
    const g = element('g', {class: info.kind}, parent);
    if (info.kind === 'start') {
      element('circle', {cx: x + 5, cy: y + 5, r: 5}, g);
      return;
    }
    if (info.kind === 'end') {
      element('circle', {cx: x + 7, cy: y + 7, r: 6.5, class: 'ring'}, g);
      element('circle', {cx: x + 7, cy: y + 7, r: 3.5}, g);
      element('title', {}, g).textContent = `the end of flow ${info.flow.id} of ${info.owner.name}`;
      return;
    }
    if (info.kind === 'region') {
      element('rect', {x, y, width: node.width, height: node.height, rx: 6}, g);
      const label = `flow ${info.flow.id}${info.flow.history ? ' · history' : ''}`;
      text(g, x + 8, y + 15, label, 'region-label');
    } else if (info.kind === 'state') {
      const s = info.state;
      element('rect', {x, y, width: node.width, height: node.height, rx: 8}, g);
      text(g, x + node.width / 2, y + node.height / 2 + 4.5, s.name, 'state-name');
      element('title', {}, g).textContent = describe(s);
      this.states.set(s.id, {state: s, group: g});
    } else {
      const s = info.state;
      element('rect', {x, y, width: node.width, height: node.height, rx: 12}, g);
      const name = text(g, x + 12, y + 19, s.name, 'super-name');
      const where = element('tspan', {class: 'super-location', dx: 8}, name);
      where.textContent = s.location;
      const fault = text(g, x + 12, y + 37, '', 'fault');
      const shown = document.createTextNode('');
      const full = element('title', {});
      fault.append(shown, full);
      element('title', {}, g).textContent = describe(s);
      this.states.set(s.id, {state: s, group: g});
      if (!this.tops.has(s.location)) {
        this.tops.set(s.location, s);
        this.faults.set(s.location, {group: g, shown, full, width: node.width - 24});
      }
    }
    for (const child of node.children || []) {
      this.drawNode(child, x, y, parent, builder);
    }
  }

  drawEdges(node, parent, builder, markerId) {
    for (const edge of node.edges || []) {
      const info = builder.nodes.get(edge.id);
      const g = element('g', {class: info ? 'transition' : 'start-edge'}, parent);
      for (const section of edge.sections || []) {
        const points = [section.startPoint, ...(section.bendPoints || []), section.endPoint];
        element('path', {d: pathOf(points, edge.sections.length === 1), 'marker-end': `url(#${markerId})`}, g);
      }
      for (const label of edge.labels || []) {
        text(g, label.x + 2, label.y + LABEL_HEIGHT - 3, label.text, 'transition-label');
      }
      if (info) {
        element('title', {}, g).textContent = `${transitionLabel(info.transition)} -> ${info.transition.next}`;
        this.edges.set(`${info.from}\n${info.transition.event}\n${info.transition.target}`, g);
      }
    }
    for (const child of node.children || []) {
      this.drawEdges(child, parent, builder, markerId);
    }
  }

  // The live parts of a structure: each flow's active member and each state's error.
  update(structure) {
    const visit = (state) => {
      const drawn = this.states.get(state.id);
      if (drawn) {
        drawn.state.error = state.error;
      }
      for (const flow of state.flows) {
        this.active.set(`${state.id}\n${flow.id}`, flow.active);
        flow.states.forEach(visit);
      }
    };
    visit(structure.top);
    this.light();
  }

  // A pushed FLOW_n value of a location: "STATE : description" or "STATE : error".
  flowValue(location, flowNumber, valueText) {
    const top = this.tops.get(location);
    const flow = top && top.flows.find((f) => f.id === flowNumber);
    if (!flow) {
      return;
    }
    const member = flow.states.find((s) => valueText === s.name || valueText.startsWith(`${s.name} : `));
    if (member) {
      this.active.set(`${top.id}\n${flowNumber}`, member.name);
      this.light();
    }
  }

  // A location's error (its FAULT value), shown in the box of the superstate it holds.
  fault(location, errorText) {
    const place = this.faults.get(location);
    if (!place) {
      return;
    }
    const room = Math.max(8, Math.floor(place.width / 6.5));
    place.shown.nodeValue = errorText.length > room ? `${errorText.slice(0, room - 1)}…` : errorText;
    place.full.textContent = errorText;
    place.group.classList.toggle('faulty', errorText !== '');
  }

  // Marks the arrow of a transition that just fired.
  fired(fromId, event, toId) {
    const g = this.edges.get(`${fromId}\n${event}\n${toId}`);
    if (g) {
      g.classList.remove('fired');
      // Restart the animation on a fresh layout pass.
      void g.getBoundingClientRect();
      g.classList.add('fired');
    }
  }

  light() {
    const lit = new Set();
    const visit = (state) => {
      lit.add(state.id);
      for (const flow of state.flows) {
        const name = this.active.get(`${state.id}\n${flow.id}`);
        const member = flow.states.find((s) => s.name === name);
        if (member) {
          visit(member);
        }
      }
    };
    const root = [...this.states.values()][0];
    if (root) {
      visit(root.state);
    }
    for (const [id, drawn] of this.states) {
      drawn.group.classList.toggle('lit', lit.has(id));
      drawn.group.classList.toggle('in-error', Boolean(drawn.state.error));
    }
  }

  // The names of the lit states (for the page's tests and its title).
  litNames() {
    return [...this.states.values()].filter((d) => d.group.classList.contains('lit')).map((d) => d.state.name);
  }
}

function pathOf(points, smooth) {
  if (!smooth || points.length < 4 || (points.length - 1) % 3 !== 0) {
    return `M${points.map((p) => `${p.x},${p.y}`).join(' L')}`;
  }
  // ELK's spline sections: start point, then control points and end points in threes.
  let d = `M${points[0].x},${points[0].y}`;
  for (let i = 1; i + 2 < points.length; i += 3) {
    d += ` C${points[i].x},${points[i].y} ${points[i + 1].x},${points[i + 1].y} ${points[i + 2].x},${points[i + 2].y}`;
  }
  return d;
}
