'use strict';
// Line charts in plain SVG: axes with ticks and units, one path per series, shaded bands, a
// legend, and the values nearest the pointer. Nothing here knows about load tests.

const SVG_NS = 'http://www.w3.org/2000/svg';
const WIDTH = 900;
const HEIGHT = 300;
const MARGIN = {
  left: 72,
  right: 34,
  top: 14,
  bottom: 46
};
const MARKED_POINTS = 60;  // series with at most this many points get a marker per point

function htmlElement(parent, tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  parent.appendChild(e);
  return e;
}

function svgElement(parent, tag, attributes) {
  const e = document.createElementNS(SVG_NS, tag);
  for (const [name, value] of Object.entries(attributes || {})) e.setAttribute(name, value);
  parent.appendChild(e);
  return e;
}

function formatFixed(value, decimals) {
  return value === null || value === undefined ? 'none' : Number(value).toFixed(decimals);
}

// Ticks at 1, 2 or 5 times a power of ten, about `wanted` of them over [lo, hi].
function niceTicks(lo, hi, wanted) {
  const span = hi - lo || Math.abs(hi) || 1;
  const rough = span / wanted;
  const power = 10 ** Math.floor(Math.log10(rough));
  const step = [1, 2, 5, 10].map(m => m * power).find(s => s >= rough);
  const first = Math.floor(lo / step) * step;
  const ticks = [];
  for (let v = first; v < hi + step * 0.999; v += step) ticks.push(Number(v.toPrecision(12)));
  if (ticks.length < 2) ticks.push(ticks[0] + step);
  return {ticks, decimals: Math.max(0, -Math.floor(Math.log10(step)))};
}

// An axis maps a data value to a fraction of its length (0 at the origin, 1 at the far end)
// and back. A linear axis ends at a tick unless it is to end exactly at hi.
function linearAxis(lo, hi, format, exact) {
  const {ticks, decimals} = niceTicks(lo, hi, 6);
  const min = exact ? lo : ticks[0];
  const max = exact ? hi : ticks[ticks.length - 1];
  return {
    at: v => (v - min) / (max - min),
    value: f => min + f * (max - min),
    ticks:
        ticks.filter(v => v >= min && v <= max).map(v => ({value: v, label: v.toFixed(decimals)})),
    format: format || (v => v.toFixed(decimals)),
    accepts: v => Number.isFinite(v),
  };
}

// Decades; only positive values can be drawn.
function logAxis(lo, hi, format) {
  const min = Math.floor(Math.log10(lo));
  const max = Math.max(min + 1, Math.ceil(Math.log10(hi)));
  const ticks = [];
  for (let d = min; d <= max; ++d) {
    const v = 10 ** d;
    ticks.push({value: v, label: d < 0 ? v.toFixed(-d) : String(v)});
  }
  return {
    at: v => (Math.log10(v) - min) / (max - min),
    value: f => 10 ** (min + f * (max - min)),
    ticks,
    format: format || (v => v.toPrecision(4)),
    accepts: v => Number.isFinite(v) && v > 0,
  };
}

// The x of a percentile p is log10(1 / (1 - p)): each further nine gets the same width.
function percentileAxis(maxNines) {
  const ticks = [{value: 0, label: '0 %'}, {value: Math.log10(2), label: '50 %'}];
  for (let n = 1; n <= maxNines; ++n) ticks.push({value: n, label: formatPercentile(n) + ' %'});
  return {
    at: v => v / maxNines,
    value: f => f * maxNines,
    ticks,
    format: v => formatPercentile(v) + ' %',
    accepts: v => Number.isFinite(v),
  };
}

// The percentile of a number of nines, with as many decimals as it needs.
function formatPercentile(nines) {
  const percent = 100 - 100 * 10 ** -nines;
  return percent.toFixed(Math.max(0, Math.min(6, Math.ceil(nines) - 2)));
}

function finitePoints(series) {
  return series.points.filter(p => p[1] !== null && Number.isFinite(p[1]));
}

// A y axis for the values: logarithmic when they span more than two decades.
function valueAxis(series, spec) {
  const values = series.flatMap(s => finitePoints(s).map(p => p[1]));
  const positive = values.filter(v => v > 0);
  const hi = Math.max(...values, spec.yAtLeast || 0);
  if (spec.yLog && positive.length > 0 && hi / Math.min(...positive) > 100) {
    return logAxis(Math.min(...positive), hi, spec.yFormat);
  }
  return linearAxis(Math.min(0, ...values), hi, spec.yFormat);
}

