'use strict';
// The summary tables: the text report's figures under its own labels and in its order, then
// the errors by kind, the status codes and, in rate mode, the service time and the rate.

const BYTES_PER_MEGABYTE = 1048576;
const ERROR_KINDS = [
  ['refused', 'refused'],
  ['noAddress', 'no address'],
  ['connect', 'connect'],
  ['timeout', 'timeout'],
  ['reset', 'reset'],
  ['closedEarly', 'closed early'],
  ['read', 'read'],
  ['write', 'write'],
  ['tls', 'tls'],
  ['parse', 'parse'],
];

const millis = v => `${formatFixed(v, 3)} milliseconds`;
const percent = v => `${formatFixed(v, 0)}%`;
const megabytes = bytes => `${formatFixed((bytes || 0) / BYTES_PER_MEGABYTE, 2)} megabytes`;
const onOff = v => (v ? 'on' : 'off');

function settingsRows(result) {
  const s = result.settings || {};
  const rows = [];
  if (s.name) rows.push(['Name', s.name]);
  if (s.url) rows.push(['URL', s.url]);
  if (s.urlFile) rows.push(['URL file', s.urlFile]);
  rows.push(
      ['Method', s.method], ['Connections', s.connections], ['Threads', s.threads],
      ['Duration', `${s.durationSeconds} seconds`], ['Warm-up', `${s.warmupSeconds || 0} seconds`],
      ['Keep-alive', onOff(s.keepAlive)]);
  if (s.thinkTimeMillis) rows.push(['Think time', `${s.thinkTimeMillis} milliseconds`]);
  if (s.timeoutSeconds != null) rows.push(['Timeout', `${s.timeoutSeconds} seconds`]);
  if (s.rate != null) rows.push(['Rate', `${s.rate} requests/second`]);
  if (s.oneRequest) rows.push(['One request per connection', 'on']);
  return rows.filter(r => r[1] !== undefined);
}

function runRows(result) {
  const m = result.measured || {};
  const rows = [['Measured from', m.start || 'none'], ['Measured until', m.end || 'none']];
  if (result.interrupted) rows.push(['Stopped early by', result.interrupted]);
  const revision = (result.revision || '').slice(0, 12) || 'unknown revision';
  rows.push(['kelv', `${result.kelvVersion || ''} (${revision})`]);
  return rows;
}

function mergedRows(result) {
  const describe = m => {
    const measured = m.measured || {};
    return `${m.file || ''}: ${measured.start || ''}, ${formatFixed(measured.seconds, 3)} seconds`;
  };
  return (result.merged || []).map((m, i) => [runLabel(result, i), describe(m)]);
}

function countRows(result) {
  const c = result.counts || {};
  return [
    ['Duration', `${formatFixed((result.measured || {}).seconds, 3)} seconds`],
    ['Attempted requests', c.attempted],
    ['Successful requests', c.successful],
    ['Non-200 results', c.non2xx],
    ['Connections opened', c.connectionsOpened],
    ['Socket errors', c.socketErrors],
  ];
}

function latencyRows(result) {
  const l = result.latency || {};
  const p = l.percentiles || {};
  return [
    ['Throughput', `${formatFixed(result.throughput, 3)} requests/second`],
    ['Average latency', millis(l.average)],
    ['Minimum latency', millis(l.minimum)],
    ['Maximum latency', millis(l.maximum)],
    ['Latency std. dev', millis(l.stdDev)],
    ['50% latency', millis(p['50'])],
    ['90% latency', millis(p['90'])],
    ['98% latency', millis(p['98'])],
    ['99% latency', millis(p['99'])],
  ];
}

function monitorRows(monitor, index) {
  const prefix = index === 0 ? 'Remote' : `Remote ${index + 1}`;
  const rows = [[`${prefix} monitor`, monitor.address]];
  if (monitor.cpu) {
    rows.push(
        [`${prefix} CPU average`, percent(monitor.cpu.average)],
        [`${prefix} CPU max`, percent(monitor.cpu.max)],
        [`${prefix} memory usage`, percent(monitor.memory)]);
  }
  if (monitor.hostCpu) {
    rows.push(
        [`${prefix} host CPU average`, percent(monitor.hostCpu.average)],
        [`${prefix} host CPU max`, percent(monitor.hostCpu.max)],
        [`${prefix} busiest CPU max`, percent(monitor.hostCpu.busiestMax)]);
  }
  const process = monitor.process;
  if (process) {
    rows.push(
        [`${prefix} process`, process.name],
        [`${prefix} process CPU average`, percent((process.cpu || {}).average)],
        [`${prefix} process CPU max`, percent((process.cpu || {}).max)],
        [`${prefix} process memory`, `${formatFixed(process.memoryMiB, 2)} MiB`]);
  }
  return rows;
}

