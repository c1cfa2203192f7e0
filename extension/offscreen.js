// Captures one tab and streams it to Torvane: H.264 packets from WebCodecs where the browser
// encodes H.264 (VP8 where it does not) and the sound as 32-bit float samples, in Torvane's
// binary layouts (little-endian, no padding):
//   video: 'v', int64 timestamp (us), int32 width, int32 height, packet
//   audio: 'a', int64 timestamp (us), uint32 rate, uint16 channels, int32 frames, 1 spare
//          byte, interleaved float32 samples
// Both timestamps count from the first picture ("audioClock": "video"), so Torvane places the
// sound by its time, not by counting samples, and a lost sound block does not shift the rest.

// Torvane needs a key frame at least every 2 s; aiming at 1.5 s keeps that when frames
// are skipped or a still tab sends few.
const KEY_FRAME_INTERVAL_US = 1500000;
const MAX_SOCKET_BACKLOG = 16 * 1024 * 1024; // bytes not yet sent before frames are dropped
const FIRST_AUDIO_WAIT_MS = 1500;
// Chromium shows a tab's picture up to two display frames (33 ms at 60 Hz) after the page drew it,
// mostly one or two, and stamps it then. Between those two, a page's sound stays within 9 ms of
// its pictures; where a picture is shown at once, its sound is late, which viewers notice least.
const PICTURE_DELAY_US = 25000;
// Sound blocks (10 ms each) the browser keeps for us while the page is busy encoding; fewer,
// and it drops sound under load.
const AUDIO_BUFFER_BLOCKS = 100;
// How long the sound waits at the start for the clocks' distance to be measured.
const SETTLE_MS = 700;
// A picture reaches us some frames after the tab showed it.
const IN_FLIGHT_MS = 150;
// How long a stop waits for the pictures and sound already captured before it flushes.
const DRAIN_MS = 1000;
// H.264 profiles to ask for, simplest first: constrained baseline plays everywhere. Level 5.1
// covers every size up to 4K at 60 fps.
const H264_CODECS = ['avc1.42E033', 'avc1.4D0033', 'avc1.640033'];

let rec = null; // the running recording, or null

chrome.runtime.onMessage.addListener((msg) => {
  if (msg.target !== 'offscreen') return;
  if (msg.type === 'start' && !rec) {
    start(msg.streamId, msg.port).catch((e) => end('error', e.message || String(e)));
  } else if (msg.type === 'stop') {
    end('stopped', '');
  }
});

function report(type, reason, detail) {
  chrome.runtime.sendMessage({ target: 'background', type, reason, detail });
}

function connect(port) {
  return new Promise((resolve, reject) => {
    const ws = new WebSocket(`ws://127.0.0.1:${port}`);
    ws.binaryType = 'arraybuffer';
    ws.onopen = () => resolve(ws);
    ws.onerror = () => reject(new Error(`Torvane is not reachable on port ${port}`));
  });
}

// The first "config" tells the frame rate Torvane records at and the distance between the
// system's wall and monotonic clocks; an older server may not send them.
function waitForConfig(ws, ms) {
  return new Promise((resolve) => {
    const timer = setTimeout(() => resolve({ fps: 30 }), ms);
    ws.onmessage = (ev) => {
      try {
        const m = JSON.parse(ev.data);
        if (m.type === 'config') {
          clearTimeout(timer);
          resolve({
            fps: m.frameRate > 0 ? Math.min(m.frameRate, 60) : 30,
            clockOffsetUs: Number.isFinite(m.clockOffsetUs) ? m.clockOffsetUs : undefined,
          });
        }
      } catch (_) { /* not ours */ }
    };
  });
}

