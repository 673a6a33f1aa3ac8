#include "WebAssets.h"

namespace pq::server {

QByteArray WebAssets::stylesheet() {
    return QByteArrayLiteral(R"css(
:root { --ink: #1d2230; --muted: #6a7183; --line: #e3e6ee; --accent: #4057d6; --bg: #f6f7fb;
        --ok: #23804a; --bad: #b3261e; font: 15px/1.5 system-ui, sans-serif; color: var(--ink); }
* { box-sizing: border-box; }
body { margin: 0; background: var(--bg); }
header { display: flex; align-items: center; gap: 2em; padding: .8em 2em; background: #fff;
         border-bottom: 1px solid var(--line); }
header .brand { font-weight: 700; color: var(--accent); text-decoration: none; font-size: 1.1em; }
header nav a { margin-right: 1.2em; color: var(--ink); text-decoration: none; }
header nav a:hover { color: var(--accent); }
main { max-width: 60em; margin: 1.5em auto; padding: 0 1.5em; }
h1 { font-size: 1.6em; margin: .2em 0 .6em; overflow-wrap: anywhere; }
h2 { font-size: 1.15em; margin: 1.6em 0 .5em; }
section > h2:first-child { margin-top: 0; }
section, .card { background: #fff; border: 1px solid var(--line); border-radius: 10px;
                 padding: 1em 1.2em; margin: 1em 0; }
table { width: 100%; border-collapse: collapse; }
th, td { text-align: left; padding: .45em .5em; border-bottom: 1px solid var(--line);
         vertical-align: top; overflow-wrap: anywhere; }
th { color: var(--muted); font-weight: 600; font-size: .9em; }
a { color: var(--accent); }
.muted { color: var(--muted); }
.state { display: inline-block; padding: .05em .55em; border-radius: 1em; font-size: .85em;
         background: #eef0f7; }
.state.live { background: #fde7e6; color: var(--bad); }
.state.failed { background: #fde7e6; color: var(--bad); }
.state.ready { background: #e5f4ea; color: var(--ok); }
.error { color: var(--bad); }
form.inline { display: inline; }
button, input[type=submit] { font: inherit; padding: .4em 1em; border-radius: 8px;
         border: 1px solid var(--accent); background: var(--accent); color: #fff; cursor: pointer; }
button.secondary { background: #fff; color: var(--accent); }
button.danger { background: #fff; border-color: var(--bad); color: var(--bad); }
input[type=text], input[type=search], input[type=number], select { font: inherit;
         padding: .35em .5em; border: 1px solid var(--line); border-radius: 6px; }
label { display: inline-block; margin: .3em 1em .3em 0; }
.key { font-family: ui-monospace, monospace; font-size: 1.05em; background: #fffbe6;
       border: 1px solid #f0d97a; padding: .6em .8em; border-radius: 8px; word-break: break-all; }
.transcript p { margin: .35em 0; }
.transcript .time { color: var(--muted); font-variant-numeric: tabular-nums; margin-right: .6em;
                    font-size: .9em; }
.transcript .speaker { color: var(--accent); font-weight: 600; margin-right: .4em; }
.transcript p:target { background: #fff3c4; border-radius: 4px; }
.summary { background: #f3f5ff; border-radius: 8px; padding: .6em .9em; }
audio { width: 100%; margin: .4em 0; }
.consent { max-width: 32em; margin: 3em auto; text-align: center; }
.consent ul { text-align: left; }
.consent .buttons { display: flex; gap: 1em; justify-content: center; margin-top: 1.4em; }
.swatch { display: inline-block; width: 1em; height: 1em; border-radius: 50%;
          vertical-align: middle; }
#broadcast .live-lines p { font-size: 1.35em; margin: .5em 0; }
#broadcast .live-lines .original { display: block; font-size: .7em; color: var(--muted); }
#broadcast #draft { color: var(--muted); font-size: 1.35em; min-height: 1.5em; }
mark { background: #fff3c4; }
)css");
}

QByteArray WebAssets::broadcastScript() {
    return QByteArrayLiteral(R"js('use strict';
(function () {
  var main = document.getElementById('broadcast');
  if (!main) return;
  var code = main.getAttribute('data-code');
  var recording = main.getAttribute('data-recording') || '';
  var cursor = Number(main.getAttribute('data-cursor') || -1);
  var lang = main.getAttribute('data-lang') ||
             String(navigator.language || 'en').split('-')[0].toLowerCase();
  var lines = document.getElementById('lines');
  var draft = document.getElementById('draft');
  var status = document.getElementById('status');
  var states = { live: 'Live now', paused: 'Paused', stopping: 'Finishing',
                 ready: 'Not live right now', none: 'Not live yet', offline: 'Reconnecting…' };

  function setStatus(state) {
    status.textContent = states[state] || state;
    status.className = 'state ' + (state === 'live' ? 'live' : '');
    main.setAttribute('data-state', state);
  }

  function atBottom() {
    return window.innerHeight + window.scrollY >= document.body.scrollHeight - 80;
  }

  function showSentence(s) {
    var follow = atBottom();
    var p = document.getElementById('s' + s.sentenceId);
    if (!p) {
      p = document.createElement('p');
      p.id = 's' + s.sentenceId;
      lines.appendChild(p);
    }
    p.textContent = '';
    var translated = s.translations && s.translations[lang];
    var text = document.createElement('span');
    text.className = 'text';
    text.textContent = translated || s.text;
    p.appendChild(text);
    if (translated) {
      var original = document.createElement('span');
      original.className = 'original';
      original.textContent = s.text;
      p.appendChild(original);
    }
    if (follow) window.scrollTo(0, document.body.scrollHeight);
  }

  function connect() {
    var address = (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host +
        '/s/' + encodeURIComponent(code) + '/live?lang=' + encodeURIComponent(lang) +
        '&recording=' + encodeURIComponent(recording) + '&after=' + cursor;
    var socket = new WebSocket(address);
    socket.onmessage = function (message) {
      var event;
      try { event = JSON.parse(message.data); } catch (e) { return; }
      if (event.type === 'broadcast.recording') {
        if ((event.recordingId || '') !== recording) {
          lines.textContent = '';
          draft.textContent = '';
          recording = event.recordingId || '';
          cursor = -1;
          main.setAttribute('data-recording', recording);
        }
        setStatus(event.state);
      } else if (event.type === 'broadcast.state') {
        draft.textContent = '';
        setStatus(event.state);
      } else if (event.type === 'transcript.sentence') {
        showSentence(event.sentence);
        draft.textContent = '';
        if (typeof event.cursor === 'number') cursor = Math.max(cursor, event.cursor);
      } else if (event.type === 'transcript.draft') {
        draft.textContent = (event.segments || []).map(function (s) {
          return (s.translations && s.translations[lang]) || s.text;
        }).join(' ');
      }
    };
    socket.onclose = function () {
      setStatus('offline');
      setTimeout(connect, 2000);
    };
  }

  connect();
})();
)js");
}

} // namespace pq::server