function hostRows(result) {
  const host = result.host || {};
  const rows = [];
  if (host.clientCpu) {
    rows.push(
        ['Client CPU average', percent(host.clientCpu.average)],
        ['Client CPU max', percent(host.clientCpu.max)]);
  }
  rows.push(['Client memory usage', percent(host.clientMemory)]);
  (host.monitors || []).forEach((m, i) => rows.push(...monitorRows(m, i)));
  return rows;
}

function byteRows(result) {
  const c = result.counts || {};
  const b = result.bandwidth || {};
  return [
    ['Total bytes sent', megabytes(c.bytesSent)],
    ['Total bytes received', megabytes(c.bytesReceived)],
    ['Send bandwidth', `${formatFixed(b.sendMegabitsPerSecond, 2)} megabits / second`],
    ['Receive bandwidth', `${formatFixed(b.receiveMegabitsPerSecond, 2)} megabits / second`],
  ];
}

function errorRows(result) {
  const errors = result.errors || {};
  return ERROR_KINDS.filter(([key]) => errors[key] > 0).map(([key, label]) => [label, errors[key]]);
}

function statusRows(result) {
  return Object.entries(result.statusCodes || {})
      .sort((a, b) => Number(a[0]) - Number(b[0]))
      .map(([code, count]) => [code, count]);
}

function serviceTimeRows(result) {
  const t = result.serviceTime;
  if (!t) return [];
  const p = t.percentiles || {};
  return [
    ['Average', millis(t.average)],
    ['50%', millis(p['50'])],
    ['90%', millis(p['90'])],
    ['99%', millis(p['99'])],
    ['Maximum', millis(t.maximum)],
  ];
}

function rateRows(result) {
  const r = result.rate;
  if (!r) return [];
  return [
    ['Target rate', `${formatFixed(r.target, 3)} requests/second`],
    ['Achieved rate', `${formatFixed(r.achieved, 3)} requests/second`],
    ['Late sends', `${r.lateSends} (largest lag ${millis(r.maxLagMillis)})`],
    ['Unsent at end', r.unsentAtEnd],
  ];
}

function summaryTable(parent, id, title, rows) {
  if (rows.length === 0) return;
  const table = htmlElement(parent, 'table', 'figures');
  table.id = `summary-${id}`;
  htmlElement(table, 'caption', '', title);
  for (const [label, value] of rows) {
    const row = htmlElement(table, 'tr');
    htmlElement(row, 'th', '', label);
    htmlElement(row, 'td', '', value === undefined || value === null ? 'none' : String(value));
  }
}

function drawSummary(parent, result) {
  const section = htmlElement(parent, 'section', 'summary');
  section.id = 'summary';
  htmlElement(section, 'h2', '', 'Summary');
  const grid = htmlElement(section, 'div', 'tables');
  const rate = result.rate ? ' (corrected, from the due time)' : '';
  summaryTable(grid, 'settings', 'Settings', settingsRows(result));
  summaryTable(grid, 'run', 'Run', runRows(result));
  summaryTable(grid, 'merged', 'Merged runs', mergedRows(result));
  summaryTable(grid, 'requests', 'Requests', countRows(result));
  summaryTable(grid, 'latency', `Throughput and latency${rate}`, latencyRows(result));
  summaryTable(
      grid, 'service-time', 'Service time (from the actual send)', serviceTimeRows(result));
  summaryTable(grid, 'rate', 'Rate', rateRows(result));
  summaryTable(grid, 'errors', 'Errors', errorRows(result));
  summaryTable(grid, 'status-codes', 'Status codes', statusRows(result));
  summaryTable(grid, 'host', 'CPU and memory', hostRows(result));
  summaryTable(grid, 'bytes', 'Bytes', byteRows(result));
}