async function start(streamId, port) {
  rec = { stopping: false };
  const ws = await connect(port);
  rec.ws = ws;
  // Torvane gives its reason when it refuses or drops a client (another client, no media).
  ws.onclose = (ev) => {
    if (rec) rec.ws = null; // nobody is left to send to
    end(ev.reason ? 'error' : 'stopped', ev.reason || 'Torvane closed the connection');
  };
  const config = await waitForConfig(ws, 1000);
  const fps = config.fps;
  if (!rec) return;
  rec.clockOffsetUs = config.clockOffsetUs;
  ws.onmessage = onServerMessage;

  const source = { chromeMediaSource: 'tab', chromeMediaSourceId: streamId };
  const stream = await navigator.mediaDevices.getUserMedia({
    audio: { mandatory: source },
    // Limits wider than the default let the frames follow the tab's own size.
    video: { mandatory: { ...source, maxFrameRate: fps, minWidth: 2, minHeight: 2, maxWidth: 3840, maxHeight: 2160 } },
  });
  if (!rec || rec.stopping) { stream.getTracks().forEach((t) => t.stop()); return; }
  rec.stream = stream;
  // Closing or navigating the tab away from capture ends its tracks: finish the file properly.
  stream.getVideoTracks()[0].addEventListener('ended', () => end('stopped', ''));

  // Capturing a tab mutes it; playing the captured sound keeps it audible to the user.
  const audioTrack = stream.getAudioTracks()[0];
  if (audioTrack) {
    rec.audioContext = new AudioContext();
    rec.audioContext.createMediaStreamSource(stream).connect(rec.audioContext.destination);
  }

  const videoReader = new MediaStreamTrackProcessor({ track: stream.getVideoTracks()[0] }).readable.getReader();
  const audioReader = audioTrack
    ? new MediaStreamTrackProcessor({ track: audioTrack, maxBufferSize: AUDIO_BUFFER_BLOCKS }).readable.getReader()
    : null;
  rec.readers = [videoReader, audioReader].filter(Boolean);
  rec.pumps = [];

  // The first frame and the first sound block give the real size and sample rate.
  const first = await videoReader.read();
  if (first.done || !rec) { if (first.value) first.value.close(); return; }
  const width = first.value.displayWidth & ~1, height = first.value.displayHeight & ~1;
  rec.t0 = first.value.timestamp;
  notePictureClock(first.value);
  const audioFirst = audioReader ? audioReader.read() : null;
  let sampleRate = 48000, channels = 2;
  if (audioFirst) {
    const got = await Promise.race([audioFirst,
      new Promise((r) => setTimeout(() => r(null), FIRST_AUDIO_WAIT_MS))]);
    if (got && got.value) {
      sampleRate = got.value.sampleRate;
      channels = Math.min(got.value.numberOfChannels, 2);
    } else {
      sampleRate = audioTrack.getSettings().sampleRate || sampleRate;
    }
  }
  if (!rec) { first.value.close(); return; }

  const h264 = await h264Codec(width, height, fps);
  const start = {
    type: 'start', width, height, frameRate: fps, audioClock: 'video',
    audioSampleRate: sampleRate, audioChannels: audioTrack ? channels : 0, videoCodec: h264 ? 'h264' : 'vp8',
  };
  rec.encoder = makeEncoder(h264 || 'vp8', width, height, fps, start);
  if (!h264) send(JSON.stringify(start));
  rec.pumps.push(pumpVideo(videoReader, first.value, width, height, fps));
  if (audioFirst) rec.pumps.push(pumpAudio(audioReader, audioFirst, channels));
}

// The first H.264 codec string this browser encodes at this size, or null.
async function h264Codec(width, height, fps) {
  for (const codec of H264_CODECS) {
    try {
      const r = await VideoEncoder.isConfigSupported(encoderConfig(codec, width, height, fps));
      if (r.supported) return codec;
    } catch (_) { /* not this one */ }
  }
  return null;
}

function encoderConfig(codec, width, height, fps) {
  const config = {
    codec, width, height, framerate: fps, latencyMode: 'realtime',
    bitrate: Math.max(1000000, Math.round(width * height * fps * 0.1)),
  };
  if (codec.startsWith('avc1')) config.avc = { format: 'avc' };
  return config;
}

