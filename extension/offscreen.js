// Captures one tab and streams it to Torvane: VP8 packets from WebCodecs and the sound as
// 32-bit float samples, in Torvane's binary layouts (little-endian, no padding):
//   video: 'v', int64 timestamp (us), int32 width, int32 height, packet
//   audio: 'a', int64 timestamp (us), uint32 rate, uint16 channels, int32 frames, 1 spare
//          byte, interleaved float32 samples

// Torvane needs a key frame at least every 2 s; aiming at 1.5 s keeps that when frames
// are skipped or a still tab sends few.
const KEY_FRAME_INTERVAL_US = 1500000;
const MAX_SOCKET_BACKLOG = 16 * 1024 * 1024; // bytes not yet sent before frames are dropped
const FIRST_AUDIO_WAIT_MS = 1500;

let rec = null; // the running recording, or null

chrome.runtime.onMessage.addListener((msg) => {
  if (msg.target !== 'offscreen') return;
  if (msg.type === 'start' && !rec) {
    start(msg.streamId, msg.port).catch((e) => end('error', e.message || String(e)));
  } else if (msg.type === 'stop') {
    end('stopped', '', true);
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

// The first "config" tells the frame rate Torvane records at; an older server may not send it.
function waitForConfig(ws, ms) {
  return new Promise((resolve) => {
    const timer = setTimeout(() => resolve(30), ms);
    ws.onmessage = (ev) => {
      try {
        const m = JSON.parse(ev.data);
        if (m.type === 'config') {
          clearTimeout(timer);
          resolve(m.frameRate > 0 ? Math.min(m.frameRate, 60) : 30);
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
  ws.onclose = (ev) => end(ev.reason ? 'error' : 'stopped', ev.reason || 'Torvane closed the connection');
  const fps = await waitForConfig(ws, 1000);
  if (!rec) return;
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
  stream.getVideoTracks()[0].addEventListener('ended', () => end('stopped', '', true));

  // Capturing a tab mutes it; playing the captured sound keeps it audible to the user.
  const audioTrack = stream.getAudioTracks()[0];
  if (audioTrack) {
    rec.audioContext = new AudioContext();
    rec.audioContext.createMediaStreamSource(stream).connect(rec.audioContext.destination);
  }

  const videoReader = new MediaStreamTrackProcessor({ track: stream.getVideoTracks()[0] }).readable.getReader();
  const audioReader = audioTrack
    ? new MediaStreamTrackProcessor({ track: audioTrack }).readable.getReader() : null;
  rec.readers = [videoReader, audioReader].filter(Boolean);

  // The first frame and the first sound block give the real size and sample rate.
  const first = await videoReader.read();
  if (first.done || !rec) { if (first.value) first.value.close(); return; }
  const width = first.value.displayWidth & ~1, height = first.value.displayHeight & ~1;
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

  send(JSON.stringify({
    type: 'start', width, height, frameRate: fps,
    audioSampleRate: sampleRate, audioChannels: audioTrack ? channels : 0, videoCodec: 'vp8',
  }));
  rec.encoder = makeEncoder(width, height, fps);
  pumpVideo(videoReader, first.value, width, height, fps);
  if (audioFirst) pumpAudio(audioReader, audioFirst, channels);
}

function onServerMessage(ev) {
  if (typeof ev.data !== 'string') return;
  let m;
  try { m = JSON.parse(ev.data); } catch (_) { return; }
  if (m.type === 'started') report('recording');
  else if (m.type === 'busy') end('busy', 'Torvane is already recording the screen');
  else if (m.type === 'error') end('error', m.reason || 'Torvane could not record');
  else if (m.type === 'overload') console.warn('Torvane: encoder falling behind; it will stop the recording');
  else if (m.type === 'stopRecording') end('stopped', '', false);
  // "config" after the start only matters for the next recording.
}

function send(data) {
  if (rec && rec.ws && rec.ws.readyState === WebSocket.OPEN) rec.ws.send(data);
}

function makeEncoder(width, height, fps) {
  const encoder = new VideoEncoder({
    output: (chunk) => {
      const msg = new ArrayBuffer(17 + chunk.byteLength);
      const view = new DataView(msg);
      view.setUint8(0, 0x76);
      view.setBigInt64(1, BigInt(chunk.timestamp), true);
      view.setInt32(9, width, true);
      view.setInt32(13, height, true);
      chunk.copyTo(new Uint8Array(msg, 17));
      send(msg);
    },
    error: (e) => end('error', 'Video encoder: ' + e.message),
  });
  encoder.configure({
    codec: 'vp8', width, height, framerate: fps, latencyMode: 'realtime',
    bitrate: Math.max(1000000, Math.round(width * height * fps * 0.1)),
  });
  return encoder;
}

async function pumpVideo(reader, frame, width, height, fps) {
  const t0 = frame.timestamp;
  const frameUs = 1e6 / fps;
  let nextDue = 0, lastKey = -Infinity;
  let canvas = null;
  while (frame) {
    const t = frame.timestamp - t0;
    const backlogged = rec.encoder.encodeQueueSize > 2 || rec.ws.bufferedAmount > MAX_SOCKET_BACKLOG;
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
    if (!rec || rec.stopping) return;
    const r = await reader.read();
    frame = r.done || !rec || rec.stopping ? (r.value && r.value.close(), null) : r.value;
  }
}

async function pumpAudio(reader, firstRead, channels) {
  let r = await firstRead;
  while (!r.done && rec && !rec.stopping) {
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
  view.setBigInt64(1, BigInt(Math.round(data.timestamp)), true);
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

// Ends the recording once. A user's stop flushes the encoder and tells Torvane "stop";
// when Torvane ended it ("stopRecording", busy, closed socket) there is nobody to tell.
async function end(reason, detail, tellServer) {
  if (!rec || rec.stopping) return;
  const r = rec;
  r.stopping = true;
  for (const reader of r.readers || []) reader.cancel().catch(() => {});
  if (r.stream) r.stream.getTracks().forEach((t) => t.stop());
  if (r.audioContext) r.audioContext.close().catch(() => {});
  if (r.encoder && r.encoder.state === 'configured') {
    try { await r.encoder.flush(); } catch (_) { /* closed by an error */ }
  }
  if (r.ws) {
    r.ws.onclose = null;
    if (tellServer && r.ws.readyState === WebSocket.OPEN) {
      r.ws.send(JSON.stringify({ type: 'stop' }));
      // Give queued media a moment to leave before the socket closes.
      for (let i = 0; i < 50 && r.ws.bufferedAmount > 0; i++) await new Promise((s) => setTimeout(s, 20));
    }
    r.ws.close(1000);
  }
  rec = null;
  report('ended', reason, detail);
}