function timeAxis(series, spec) {
  const xs = series.flatMap(s => s.points.map(p => p[0]));
  const bandEnds = (spec.bands || []).map(b => b[1]);
  return linearAxis(0, Math.max(...xs, ...bandEnds, 1), spec.xFormat, true);
}

// The plot area's pixels for axis fractions.
const plot = {
  x: f => MARGIN.left + f * (WIDTH - MARGIN.left - MARGIN.right),
  y: f => HEIGHT - MARGIN.bottom - f * (HEIGHT - MARGIN.top - MARGIN.bottom),
};

function drawAxes(svg, xAxis, yAxis, spec) {
  const grid = svgElement(svg, 'g', {class: 'grid'});
  for (const t of yAxis.ticks) {
    const y = plot.y(yAxis.at(t.value));
    svgElement(grid, 'line', {x1: plot.x(0), x2: plot.x(1), y1: y, y2: y});
    svgElement(grid, 'text', {x: plot.x(0) - 6, y: y + 4, 'text-anchor': 'end'}).textContent =
        t.label;
  }
  for (const t of xAxis.ticks) {
    const x = plot.x(xAxis.at(t.value));
    svgElement(grid, 'line', {x1: x, x2: x, y1: plot.y(0), y2: plot.y(1)});
    svgElement(grid, 'text', {x, y: plot.y(0) + 16, 'text-anchor': 'middle'}).textContent = t.label;
  }
  const titles = svgElement(svg, 'g', {class: 'axis-title'});
  svgElement(titles, 'text', {x: plot.x(0.5), y: HEIGHT - 6, 'text-anchor': 'middle'}).textContent =
      spec.xTitle;
  const yMid = plot.y(0.5);
  svgElement(titles, 'text', {
    x: 14,
    y: yMid,
    'text-anchor': 'middle',
    transform: `rotate(-90 14 ${yMid})`,
  }).textContent = spec.yTitle;
}

function drawBands(svg, xAxis, bands) {
  for (const [from, to] of bands || []) {
    const x0 = plot.x(xAxis.at(from));
    const x1 = plot.x(xAxis.at(to));
    svgElement(svg, 'rect', {
      class: 'band',
      x: x0,
      y: plot.y(1),
      width: Math.max(0, x1 - x0),
      height: plot.y(0) - plot.y(1),
    });
  }
}

// One path per series; a value the axis cannot show (none, or not positive on a log axis)
// leaves a gap.
function drawSeries(svg, xAxis, yAxis, s) {
  let d = '';
  let pen = 'M';
  const marks = [];
  for (const [x, y] of s.points) {
    if (y === null || !yAxis.accepts(y)) {
      pen = 'M';
      continue;
    }
    const px = plot.x(xAxis.at(x)).toFixed(1);
    const py = plot.y(yAxis.at(y)).toFixed(1);
    d += `${pen}${px} ${py}`;
    pen = 'L';
    marks.push([px, py]);
  }
  const group = svgElement(svg, 'g', {class: 'series', stroke: s.color, fill: s.color});
  svgElement(group, 'title').textContent = s.name;
  svgElement(group, 'path', {d, fill: 'none', 'stroke-dasharray': s.dash || 'none'});
  if (marks.length <= MARKED_POINTS) {
    for (const [cx, cy] of marks) svgElement(group, 'circle', {cx, cy, r: 2.5});
  }
  return marks.length;
}

function drawLegend(figure, series, spec) {
  const legend = htmlElement(figure, 'ul', 'legend');
  for (const s of series) {
    const item = htmlElement(legend, 'li');
    const swatch = svgElement(item, 'svg', {width: 30, height: 10, 'aria-hidden': 'true'});
    svgElement(swatch, 'line', {
      x1: 1,
      x2: 29,
      y1: 5,
      y2: 5,
      stroke: s.color,
      'stroke-width': 2.5,
      'stroke-dasharray': s.dash || 'none',
    });
    htmlElement(item, 'span', '', s.name);
  }
  if ((spec.bands || []).length > 0) {
    const item = htmlElement(legend, 'li');
    const swatch = svgElement(item, 'svg', {width: 30, height: 10, 'aria-hidden': 'true'});
    svgElement(swatch, 'rect', {class: 'band', x: 1, y: 0, width: 28, height: 10});
    htmlElement(item, 'span', '', spec.bandName);
  }
}

