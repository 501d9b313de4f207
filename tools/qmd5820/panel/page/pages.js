// The test panel's database, acquisition and calibration pages (panel.js has the rest).
'use strict';

// ---- Transducer database ----------------------------------------------------------------------
function showResult(id, text) { $(id).textContent = text; }

async function loadDatabase() {
  const data = await api('GET', boardPath('transducers'));
  const body = $('db-table').tBodies[0];
  body.innerHTML = '';
  if (data.result && !ok(data.result)) return;
  for (const t of data.types || []) {
    const row = body.insertRow();
    for (const c of [t.index, t.range, t.sensitivity, t.frequency, t.voltage, t.calibrated ? 'yes' : 'no']) {
      row.insertCell().textContent = c ?? '?';
    }
    const button = document.createElement('button');
    button.textContent = 'Delete';
    button.className = 'db-delete';
    button.dataset.index = t.index;
    button.onclick = guard(async () => {
      if (!confirm('Delete transducer type ' + t.index + '? The EEPROM is saved first.')) return;
      say('saving the EEPROM, then deleting…', true);
      const r = await api('POST', boardPath('db/delete'), { index: t.index });
      if (r.backup) showBackup(r.backup);
      ok(r.result, 'transducer type ' + t.index + ' deleted');
      await loadDatabase();
      await loadChannels();
    });
    row.insertCell().appendChild(button);
  }
}

async function showBackup(number) {
  const list = await api('GET', 'backups');
  const entry = list.find((b) => b.number === number);
  const link = $('db-backup-link');
  link.href = '/api/backup/' + number + '?token=' + encodeURIComponent(token);
  link.download = entry ? entry.name : 'backup.eeprom';
  link.textContent = 'Download the backup saved ' + (entry ? entry.reason + ' (' + entry.time + ')' : '');
  link.hidden = false;
}

function formData() {
  const data = {};
  for (const input of $('db-add').elements) if (input.name) data[input.name] = Number(input.value);
  return data;
}

async function previewAdd() {
  const p = await api('POST', boardPath('db/preview'), formData());
  $('db-add-confirm').hidden = p.problem !== null;
  if (p.problem !== null) {
    showResult('db-preview-result', 'Not accepted: ' + p.problem);
    return;
  }
  showResult('db-preview-result', 'Settings to be written: frequency ' + p.frequency + ' Hz, excitation profile ' +
    p.excitation_profile + '\nconfiguration fields that are not zero:\n' +
    p.fields.map(([f, v]) => '  field ' + String(f).padStart(3) + ' = ' + v).join('\n'));
}

async function confirmAdd() {
  say('saving the EEPROM, then writing the transducer type…', true);
  $('db-add-confirm').hidden = true;
  const r = await api('POST', boardPath('db/add'), formData());
  if (r.backup) await showBackup(r.backup);
  ok(r.result, 'transducer type ' + formData().index + ' added');
  await loadDatabase();
  await loadChannels();
}

async function checkDatabase() {
  const r = await api('GET', boardPath('db/check'));
  if (r.error) { say(r.error); return; }
  const c = r.check;
  showResult('db-check-result', 'The transducer database is ' + (c.consistent ? 'consistent' : 'INCONSISTENT') + '\n' +
    c.transducers.map((t) => '  ' + t).join('\n') + '\n' + c.notes.map((n) => '  note: ' + n).join('\n') + '\n' +
    c.problems.map((p) => '  problem: ' + p).join('\n'));
}

let upload = 0;
async function checkRestore() {
  const file = $('db-restore-file').files[0];
  if (!file) { say('choose a backup file first'); return; }
  const bytes = await file.arrayBuffer();
  const response = await fetch('/api/' + boardPath('db/restore/check'), {
    method: 'POST', headers: { 'X-Panel-Token': token, 'Content-Type': 'application/octet-stream' }, body: bytes,
  });
  const r = await response.json();
  if (!response.ok || r.error) { showResult('db-restore-result', 'Refused: ' + (r.error || response.statusText)); return; }
  upload = r.upload;
  const c = r.check;
  showResult('db-restore-result', 'Backup of ' + r.backup_of + (r.same_board ? ' (this board)' : ' — NOT this board (' + r.this_board + ')') +
    '\n' + r.words_differing + ' word(s) differ from the board\nits transducer database is ' +
    (c.consistent ? 'consistent' : 'INCONSISTENT') + '\n' + c.transducers.map((t) => '  ' + t).join('\n') +
    c.problems.map((p) => '\n  problem: ' + p).join(''));
  $('db-restore-confirm').hidden = false;
  $('db-restore-confirm').textContent = r.same_board ? 'Restore it' : 'Restore it onto this board anyway';
  $('db-restore-confirm').dataset.force = r.same_board ? '' : '1';
}

async function confirmRestore() {
  say('saving the EEPROM, then restoring…', true);
  const r = await api('POST', boardPath('db/restore'), { upload, force: !!$('db-restore-confirm').dataset.force });
  $('db-restore-confirm').hidden = true;
  if (r.backup) await showBackup(r.backup);
  if (r.error) { say(r.error); return; }
  say(r.written + ' word(s) written; the EEPROM reads back equal to the backup', true);
  await loadDatabase();
  await loadChannels();
}

