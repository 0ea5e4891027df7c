// The video player of the inspector and the viewer. A video plays as the file itself (?view=1, with
// ranges, so seeking is the browser's) when the browser says it plays what the file holds (?probe=1
// lists the types it plays as); otherwise, or when the file fails to start, as a stream the server
// converts (?play=1), which has no length and cannot seek: that player has controls of its own over the
// probed duration, and a seek starts a new stream at the time sought (&t=). The poster is the display
// frame (?preview=1). The server runs one stream per visitor, so starting one ends any other.

Object.assign(ICON_PATHS, {
  pause:
    '<rect x="5.2" y="4" width="3.4" height="12" rx="1" fill="currentColor" stroke="none"/>' +
    '<rect x="11.4" y="4" width="3.4" height="12" rx="1" fill="currentColor" stroke="none"/>',
});

const SEEK_SETTLE = 350; // ms a seek bar must rest before the stream restarts where it stopped
const STREAM_RETRIES = [1000, 3000, 5000]; // ms; the stream just ended may still hold the server's slot
const NO_PROGRESS = 5000; // ms a playing file may show no progress before it is taken for undecodable
const SEEK_STEP = 5; // seconds an arrow key moves
const SEEK_PAGE = 30; // seconds Page Up and Page Down move

let streamingPlayer = null;

function formatClock(seconds) {
  const whole = Math.max(0, Math.floor(seconds || 0));
  const hours = Math.floor(whole / 3600);
  const minutes = Math.floor((whole % 3600) / 60);
  const rest = String(whole % 60).padStart(2, '0');
  return hours ? hours + ':' + String(minutes).padStart(2, '0') + ':' + rest : minutes + ':' + rest;
}

// Whether this browser plays one of the types the file is.
function playsAsItIs(facts) {
  const probe = document.createElement('video');
  return Array.isArray(facts.playable) && facts.playable.some((type) => probe.canPlayType(String(type)) !== '');
}

// Ends the running stream when its player has left the page (a closed viewer, a redrawn inspector).
function releaseLostStreams() {
  if (streamingPlayer && !streamingPlayer.element.isConnected) streamingPlayer.release();
}

