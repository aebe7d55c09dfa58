'use strict';
// The virtual printers' page: the printers and their jobs from the API, kept up to date by the
// server's events, without a framework, so that it works offline.

const pageSize = 20;
const flagOf = {
  'paper-out': 'paper_out', 'paper-near-end': 'paper_near_end', 'cover-open': 'cover_open',
  'offline': null, 'error': 'error', 'drawer-open': 'drawer_open',
};
let filter = '';
let oldest = 0;
let last = 0;  // the newest job when the page first asked: the news go on from it
let printers = [];
// Beyond loopback a change needs the token the printer printed, handed over in the address.
const token = (() => {
  const m = location.hash.match(/token=([0-9a-f]+)/);
  if (m) sessionStorage.setItem('kelvo-token', m[1]);
  return sessionStorage.getItem('kelvo-token') || '';
})();

const $ = (selector, root = document) => root.querySelector(selector);

function show(message) {
  const p = $('#message');
  p.textContent = message || '';
  p.hidden = !message;
}

async function getJson(path) {
  const res = await fetch(path);
  if (!res.ok) throw new Error(`${path}: ${res.status}`);
  return res.json();
}

async function change(path, body) {
  const headers = { 'Content-Type': 'text/plain' };
  if (token) headers.Authorization = `Bearer ${token}`;
  const res = await fetch(path, { method: 'POST', headers, body });
  const answer = await res.json().catch(() => ({}));
  if (!res.ok) show(answer.error || `${path}: ${res.status}`);
  return answer;
}

function renderPrinters(list) {
  printers = list;
  const box = $('#printers');
  box.replaceChildren(...list.map((p) => {
    const card = $('#printer-card').content.firstElementChild.cloneNode(true);
    card.dataset.printer = p.name;
    $('.name', card).textContent = p.name;
    const state = $('.state', card);
    state.textContent = p.state;
    state.className = `state ${p.state.replace(/[^a-z]+/g, '-')}`;
    const where = $('.where', card);
    for (const [label, value] of [['TCP', p.tcp], ['Serial', p.serial], ['LPD', p.lpd],
      ['Jobs', String(p.jobs)]]) {
      if (!value) continue;
      const dt = document.createElement('dt');
      const dd = document.createElement('dd');
      dt.textContent = label;
      dd.textContent = value;
      where.append(dt, dd);
    }
    for (const button of card.querySelectorAll('[data-fault]')) {
      const fault = button.dataset.fault;
      const on = flagOf[fault] ? p[flagOf[fault]] : !p.online;
      button.setAttribute('aria-pressed', String(on));
      button.addEventListener('click', () =>
        change(`/api/printers/${encodeURIComponent(p.name)}/set`, `${fault} ${on ? 'off' : 'on'}`));
    }
    $('.clear', card).addEventListener('click', () => {
      if (confirm(`Delete the saved jobs of ${p.name}?`))
        change(`/api/printers/${encodeURIComponent(p.name)}/clear`, '');
    });
    return card;
  }));
  const select = $('#filter');
  const names = [''].concat(list.map((p) => p.name));
  if ([...select.options].map((o) => o.value).join('\n') !== names.join('\n')) {
    select.replaceChildren(...names.map((name) => new Option(name || 'all', name)));
    select.value = filter;
  }
}

function link(href, text) {
  const a = document.createElement('a');
  a.href = href;
  a.textContent = text;
  return a;
}

async function fillRecord(card, job) {
  try {
    const [text, record] = await Promise.all([
      fetch(job.files.txt).then((r) => (r.ok ? r.text() : '')),
      getJson(job.files.json),
    ]);
    $('.text', card).textContent = text;
    $('.meta', card).textContent =
      `${record.endpoint} · ${record.bytes} bytes · ${record.end} · ${record.ended || job.time}`;
    $('.symbols', card).replaceChildren(...(record.symbols || []).map((s) => {
      const p = document.createElement('p');
      const kind = document.createElement('strong');
      kind.textContent = `${s.kind}: `;
      p.append(kind, s.data);
      return p;
    }));
    const more = Object.entries(record.commands_more || {}).map(([k, n]) => `… ${n} more ${k}`);
    $('.commands ol', card).replaceChildren(...record.commands.concat(more).map((c) => {
      const li = document.createElement('li');
      li.textContent = c;
      return li;
    }));
  } catch (e) {
    $('.text', card).textContent = job.first_line;
  }
}

function jobCard(job) {
  const card = $('#job-card').content.firstElementChild.cloneNode(true);
  card.id = `job-${job.id}`;
  card.dataset.printer = job.printer;
  $('.title', card).textContent = `${job.printer} · ${job.name}`;
  $('.meta', card).textContent = `${job.bytes} bytes · ${job.time}`;
  // A lab printer saving no pictures ("pictures": false) has none to show.
  $('.paper', card).addEventListener('error', (e) => { e.target.hidden = true; });
  $('.paper', card).src = job.files.png;
  $('.paper-link', card).href = job.files.png;
  $('.files', card).append(
    ...Object.entries({ bin: 'raw bytes', png: 'picture', txt: 'text', json: 'record' })
      .map(([kind, text]) => link(`${job.files[kind]}?download=1`, `Download ${text}`)));
  fillRecord(card, job);
  return card;
}

async function loadJobs(more) {
  const query = new URLSearchParams({ limit: String(pageSize) });
  if (filter) query.set('printer', filter);
  if (more && oldest) query.set('before', String(oldest));
  const page = await getJson(`/api/jobs?${query}`);
  const list = $('#jobs');
  if (!more) list.replaceChildren();
  for (const job of page.jobs) {
    if (!document.getElementById(`job-${job.id}`)) list.append(jobCard(job));
  }
  if (!last) last = page.last;
  if (page.jobs.length) oldest = page.jobs[page.jobs.length - 1].id;
  $('#older').hidden = !page.more;
}

function follow() {
  const events = new EventSource(`/api/events?after=${last}`);
  const live = $('#live');
  events.onopen = () => { live.textContent = 'live'; live.classList.remove('off'); };
  events.onerror = () => { live.textContent = 'reconnecting'; live.classList.add('off'); };
  events.addEventListener('printers', (e) => renderPrinters(JSON.parse(e.data).printers));
  events.addEventListener('cleared', () => loadJobs(false));
  events.addEventListener('job', (e) => {
    const job = JSON.parse(e.data);
    if ((filter && job.printer !== filter) || document.getElementById(`job-${job.id}`)) return;
    $('#jobs').prepend(jobCard(job));
  });
}

$('#filter').addEventListener('change', (e) => {
  filter = e.target.value;
  oldest = 0;
  loadJobs(false).catch((err) => show(err.message));
});
$('#older').addEventListener('click', () => loadJobs(true).catch((err) => show(err.message)));

(async () => {
  try {
    renderPrinters((await getJson('/api/printers')).printers);
    await loadJobs(false);
  } catch (e) {
    show(e.message);
  }
  follow();
})();
