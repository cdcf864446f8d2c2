'use strict';
// Reads the result embedded in the page and draws it: notices, the summary, and the charts of
// throughput, latency, the latency spectrum and CPU use. A merged result gets one series per
// run (its timeline entries carry "run") and, for throughput, their sum.

const FORMAT = 'kelv-result';
const FORMAT_MAJOR = 1;
const COLORS =
    ['#1f5fa8', '#c7361b', '#2e8540', '#b8860b', '#7b3fa0', '#0f8a8a', '#a0405a', '#555555'];
const STATISTICS = [
  {key: 'latency50', name: '50 %', color: COLORS[0], dash: ''},
  {key: 'latency90', name: '90 %', color: COLORS[2], dash: '7 3'},
  {key: 'latency99', name: '99 %', color: COLORS[3], dash: '2 3'},
  {key: 'latencyMax', name: 'maximum', color: COLORS[1], dash: '9 3 2 3'},
];
const SERVICE_STATISTICS = [
  {key: 'serviceTime50', name: 'service time 50 %', color: COLORS[5], dash: '4 4'},
  {key: 'serviceTime99', name: 'service time 99 %', color: COLORS[4], dash: '1 3'},
];
const CPU_KINDS = [
  {key: 'clientCpu', name: 'client CPU', color: COLORS[0], dash: ''},
  {key: 'remoteCpu', name: 'remote CPU (kelvmon)', color: COLORS[4], dash: '7 3'},
  {key: 'remoteHostCpu', name: 'remote host CPU', color: COLORS[2], dash: '2 3'},
  {key: 'remoteProcessCpu', name: 'remote process CPU', color: COLORS[3], dash: '9 3 2 3'},
];
const SPECTRUM_PERCENTS = [50, 90, 99, 99.9, 99.99, 99.999, 99.9999];

function runLabel(result, index) {
  const m = (result.merged || [])[index] || {};
  const name = (m.settings || {}).name || (m.file || '').split('/').pop();
  return name ? `run ${index + 1} (${name})` : `run ${index + 1}`;
}

// The runs to draw, each with its timeline entries in time order and the time it began.
function runsOf(result) {
  const timeline = [...(result.timeline || [])].sort((a, b) => a.seconds - b.seconds);
  const merged = result.merged || [];
  if (merged.length === 0 || !timeline.some(e => e.run !== undefined)) {
    return [{label: '', color: null, start: 0, entries: timeline}];
  }
  const begins = merged.map(
      m => Date.parse((m.measured || {}).start) - 1000 * ((m.settings || {}).warmupSeconds || 0));
  const earliest = Math.min(...begins);
  const runAt = (m, i) => {
    const start = Number.isFinite(earliest) ? (begins[i] - earliest) / 1000 : 0;
    const entries = timeline.filter(e => e.run === i);
    return {label: runLabel(result, i), color: COLORS[i % COLORS.length], start, entries};
  };
  return merged.map(runAt);
}

function pointsOf(entries, key) {
  return entries.map(e => [e.seconds, e[key] === undefined ? null : e[key]]);
}

// The value of the run's interval that holds x (an entry covers the time since the previous
// one); 0 where the run did not run.
function valueCovering(run, key, x) {
  let previous = run.start;
  for (const e of run.entries) {
    if (x > previous && x <= e.seconds) return e[key] || 0;
    previous = e.seconds;
  }
  return 0;
}

function sumOfRuns(runs, key) {
  const xs = [...new Set(runs.flatMap(r => r.entries.map(e => e.seconds)))].sort((a, b) => a - b);
  return xs.map(x => [x, runs.reduce((total, r) => total + valueCovering(r, key, x), 0)]);
}

// One series per kind for a single run; per run and kind (the run's colour, the kind's dash)
// for a merged result.
function seriesOf(runs, kinds) {
  const line = (name, color, dash, points) => {
    return {name, color, dash, points};
  };
  if (runs.length === 1 && !runs[0].color) {
    return kinds.map(k => line(k.name, k.color, k.dash, pointsOf(runs[0].entries, k.key)));
  }
  return runs.flatMap(
      r => kinds.map(
          k => line(`${r.label} ${k.name}`, r.color, k.dash, pointsOf(r.entries, k.key))));
}

