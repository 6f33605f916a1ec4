// The text of a value as the monitor pushes it ({"type":NAME,"value":FORM}, docs/network.md).

function textOf(form) {
  if (form !== null && typeof form === 'object' && 'base64' in form) {
    return `(not UTF-8: ${form.base64.length} base64 characters)`;
  }
  return String(form);
}

function ustrText(u) {
  return textOf(u.str);
}

export function valueText(type, value) {
  switch (type) {
    case 'NULL':
      return '';
    case 'STRING':
      return textOf(value);
    case 'IIII':
      return value.join(' ');
    case 'IFFF':
      return `${value.i1} ${value.f1} ${value.f2} ${value.f3}`;
    case 'USTR':
      return ustrText(value);
    case 'A_USTR':
      return value.map(ustrText).join(' | ');
    case 'A_FLOAT':
    case 'SPECTRUM':
      return `${value.length} values`;
    case 'A_TDS':
      return value.length ? `${value[value.length - 1].data}` : 'no records';
    default:
      return String(value);
  }
}

// The record of a FLOW_n or FAULT value: its first text record (i1, f1, f2, tm, str).
export function firstRecord(type, value) {
  if (type === 'A_USTR' && value.length > 0) {
    return value[0];
  }
  return type === 'USTR' ? value : null;
}

export function isPlotted(type) {
  return type === 'A_TDS' || type === 'A_FLOAT' || type === 'SPECTRUM';
}

// The points of a plotted value: [x, y] pairs, one per record in order (records of a history
// often share their second).
export function pointsOf(type, value) {
  const ys = type === 'A_TDS' ? value.map((r) => Number(r.data)) : value.map(Number);
  return ys.map((y, i) => [i, y]).filter((p) => Number.isFinite(p[1]));
}