// Chromium stamps tab pictures on the system's monotonic clock and tab sound on this document's
// clock (performance.now(), which timeOrigin puts on the wall clock). Torvane tells the wall
// clock's distance from the monotonic one; without it, the smallest delay seen between a
// picture's stamp and its arrival gives the distance, to within that delay.
function notePictureClock(frame) {
  const gap = frame.timestamp - performance.now() * 1000;
  if (rec.clockGap === undefined || gap > rec.clockGap) rec.clockGap = gap;
}

// A sound block's time on the pictures' clock, from the first picture. Chromium stamps the tab's
// sound when it plays and its pictures when they are shown, after the page drew them; a page
// times its sound to the frame it draws, so the sound moves by that delay (PICTURE_DELAY_US).
// This document's own output latency plays no part: its sound is only for the user's ears.
function soundTime(data) {
  const nowUs = performance.now() * 1000;
  const onDocumentClock = Math.abs(nowUs - data.timestamp) < 10e6;
  const gap = rec.clockOffsetUs !== undefined
    ? performance.timeOrigin * 1000 - rec.clockOffsetUs : rec.clockGap;
  const played = onDocumentClock ? data.timestamp + gap : data.timestamp;
  return Math.round(played + PICTURE_DELAY_US - rec.t0);
}

function onServerMessage(ev) {
  if (typeof ev.data !== 'string') return;
  let m;
  try { m = JSON.parse(ev.data); } catch (_) { return; }
  if (m.type === 'started') report('recording');
  else if (m.type === 'busy') end('busy', 'Torvane is already recording the screen');
  else if (m.type === 'error') end('error', m.reason || 'Torvane could not record');
  else if (m.type === 'overload') console.warn('Torvane: encoder falling behind; it will stop the recording');
  else if (m.type === 'stopRecording') end('stopped', '');
  // "config" after the start only matters for the next recording.
}

function send(data) {
  if (rec && rec.ws && rec.ws.readyState === WebSocket.OPEN) rec.ws.send(data);
}

// H.264 goes to Torvane as it is: the "start" carries the encoder's avcC record, known with the
// first packet, and packets wait for it.
function makeEncoder(codec, width, height, fps, start) {
  let pending = codec.startsWith('avc1') ? [] : null;
  const encoder = new VideoEncoder({
    output: (chunk, metadata) => {
      const msg = new ArrayBuffer(17 + chunk.byteLength);
      const view = new DataView(msg);
      view.setUint8(0, 0x76);
      view.setBigInt64(1, BigInt(chunk.timestamp), true);
      view.setInt32(9, width, true);
      view.setInt32(13, height, true);
      chunk.copyTo(new Uint8Array(msg, 17));
      if (pending && metadata && metadata.decoderConfig && metadata.decoderConfig.description) {
        start.videoConfig = base64(metadata.decoderConfig.description);
        send(JSON.stringify(start));
        pending.forEach(send);
        pending = null;
      }
      if (pending) pending.push(msg);
      else send(msg);
    },
    error: (e) => end('error', 'Video encoder: ' + e.message),
  });
  encoder.configure(encoderConfig(codec, width, height, fps));
  return encoder;
}

function base64(description) {
  const bytes = description instanceof ArrayBuffer ? new Uint8Array(description)
    : new Uint8Array(description.buffer, description.byteOffset, description.byteLength);
  let text = '';
  for (const b of bytes) text += String.fromCharCode(b);
  return btoa(text);
}

