// What the parts of the page share: the last answers of head office, and messages to the reader.

export const data = {
  status: null,    // GET /api/status: {stores, devices}
  reports: null,   // GET /api/reports for the chosen day: {business_day, reports, missing}
};

// Messages to the reader, as both pages give them.
export {say, unsay} from './dom.js';

// Redrawing a view every ten seconds with the same data would drop a reader's text selection
// and scroll position in wide tables for nothing: each view draws only when what it shows
// changed.
const drawn = new Map();
export function changed(view, ...inputs) {
  const key = JSON.stringify(inputs);
  if (drawn.get(view) === key) return false;
  drawn.set(view, key);
  return true;
}

export function forgetDrawn() {
  drawn.clear();
}

// Shops in a fixed order with a colour each, the same in the chart, its legend and the table
// however the shops in a period's sales come and go.
const PALETTE = ['#1f6feb', '#e8710a', '#1a7f37', '#b42318', '#8250df', '#0e8a8a', '#bf3989',
  '#7d5c00', '#57606a', '#4d9f0c'];

export function storeColour(index) {
  if (index < PALETTE.length) return PALETTE[index];
  // Past the palette, hues a golden angle apart stay apart from their neighbours.
  return `hsl(${Math.round((index * 137.508) % 360)} 60% 42%)`;
}