// The warm-up of every run, overlapping stretches joined.
function warmupBands(runs) {
  const warmupOf = r => {
    const warm = r.entries.filter(e => e.phase === 'warmup');
    return warm.length > 0 ? [r.start, warm[warm.length - 1].seconds] : null;
  };
  const bands = runs.map(warmupOf).filter(b => b).sort((a, b) => a[0] - b[0]);
  const joined = [];
  for (const b of bands) {
    const last = joined[joined.length - 1];
    if (last && b[0] <= last[1]) {
      last[1] = Math.max(last[1], b[1]);
    } else {
      joined.push([...b]);
    }
  }
  return joined;
}

const TIME_CHART = {
  xAxis: 'time',
  xTitle: 'time since the start (seconds)',
  xName: 'time',
  xFormat: v => `${v.toFixed(1)} s`,
  bandName: 'warm-up (not counted)',
  empty: 'No progress tick was recorded: the run was too short to draw over time.',
};

function throughputChart(parent, runs) {
  const kinds = [
    {key: 'successfulPerSecond', name: 'successful', color: COLORS[0], dash: ''},
    {key: 'errorsPerSecond', name: 'errors', color: COLORS[1], dash: '7 3'},
  ];
  const series = seriesOf(runs, kinds);
  if (runs.length > 1) {
    for (const k of kinds) {
      const name = `all runs ${k.name}`;
      series.push({name, color: '#000000', dash: k.dash, points: sumOfRuns(runs, k.key)});
    }
  }
  drawChart(parent, {
    ...TIME_CHART,
    id: 'throughput',
    title: 'Throughput over time',
    series,
    yTitle: 'requests per second',
    yUnit: 'requests/s',
    yFormat: v => v.toFixed(1),
    bands: warmupBands(runs),
  });
}

function latencyChart(parent, runs, rateMode) {
  const kinds = rateMode ? [...STATISTICS, ...SERVICE_STATISTICS] : STATISTICS;
  drawChart(parent, {
    ...TIME_CHART,
    id: 'latency',
    title: rateMode ? 'Latency over time (corrected, from the due time; and service time)' :
                      'Latency over time (per interval)',
    series: seriesOf(runs, kinds),
    yLog: true,
    yTitle: 'latency (milliseconds)',
    yUnit: 'ms',
    yFormat: v => v.toFixed(3),
    bands: warmupBands(runs),
  });
}

function cpuChart(parent, runs) {
  drawChart(parent, {
    ...TIME_CHART,
    id: 'cpu',
    title: 'CPU use over time',
    series: seriesOf(runs, CPU_KINDS),
    yAtLeast: 100,
    yTitle: 'CPU busy (percent)',
    yUnit: '%',
    yFormat: v => v.toFixed(0),
    bands: warmupBands(runs),
  });
}

function spectrumTable(parent, histograms, nines) {
  const percents = SPECTRUM_PERCENTS.filter(p => p <= 100 - 100 * 10 ** -nines).concat([100]);
  const table = htmlElement(parent, 'table', 'figures spectrum-values');
  table.id = 'spectrum-values';
  htmlElement(table, 'caption', '', 'Latency at each percentile (milliseconds)');
  const head = htmlElement(table, 'tr', 'head');
  htmlElement(head, 'th', '', 'percentile');
  for (const h of histograms) htmlElement(head, 'th', '', h.name);
  const columns = histograms.map(h => valuesAtPercents(h.histogram, percents));
  percents.forEach((p, row) => {
    const tr = htmlElement(table, 'tr');
    htmlElement(tr, 'th', '', p === 100 ? '100 % (maximum)' : `${p} %`);
    for (const values of columns) htmlElement(tr, 'td', '', formatFixed(values[row], 3));
  });
}

