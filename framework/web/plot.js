// A small line plot (a sparkline) of a history's records, drawn as SVG.
const SVG_NS = 'http://www.w3.org/2000/svg';
const WIDTH = 180;
const HEIGHT = 36;
const MARGIN = 3;

export function sparkline(points) {
  const svg = document.createElementNS(SVG_NS, 'svg');
  svg.setAttribute('class', 'sparkline');
  svg.setAttribute('width', WIDTH);
  svg.setAttribute('height', HEIGHT);
  svg.setAttribute('viewBox', `0 0 ${WIDTH} ${HEIGHT}`);
  if (points.length === 0) {
    return svg;
  }
  const xs = points.map((p) => p[0]);
  const ys = points.map((p) => p[1]);
  const x0 = Math.min(...xs);
  const x1 = Math.max(...xs);
  const y0 = Math.min(...ys);
  const y1 = Math.max(...ys);
  const sx = (x) => MARGIN + (x1 === x0 ? (WIDTH - 2 * MARGIN) / 2 : ((x - x0) / (x1 - x0)) * (WIDTH - 2 * MARGIN));
  const sy = (y) => HEIGHT - MARGIN - (y1 === y0 ? (HEIGHT - 2 * MARGIN) / 2 : ((y - y0) / (y1 - y0)) * (HEIGHT - 2 * MARGIN));
  const line = document.createElementNS(SVG_NS, 'polyline');
  line.setAttribute('points', points.map((p) => `${sx(p[0]).toFixed(1)},${sy(p[1]).toFixed(1)}`).join(' '));
  svg.appendChild(line);
  const last = points[points.length - 1];
  const dot = document.createElementNS(SVG_NS, 'circle');
  dot.setAttribute('cx', sx(last[0]).toFixed(1));
  dot.setAttribute('cy', sy(last[1]).toFixed(1));
  dot.setAttribute('r', 2.5);
  svg.appendChild(dot);
  const title = document.createElementNS(SVG_NS, 'title');
  title.textContent = `${points.length} records, from ${y0} to ${y1}, last ${last[1]}`;
  svg.appendChild(title);
  return svg;
}
