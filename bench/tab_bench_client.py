#!/usr/bin/python3
"""Plays an IVF file of VP8 frames with a float stereo tone into Torvane's tab capture server at
real-time pace, as the browser extension would, then stops.

Usage: tab_bench_client.py <port> <stream.ivf> <fps>
Prints "sent_video=<n> sent_audio=<n> overloads=<n> late_ms=<n>" when done; late_ms is how far
the sender fell behind its schedule at worst (a busy client, not Torvane).
"""
import asyncio, getpass, json, math, os, struct, sys, tempfile, time

import websockets

RATE, CHANNELS, CHUNK = 48000, 2, 480  # 10 ms of sound a message


def ivf_frames(path):
    with open(path, 'rb') as f:
        header = f.read(32)
        if header[:4] != b'DKIF':
            sys.exit('tab_bench_client.py: %s is not an IVF file' % path)
        width, height = struct.unpack_from('<HH', header, 12)
        frames = []
        while True:
            head = f.read(12)
            if len(head) < 12:
                break
            size = struct.unpack_from('<I', head)[0]
            frames.append(f.read(size))
    return width, height, frames


def torvane_token():
    """The per-user secret a client without an Origin header proves itself with."""
    folder = os.environ.get('XDG_RUNTIME_DIR') or \
        os.path.join(tempfile.gettempdir(), 'runtime-' + getpass.getuser())
    with open(os.path.join(folder, 'torvane', 'tab-token')) as f:
        return f.read().strip()


def audio_message(ts_us, first_sample):
    # A 440 Hz tone, so the sound track carries something an encoder has to work on.
    samples = []
    for i in range(first_sample, first_sample + CHUNK):
        v = 0.3 * math.sin(2 * math.pi * 440 * i / RATE)
        samples += (v, v)
    return b'a' + struct.pack('<qIHi', ts_us, RATE, CHANNELS, CHUNK) + \
        struct.pack('<%df' % len(samples), *samples)


async def run(port, path, fps):
    width, height, frames = ivf_frames(path)
    # Built before the clock starts, so the sender's own work stays out of the pacing.
    videos = [b'v' + struct.pack('<qii', i * 1000000 // fps, width, height) + frame
              for i, frame in enumerate(frames)]
    chunks = len(frames) * 100 // fps
    audios = [audio_message(i * 10000, i * CHUNK) for i in range(chunks)]
    overloads = 0

    url = 'ws://127.0.0.1:%d/?token=%s' % (port, torvane_token())
    async with websockets.connect(url, max_size=None) as ws:
        async def receive():
            nonlocal overloads
            async for m in ws:
                if isinstance(m, str) and json.loads(m).get('type') == 'overload':
                    overloads += 1

        await ws.recv()  # "config"
        await ws.send(json.dumps({'type': 'start', 'width': width, 'height': height,
                                  'frameRate': fps, 'videoCodec': 'vp8',
                                  'audioSampleRate': RATE, 'audioChannels': CHANNELS}))
        reply = json.loads(await ws.recv())
        if reply.get('type') != 'started':
            sys.exit('tab_bench_client.py: the server answered %s' % reply)
        print('started', flush=True)
        listener = asyncio.ensure_future(receive())

        # Both kinds merged by time stamp and sent when their time comes.
        events = sorted([(i * 1000000 // fps, 0, m) for i, m in enumerate(videos)] +
                        [(i * 10000, 1, m) for i, m in enumerate(audios)], key=lambda e: e[:2])
        start, late = time.monotonic(), 0.0
        for ts_us, _, message in events:
            delay = start + ts_us / 1e6 - time.monotonic()
            if delay > 0:
                await asyncio.sleep(delay)
            else:
                late = max(late, -delay)
            await ws.send(message)
        await ws.send(json.dumps({'type': 'stop'}))
        # The server answers nothing to "stop"; a moment for a late "overload" to arrive.
        await asyncio.sleep(0.5)
        listener.cancel()
    print('sent_video=%d sent_audio=%d overloads=%d late_ms=%.0f'
          % (len(videos), len(audios), overloads, late * 1000), flush=True)


if __name__ == '__main__':
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    asyncio.run(run(int(sys.argv[1]), sys.argv[2], int(sys.argv[3])))