window.pageShown = (page) => {
  if (page === 'database') guard(loadDatabase)();
};
window.boardChanged = async () => {
  if ($('page-database').classList.contains('active')) await loadDatabase();
};

$('db-refresh').onclick = guard(loadDatabase);
$('db-check').onclick = guard(checkDatabase);
$('db-preview').onclick = guard(previewAdd);
$('db-add-confirm').onclick = guard(confirmAdd);
$('db-restore-check').onclick = guard(checkRestore);
$('db-restore-confirm').onclick = guard(confirmRestore);
for (const input of $('db-add').elements) input.oninput = () => { $('db-add-confirm').hidden = true; };

// ---- Acquisition ------------------------------------------------------------------------------
let acqPlot = null;
const acqRows = [];
function acqChannels() {
  return $('acq-channels').value.trim().split(/\s+/).map((pair) => pair.split(':').map(Number));
}

async function startAcquisition() {
  const channels = acqChannels();
  const r = await api('POST', boardPath('acquisition/start'), {
    channels, sequences_per_interrupt: Number($('acq-spi').value),
  });
  if (!ok(r, 'acquisition running')) return;
  acqRows.length = 0;
  if (acqPlot) { acqPlot.destroy(); acqPlot = null; }
  acqPlot = new Dygraph($('acq-plot'), [[0].concat(channels.map(() => null))], {
    labels: ['time/s'].concat(channels.map(([c]) => 'ch ' + c)), ylabel: 'mm', legend: 'always',
  });
  $('acq-download').hidden = true;
}

async function stopAcquisition() {
  const r = await api('POST', boardPath('acquisition/stop'));
  if (!ok(r, 'acquisition stopped: ' + r.written + ' sequences')) return;
  const link = $('acq-download');
  link.href = '/api/' + boardPath('acquisition.csv') + '?token=' + encodeURIComponent(token);
  link.download = 'board' + panel.board + '-acquisition.csv';
  link.hidden = false;
}

function showAcquisition(s) {
  const a = s.acquisition;
  if (!a) return;
  $('acq-status').textContent = (a.running ? 'running: ' : 'stopped: ') + a.written + ' sequences recorded, backlog ' +
    a.backlog + ' sequence(s) announced by the board and not read yet' + (a.stopped_because ? ' — stopped: ' + a.stopped_because : '');
  if (!acqPlot || !a.points.length) return;
  for (const p of a.points) acqRows.push(p);
  // About 30 s of the batches' points: one per snapshot, whatever the sequence rate.
  while (acqRows.length > 1500) acqRows.shift();
  if ($('page-acquisition').classList.contains('active')) acqPlot.updateOptions({ file: acqRows });
}

$('acq-start').onclick = guard(startAcquisition);
$('acq-stop').onclick = guard(stopAcquisition);
panel.handlers.push(showAcquisition);

// ---- Calibration wizard -----------------------------------------------------------------------
function calibrationForm() {
  const data = {};
  for (const input of $('cal-form').elements) {
    if (input.name) data[input.name] = input.name === 'procedure' ? input.value : Number(input.value);
  }
  data.readings_at = $('cal-positions').value.trim().split(/\s+/).filter((x) => x).map(Number);
  return data;
}

async function startCalibration() {
  say('starting the calibration…', true);
  $('cal-start').disabled = true;
  try {
    const r = await api('POST', boardPath('calibration/start'), calibrationForm());
    ok(r, 'calibration running');
  } finally {
    $('cal-start').disabled = false;
  }
}

async function continueCalibration() {
  $('cal-continue').disabled = true;
  $('cal-instruction').textContent = '';
  ok(await api('POST', boardPath('calibration/continue')), 'confirmed');
}

async function breakCalibration() {
  const r = await api('POST', boardPath('calibration/break'));
  if (r.restore) say('Break: ' + r.restore, r.code === 0);
  else ok(r);
}

function showReadings(c) {
  const body = $('cal-readings').tBodies[0];
  body.innerHTML = '';
  c.before.forEach((b, i) => {
    const a = c.after[i];
    const row = body.insertRow();
    row.insertCell().textContent = 'ch ' + b.channel + (b.position === null ? ' (where it stands)' : ' at ' + b.position);
    row.insertCell().textContent = b.value !== undefined ? b.value.toFixed(5) : b.error;
    row.insertCell().textContent = a && a.value !== undefined ? a.value.toFixed(5) : '';
    row.insertCell().textContent = a && a.value !== undefined && b.position !== null && c.range
      ? (100 * (a.value - b.position) / c.range).toFixed(4) : '';
  });
}

function showCalibration(s) {
  const c = s.calibration;
  if (!c) return;
  $('cal-status').textContent = (c.running ? 'running — ' : '') + c.phase +
    (c.values ? '   live values ' + c.values[0] + ' ' + c.values[1] : '') + (c.outcome ? '   — ' + c.outcome : '');
  $('cal-instruction').textContent = c.instruction || '';
  $('cal-continue').disabled = !c.instruction;
  $('cal-break').disabled = !c.running;
  if (c.before) showReadings(c);
}

$('cal-start').onclick = guard(startCalibration);
$('cal-continue').onclick = guard(continueCalibration);
$('cal-break').onclick = guard(breakCalibration);
panel.handlers.push(showCalibration);
