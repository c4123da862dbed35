// Draws the charts of a pelk_perf_util fleet page from DATA.
(function () {
  const D = DATA;
  const palette = ['#1f77b4', '#ff7f0e', '#2ca02c', '#d62728', '#9467bd', '#8c564b', '#e377c2', '#7f7f7f',
                   '#bcbd22', '#17becf'];
  const pct = (n, d) => d > 0 ? Math.round(1000 * n / d) / 10 : null;
  const hours = ms => Math.round(ms / 36000) / 100;
  // A device as named on the page; null stands for the devices not named.
  function who(device, devices, what) {
    if (device === null) return devices + ' other ' + (what || 'devices');
    return device === '' ? '(no serial)' : device;
  }
  const charts = [];
  function chart(id, cfg) {
    cfg.options = Object.assign({animation: false, responsive: true, maintainAspectRatio: false,
                                 plugins: {legend: {position: 'right', labels: {boxWidth: 12}}}}, cfg.options || {});
    charts.push(new Chart(document.getElementById(id), cfg));
  }
  // Horizontal bars, one per device (or application), highest first.
  function bars(id, labels, sets, xTitle) {
    const shown = sets.filter(s => !s.hidden).length;
    document.getElementById(id).parentNode.style.height = Math.max(120, 60 + 16 * labels.length * shown) + 'px';
    chart(id, {type: 'bar', data: {labels: labels, datasets: sets.map((s, i) => Object.assign(
      {backgroundColor: palette[i % palette.length]}, s))},
      options: {indexAxis: 'y', scales: {x: {beginAtZero: true, title: {display: true, text: xTitle}},
                                         y: {ticks: {autoSkip: false}}}}});
  }

  document.getElementById('summary').textContent =
    D.devices + ' devices, ' + D.files + ' logs with report blocks' +
    (D.damaged ? ', ' + D.damaged + ' logs damaged or not read' : '') + ', ' + D.blocks + ' report blocks.';

  // The worst devices, each with a link to its own page.
  const table = document.getElementById('worst');
  const head = ['device', 'logs', 'blocks', 'hours logged', 'hours overloaded', 'overloaded %',
                'system_server >= 100 %', 'system_server >= 150 %', 'health lines', 'modem asleep %'];
  function tr(cells, tag) {
    const row = document.createElement('tr');
    cells.forEach(v => {
      const td = document.createElement(tag);
      if (v instanceof Node) td.appendChild(v);
      else td.textContent = v === null ? '' : String(v);
      row.appendChild(td);
    });
    table.appendChild(row);
  }
  tr(head, 'th');
  D.worst.forEach(w => {
    let name = document.createTextNode(who(w.device));
    if (w.page) {
      const a = document.createElement('a');
      a.href = w.page;
      a.textContent = w.device;
      name = a;
    }
    tr([name, w.files, w.blocks, hours(w.seen_ms), hours(w.over_ms), pct(w.over_ms, w.seen_ms),
        pct(w.ss100, w.tops), pct(w.ss150, w.tops), w.health, w.span_s ? pct(w.sleep_s, w.span_s) : null], 'td');
  });

  bars('overload', D.overload.map(o => who(o.device, o.devices)),
       [{label: 'hours overloaded', data: D.overload.map(o => hours(o.over_ms))},
        {label: '% of the time logged', data: D.overload.map(o => pct(o.over_ms, o.seen_ms)), hidden: true}],
       'hours (or % of the time logged)');

  bars('ss', D.system_server.map(s => who(s.device, s.devices)),
       [{label: '>= 100 (thread list)', data: D.system_server.map(s => pct(s.ss100, s.tops))},
        {label: '>= 150 (loading uevent)', data: D.system_server.map(s => pct(s.ss150, s.tops))}],
       '% of the blocks with a top ten');

  bars('health', D.health.map(h => who(h.name, h.apps, 'applications')),
       [{label: 'devices', data: D.health.map(h => h.devices)},
        {label: 'health lines', data: D.health.map(h => h.lines), hidden: true}],
       'devices (or lines)');

  // Histograms: each device's samples, as shares, in bins of 10 %.
  const bins = [];
  for (let b = 0; b < 10; b++) bins.push(b * 10 + '-' + (b * 10 + 9));
  bins.push('100+');
  const loadSets = D.cpu_loads.map((s, i) => {
    const n = s.points.reduce((t, p) => t + p[1], 0);
    const y = bins.map(() => 0);
    s.points.forEach(p => { y[p[0]] = pct(p[1], n); });
    return {label: who(s.device, s.devices), data: y, backgroundColor: palette[i % palette.length]};
  });
  chart('cpus', {type: 'bar', data: {labels: bins, datasets: loadSets},
                 options: {scales: {x: {title: {display: true, text: 'load of one CPU, %'}},
                                    y: {beginAtZero: true, title: {display: true, text: '% of the samples'}}}}});

  // Modem sleep by day: the devices that slept least, and the others together.
  const days = [...new Set(D.modem.flatMap(s => s.points.map(p => p[0])))].sort();
  const modemSets = D.modem.map((s, i) => {
    const by = new Map(s.points.map(p => [p[0], pct(p[1], p[2])]));
    return {label: who(s.device, s.devices), data: days.map(d => by.has(d) ? by.get(d) : null),
            borderColor: palette[i % palette.length], backgroundColor: palette[i % palette.length],
            spanGaps: false, pointRadius: 3};
  });
  chart('modem', {type: 'line', data: {labels: days, datasets: modemSets},
                  options: {scales: {x: {title: {display: true, text: 'UTC day'}},
                                     y: {beginAtZero: true, title: {display: true, text: '% asleep'}}}}});

  document.getElementById('status').textContent = 'charts drawn: ' + charts.length;
})();