function spectrumChart(parent, result) {
  const histograms = [{
    name: result.serviceTime ? 'corrected latency (from the due time)' : 'latency',
    color: COLORS[0],
    histogram: (result.latency || {}).histogram
  }];
  if (result.serviceTime) {
    histograms.push({
      name: 'service time (from the actual send)',
      color: COLORS[1],
      dash: '7 3',
      histogram: result.serviceTime.histogram
    });
  }
  const present = histograms.filter(h => h.histogram && h.histogram.count > 0);
  const nines = Math.max(1, ...present.map(h => spectrumNines(h.histogram)));
  const figure = drawChart(parent, {
    id: 'spectrum',
    title: 'Latency distribution by percentile',
    xAxis: percentileAxis(nines),
    xTitle: 'percentile (each step one more nine)',
    xName: 'percentile',
    yLog: true,
    yTitle: 'latency (milliseconds)',
    yUnit: 'ms',
    yFormat: v => v.toFixed(3),
    empty: 'No latency was recorded.',
    series: histograms.map(h => ({...h, points: spectrumPoints(h.histogram, nines)})),
  });
  if (present.length > 0) spectrumTable(figure, present, nines);
}

function drawCharts(parent, result) {
  const section = htmlElement(parent, 'section', 'charts');
  section.id = 'charts';
  htmlElement(section, 'h2', '', 'Over time and by percentile');
  const runs = runsOf(result);
  throughputChart(section, runs);
  latencyChart(section, runs, Boolean(result.serviceTime));
  spectrumChart(section, result);
  cpuChart(section, runs);
}

function notices(result) {
  const found = [];
  const c = result.counts || {};
  const seconds = (result.measured || {}).seconds || 0;
  if (seconds <= 0) {
    found.push(['empty', 'The measured period lasted no time: this run measured nothing.']);
  } else if (!c.attempted) {
    found.push(['empty', 'No request completed in the measured period: no latency to show.']);
  }
  const stop = result.interrupted;
  if (stop) {
    found.push(['interrupted', `Stopped early by ${stop}: the figures cover the time until then.`]);
  }
  if (c.socketErrors > 0 || c.non2xx > 0) {
    const counts = `${c.socketErrors || 0} socket errors, ${c.non2xx || 0} responses outside 2xx`;
    found.push(['errors', `${counts}: see Errors and Status codes below.`]);
  }
  return found;
}

function drawHeader(result) {
  const s = result.settings || {};
  const target = s.url || (s.urlFile ? `URLs of ${s.urlFile}` : '');
  const merged = (result.merged || []).length;
  const what = merged > 0 ? `${merged} runs merged` : target;
  const title = ['kelv report', s.name, what].filter(t => t).join(': ');
  document.title = title;
  document.getElementById('title').textContent = title;
  document.getElementById('subtitle').textContent =
      `measured from ${(result.measured || {}).start || 'none'} for ` +
      `${formatFixed((result.measured || {}).seconds, 3)} seconds`;
}

function readResult() {
  const text = document.getElementById('kelv-result').textContent;
  const result = JSON.parse(text);
  if (!result || result.format !== FORMAT) throw new Error('this page holds no kelv result');
  if (Math.trunc(result.formatVersion) !== FORMAT_MAJOR) {
    throw new Error(`format version ${result.formatVersion} is not one this page can read`);
  }
  return result;
}

function showProblem(message) {
  const problem = document.getElementById('problem');
  problem.textContent = `This report cannot be shown: ${message}.`;
  problem.hidden = false;
}

function main() {
  const report = document.getElementById('report');
  try {
    const result = readResult();
    drawHeader(result);
    for (const [id, text] of notices(result)) {
      htmlElement(report, 'p', 'notice', text).id = `notice-${id}`;
    }
    drawSummary(report, result);
    drawCharts(report, result);
    document.body.dataset.state = 'drawn';
  } catch (error) {
    showProblem(error.message);
    document.body.dataset.state = 'failed';
    console.error(error);
  }
}

main();
