// Draws the charts of a pelk_perf_util plot page from DATA.
(function () {
  const D = DATA;
  const status = document.getElementById('status');
  const palette = ['#1f77b4', '#ff7f0e', '#2ca02c', '#d62728', '#9467bd', '#8c564b', '#e377c2', '#7f7f7f',
                   '#bcbd22', '#17becf'];
  const xTitle = D.x_is_time ? 'kernel time (s)' : 'report block';
  function base(yTitle, extra) {
    const o = {
      animation: false, responsive: true, maintainAspectRatio: false, parsing: false, normalized: true,
      interaction: {mode: 'nearest', axis: 'x', intersect: false},
      plugins: {legend: {position: 'right', labels: {boxWidth: 12}},
                decimation: {enabled: true, algorithm: 'min-max'}},
      scales: {x: {type: 'linear', title: {display: true, text: xTitle}, min: D.x_min, max: D.x_max},
               y: {beginAtZero: true, title: {display: true, text: yTitle}}},
      elements: {point: {radius: 0}, line: {borderWidth: 1.5}}
    };
    return Object.assign(o, extra || {});
  }
  function line(label, points, i, more) {
    return Object.assign({label: label, data: points, borderColor: palette[i % palette.length],
                          backgroundColor: palette[i % palette.length]}, more || {});
  }
  // A y range that the first block's figures do not squash: the first block
  // after loading counts each process's whole lifetime.  Its taller points are clipped.
  const firstX = D.first_x;
  function yMax(sets) {
    let m = 100;
    sets.forEach(s => s.data.forEach(p => { if (p.x !== firstX && p.y > m) m = p.y; }));
    return Math.ceil(m * 1.1 / 50) * 50;
  }
  const charts = [];
  function chart(id, cfg) { charts.push(new Chart(document.getElementById(id), cfg)); }

  // Per-CPU loads.
  const cpuSets = D.cpus.map(c => line('cpu' + c.cpu, c.points, c.cpu));
  chart('cpus', {type: 'line', data: {datasets: cpuSets}, options: base('% of one CPU')});

  // The split, stacked.
  const parts = ['user', 'system', 'iowait', 'irq', 'idle'];
  const splitSets = parts.map((p, i) => line(p, D.split[i], i, {fill: true, stack: 's'}));
  const so = base('% of CPU time');
  so.scales.y.stacked = true;
  so.scales.y.max = 100;
  chart('split', {type: 'line', data: {datasets: splitSets}, options: so});

  // The busiest processes: the names with the most usage over the whole log,
  // and the rest of the top ten summed.
  const procSets = D.processes.map((p, i) => line(p.name, p.points, i));
  if (D.other.length) procSets.push(line('other', D.other, 9, {borderDash: [4, 2]}));
  const po = base('% of one CPU');
  po.scales.y.max = yMax(procSets);
  chart('procs', {type: 'line', data: {datasets: procSets}, options: po});

  // system_server: its usage in the top ten and its busiest thread.
  const ssSets = [line('system_server (top ten)', D.system_server, 0),
                  line('busiest thread (tenths of a second)', D.top_thread, 1, {showLine: false, pointRadius: 3}),
                  line('uevent threshold 150', [{x: D.x_min, y: 150}, {x: D.x_max, y: 150}], 3,
                       {borderDash: [6, 4], borderWidth: 1}),
                  line('thread list threshold 100', [{x: D.x_min, y: 100}, {x: D.x_max, y: 100}], 7,
                       {borderDash: [2, 3], borderWidth: 1})];
  const sso = base('% of one CPU');
  sso.scales.y.max = yMax(ssSets.slice(0, 2));
  chart('ss', {type: 'line', data: {datasets: ssSets}, options: sso});

  // Events on one time line.
  const kinds = ['overload', 'loading', 'health', 'incomplete'];
  const evSets = kinds.map((k, i) => ({
    label: k, data: D.marks[k].map(e => ({x: e.x, y: i + 1, t: e.t})),
    backgroundColor: palette[[3, 1, 2, 7][i]], pointRadius: 5, pointStyle: ['triangle', 'rectRot', 'circle', 'crossRot'][i]
  }));
  const eo = base('');
  eo.scales.y = {min: 0, max: kinds.length + 1,
                 ticks: {stepSize: 1, autoSkip: false, callback: v => kinds[v - 1] || ''}};
  eo.plugins.tooltip = {callbacks: {label: c => c.raw.t}};
  eo.interaction = {mode: 'nearest', intersect: true};
  chart('events', {type: 'scatter', data: {datasets: evSets}, options: eo});

  const list = document.getElementById('eventlist');
  function row(cells) {
    const tr = document.createElement('tr');
    cells.forEach(v => {
      const td = document.createElement('td');
      td.textContent = v;
      tr.appendChild(td);
    });
    list.appendChild(tr);
  }
  D.events.forEach(e => row([String(e.x), e.kind, e.text]));
  if (D.events_total > D.events.length) row(['', '', (D.events_total - D.events.length) + ' more events not listed']);
  status.textContent = 'charts drawn: ' + charts.length;
})();