async function pumpVideo(reader, frame, width, height, fps) {
  const t0 = frame.timestamp;
  const frameUs = 1e6 / fps;
  let nextDue = 0, lastKey = -Infinity;
  let canvas = null;
  while (frame) {
    notePictureClock(frame);
    const t = frame.timestamp - t0;
    const backlogged = rec.encoder.encodeQueueSize > 2 || !rec.ws || rec.ws.bufferedAmount > MAX_SOCKET_BACKLOG;
    if (t >= nextDue - frameUs / 2 && !backlogged && rec.encoder.state === 'configured') {
      nextDue = Math.max(nextDue + frameUs, t);
      // A tab resized while recording is scaled to the size announced in "start".
      let input = frame;
      if (frame.displayWidth !== width || frame.displayHeight !== height) {
        canvas = canvas || new OffscreenCanvas(width, height);
        canvas.getContext('2d').drawImage(frame, 0, 0, width, height);
        input = new VideoFrame(canvas, { timestamp: frame.timestamp });
      }
      const keyFrame = t - lastKey >= KEY_FRAME_INTERVAL_US;
      if (keyFrame) lastKey = t;
      const shifted = new VideoFrame(input, { timestamp: t });
      rec.encoder.encode(shifted, { keyFrame });
      shifted.close();
      if (input !== frame) input.close();
    }
    frame.close();
    // A stop ends the tracks; what they had captured before still arrives and is recorded.
    const r = rec && rec.encoder.state === 'configured' ? await reader.read() : { done: true };
    frame = r.done || !rec ? (r.value && r.value.close(), null) : r.value;
  }
}

async function pumpAudio(reader, firstRead, channels) {
  let r = await firstRead;
  // Without Torvane's clock offset: the first pictures arrive late while the capture starts up,
  // which makes the clocks' distance look smaller; the browser keeps the sound
  // (AUDIO_BUFFER_BLOCKS) while it settles.
  if (rec.clockOffsetUs === undefined) await new Promise((s) => setTimeout(s, SETTLE_MS));
  while (!r.done && rec) {
    sendAudio(r.value, channels);
    r.value.close();
    r = await reader.read();
  }
  if (r.value) r.value.close();
}

function sendAudio(data, channels) {
  const frames = data.numberOfFrames;
  const msg = new ArrayBuffer(20 + frames * channels * 4);
  const view = new DataView(msg);
  view.setUint8(0, 0x61);
  view.setBigInt64(1, BigInt(soundTime(data)), true);
  view.setUint32(9, data.sampleRate, true);
  view.setUint16(13, channels, true);
  view.setInt32(15, frames, true);
  const out = new Float32Array(msg, 20);
  const plane = new Float32Array(frames);
  for (let c = 0; c < channels; c++) {
    // Planar copies are what every Chromium converts to; interleave here. A mono block in a
    // stereo recording goes to both sides.
    data.copyTo(plane, { planeIndex: Math.min(c, data.numberOfChannels - 1), format: 'f32-planar' });
    for (let i = 0; i < frames; i++) out[i * channels + c] = plane[i];
  }
  send(msg);
}

// Ends the recording once, keeping everything captured up to now: the tracks end, what they
// had captured is read and encoded, the encoder is flushed, and Torvane hears "stop" once the
// last packet is on its way (when Torvane asked for the stop it waits for this, at most 2 s).
async function end(reason, detail) {
  if (!rec || rec.stopping) return;
  const r = rec;
  r.stopping = true;
  // What the tab showed just before the stop is still on its way through the capture.
  if (r.stream) await new Promise((s) => setTimeout(s, IN_FLIGHT_MS));
  if (r.stream) r.stream.getTracks().forEach((t) => t.stop());
  const drained = Promise.all(r.pumps || []);
  await Promise.race([drained, new Promise((s) => setTimeout(s, DRAIN_MS))]);
  for (const reader of r.readers || []) reader.cancel().catch(() => {});
  if (r.audioContext) r.audioContext.close().catch(() => {});
  if (r.encoder && r.encoder.state === 'configured') {
    try { await r.encoder.flush(); } catch (_) { /* closed by an error */ }
  }
  if (r.ws) {
    r.ws.onclose = null;
    if (r.ws.readyState === WebSocket.OPEN) {
      r.ws.send(JSON.stringify({ type: 'stop' }));
      // Give queued media a moment to leave before the socket closes.
      for (let i = 0; i < 50 && r.ws.bufferedAmount > 0; i++) await new Promise((s) => setTimeout(s, 20));
    }
    r.ws.close(1000);
  }
  rec = null;
  report('ended', reason, detail);
}