// The point of a series (sorted by x) nearest to x.
function nearestPoint(points, x) {
  let lo = 0;
  let hi = points.length - 1;
  while (lo < hi) {
    const mid = (lo + hi) >> 1;
    if (points[mid][0] < x) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo > 0 && x - points[lo - 1][0] < points[lo][0] - x) --lo;
  return points[lo];
}

// The x of the point nearest the pointer among all series.
function nearestX(xAxis, series, fraction) {
  const candidates = series.map(s => nearestPoint(s.points, xAxis.value(fraction)));
  const distance = p => Math.abs(xAxis.at(p[0]) - fraction);
  return candidates.reduce((best, p) => (distance(p) < distance(best) ? p : best))[0];
}

function fillTooltip(box, xAxis, series, spec, x) {
  box.replaceChildren();
  htmlElement(box, 'div', 'tooltip-x', `${spec.xName}: ${xAxis.format(x)}`);
  for (const s of series) {
    const p = nearestPoint(s.points, x);
    if (p[0] !== x || p[1] === null) continue;
    htmlElement(box, 'div', '', `${s.name}: ${spec.yFormat(p[1])} ${spec.yUnit}`).style.color =
        s.color;
  }
}

// A crosshair and a box with every series' value at the x nearest the pointer.
function addHover(figure, svg, xAxis, series, spec) {
  const line = svgElement(svg, 'line', {class: 'crosshair', y1: plot.y(0), y2: plot.y(1)});
  const box = htmlElement(figure, 'div', 'tooltip');
  const area = svgElement(svg, 'rect', {
    class: 'hover-area',
    x: plot.x(0),
    y: plot.y(1),
    width: plot.x(1) - plot.x(0),
    height: plot.y(0) - plot.y(1),
  });
  area.addEventListener('pointerleave', () => figure.classList.remove('hovering'));
  area.addEventListener('pointermove', event => {
    const bounds = svg.getBoundingClientRect();
    const offset = event.clientX - bounds.left;
    const fraction = (offset / bounds.width * WIDTH - plot.x(0)) / (plot.x(1) - plot.x(0));
    const x = nearestX(xAxis, series, fraction);
    line.setAttribute('x1', plot.x(xAxis.at(x)));
    line.setAttribute('x2', plot.x(xAxis.at(x)));
    fillTooltip(box, xAxis, series, spec, x);
    // The box sits beside the pointer, on the side with more room.
    const onRight = offset / bounds.width < 0.6;
    box.style.left = onRight ? `${offset + 16}px` : 'auto';
    box.style.right = onRight ? 'auto' : `${bounds.width - offset + 16}px`;
    figure.classList.add('hovering');
  });
}

// Draws a chart into parent. spec: {id, title, xTitle, yTitle, xName, yUnit, yFormat,
// xAxis ('time' or a ready axis), yLog, yAtLeast, series: [{name, color, dash, points:
// [[x, y or null], ...] sorted by x}], bands: [[from, to]], bandName, empty}. The figure's
// data-points attribute counts the points drawn.
function drawChart(parent, spec) {
  const figure = htmlElement(parent, 'figure', 'chart');
  figure.id = `chart-${spec.id}`;
  htmlElement(figure, 'figcaption', '', spec.title);
  const series = spec.series.filter(s => finitePoints(s).length > 0);
  if (series.length === 0) {
    figure.dataset.points = 0;
    htmlElement(figure, 'p', 'no-data', spec.empty);
    return figure;
  }
  const xAxis = spec.xAxis === 'time' ? timeAxis(series, spec) : spec.xAxis;
  const yAxis = valueAxis(series, spec);
  const svg = svgElement(figure, 'svg', {
    viewBox: `0 0 ${WIDTH} ${HEIGHT}`,
    role: 'img',
    'aria-label': spec.title,
  });
  drawBands(svg, xAxis, spec.bands);
  drawAxes(svg, xAxis, yAxis, spec);
  let drawn = 0;
  for (const s of series) drawn += drawSeries(svg, xAxis, yAxis, s);
  figure.dataset.points = drawn;
  drawLegend(figure, series, spec);
  addHover(figure, svg, xAxis, series, spec);
  return figure;
}