// A player for the video at relativePath of share. options.className goes on the <video>; preload is
// what it loads before it is played; onFailed(text) is called when nothing plays. Returns the element
// to place and the <video>.
function videoPlayer(share, relativePath, { className, preload = 'metadata', onFailed }) {
  const formURL = (form) => fileFormURL(share, relativePath, form);
  const element = document.createElement('div');
  element.className = 'video-player';
  element.innerHTML =
    '<div class="video-frame"><video class="' +
    escapeHTML(className) +
    '" playsinline></video></div>' +
    '<div class="video-controls" hidden>' +
    '<button type="button" class="video-button video-toggle" aria-label="Play">' +
    icon('play') +
    '</button>' +
    '<input type="range" class="video-seek" min="0" max="0" step="1" value="0" aria-label="Position in the video">' +
    '<span class="video-clock" aria-hidden="true"></span>' +
    '<button type="button" class="video-button video-whole-screen" aria-label="Full screen">' +
    icon('expand') +
    '</button></div>' +
    '<p class="video-note" hidden>Converted for this browser</p>';
  const video = element.querySelector('video');
  const controls = element.querySelector('.video-controls');
  const toggle = controls.querySelector('.video-toggle');
  const seek = controls.querySelector('.video-seek');
  const clock = controls.querySelector('.video-clock');
  video.preload = preload;
  video.poster = formURL('preview');

  let facts = null;
  let converted = false;
  let offset = 0; // where the running stream starts in the clip
  let streaming = false;
  let wanted = false; // the visitor pressed play
  let settle = 0;
  let retries = 0;
  let watchdog = 0;

  const failed = () => {
    if (onFailed) onFailed();
  };
  const duration = () => (facts && facts.duration > 0 ? facts.duration : 0);
  const position = () => (streaming ? offset + video.currentTime : offset);

  const showPosition = (seconds) => {
    seek.value = String(seconds);
    const text = formatClock(seconds) + ' of ' + formatClock(duration());
    seek.setAttribute('aria-valuetext', text);
    clock.textContent = formatClock(seconds) + ' / ' + formatClock(duration());
  };
  const showPlaying = () => {
    const playing = streaming && !video.paused;
    toggle.innerHTML = icon(playing ? 'pause' : 'play');
    toggle.setAttribute('aria-label', playing ? 'Pause' : 'Play');
  };

  const player = {
    element,
    // Lets the server's stream go; playing again starts a new one where this one was.
    release() {
      if (streamingPlayer === player) streamingPlayer = null;
      if (!streaming) return;
      offset = Math.min(position(), duration());
      streaming = false;
      video.pause();
      video.removeAttribute('src');
      video.load();
      showPlaying();
    },
  };

  const startStream = (from) => {
    if (streamingPlayer && streamingPlayer !== player) streamingPlayer.release();
    streamingPlayer = player;
    window.clearTimeout(settle);
    offset = Math.max(0, Math.min(from, duration()));
    streaming = true;
    wanted = true;
    showPosition(offset);
    video.src = formURL('play') + (offset > 0 ? '&t=' + offset.toFixed(1) : '');
    video.play().catch(() => {});
  };

  const convert = () => {
    if (converted) return;
    converted = true;
    window.clearTimeout(watchdog);
    video.controls = false;
    video.removeAttribute('src');
    video.load();
    seek.max = String(Math.floor(duration()));
    showPosition(0);
    showPlaying();
    controls.hidden = false;
    element.querySelector('.video-note').hidden = false;
    element.classList.add('is-converted');
    // A visitor who already pressed play should not have to press it again.
    if (wanted) startStream(0);
  };

  const playFile = () => {
    video.controls = true;
    video.src = formURL('view');
  };

  // A file that starts but whose picture the browser cannot decode shows no picture or no progress.
  video.addEventListener('loadedmetadata', () => {
    if (!converted && facts && facts.width > 0 && video.videoWidth === 0) convert();
  });
  video.addEventListener('play', () => {
    wanted = true;
    if (converted) return;
    window.clearTimeout(watchdog);
    const from = video.currentTime;
    watchdog = window.setTimeout(() => {
      if (!video.paused && video.currentTime === from && facts) convert();
    }, NO_PROGRESS);
  });
  video.addEventListener('error', () => {
    if (!video.getAttribute('src')) return;
    if (!converted) {
      if (facts) convert();
      else failed();
      return;
    }
    // Most likely the server is still ending the last stream, or is busy: try again a few times.
    if (retries < STREAM_RETRIES.length) {
      const from = position();
      streaming = false;
      window.setTimeout(() => {
        if (element.isConnected && wanted) startStream(from);
      }, STREAM_RETRIES[retries]);
      retries += 1;
      return;
    }
    player.release();
    failed();
  });
  video.addEventListener('timeupdate', () => {
    if (!converted || !streaming) return;
    if (video.currentTime > 0) retries = 0;
    if (!settle) showPosition(position());
  });
  for (const name of ['play', 'pause', 'playing']) video.addEventListener(name, showPlaying);
  video.addEventListener('ended', () => {
    if (!converted) return;
    player.release();
    wanted = false;
    offset = 0;
    showPosition(duration());
  });

  const togglePlaying = () => {
    if (!streaming) startStream(offset >= duration() ? 0 : offset);
    else if (video.paused) video.play().catch(() => {});
    else {
      video.pause();
      wanted = false;
    }
  };
  toggle.addEventListener('click', togglePlaying);
  video.addEventListener('click', () => {
    if (converted) togglePlaying();
  });
  // Dragging or stepping the bar shows the time at once; the stream restarts once it rests there.
  const seekTo = (seconds) => {
    const target = Math.max(0, Math.min(seconds, Math.floor(duration())));
    showPosition(target);
    window.clearTimeout(settle);
    settle = window.setTimeout(() => {
      settle = 0;
      if (streaming || wanted) startStream(target);
      else offset = target;
    }, SEEK_SETTLE);
  };
  seek.addEventListener('input', () => seekTo(Number(seek.value)));
  seek.addEventListener('keydown', (event) => {
    const steps = { ArrowLeft: -SEEK_STEP, ArrowDown: -SEEK_STEP, ArrowRight: SEEK_STEP, ArrowUp: SEEK_STEP,
      PageDown: -SEEK_PAGE, PageUp: SEEK_PAGE };
    if (!(event.key in steps)) return;
    event.preventDefault();
    seekTo(Number(seek.value) + steps[event.key]);
  });
  controls.querySelector('.video-whole-screen').addEventListener('click', () => {
    if (document.fullscreenElement) document.exitFullscreen().catch(() => {});
    else if (element.requestFullscreen) element.requestFullscreen().catch(() => {});
  });

  fetchJSON(formURL('probe'))
    .then((answer) => {
      facts = answer && typeof answer === 'object' ? answer : null;
      if (facts && !playsAsItIs(facts)) convert();
      else playFile();
    })
    // A server that knows nothing of the file: the browser may still play it.
    .catch(() => playFile());
  return { element, video };
}
