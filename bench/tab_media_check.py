"""Reads a recording of tab_test_page.html: the time code each picture shows, the flashes and the
bursts, and how far the sound of each burst lies from its flash."""
import math, struct, subprocess

BLOCKS, BITS, PERIOD_MS = 22, 20, 2000  # as in the page
RATE = 16000  # the rate the sound is analysed at


def ffmpeg(*args):
    return subprocess.run(['ffmpeg', '-nostdin', '-v', 'error', *args], capture_output=True,
                          check=True).stdout


def frames(path):
    """Presentation times and, per frame, (time code or None, flash) from the time-code strip and
    a patch of the flash band, both averaged down to one grey value per block by ffmpeg."""
    listed = subprocess.run(['ffprobe', '-v', 'error', '-select_streams', 'v:0', '-show_entries',
                             'packet=pts_time', '-of', 'csv=p=0', path], capture_output=True, check=True)
    pts = sorted(float(x) for x in listed.stdout.split() if x != b'N/A')
    graph = ('[0:v]split[a][b];[a]crop=%d:48:0:0,scale=%d:1:flags=area[s];'
             '[b]crop=iw/2:ih/8:iw/4:ih*9/16,scale=1:1:flags=area[f];[s][f]hstack,format=gray'
             % (BLOCKS * 48, BLOCKS))
    raw = ffmpeg('-i', path, '-filter_complex', graph, '-fps_mode', 'passthrough', '-f', 'rawvideo', '-')
    out = []
    for i in range(0, len(raw) - BLOCKS, BLOCKS + 1):
        px = raw[i:i + BLOCKS + 1]
        bits = [p > 128 for p in px[:BLOCKS]]
        clear = all(p < 80 or p > 176 for p in px[:BLOCKS])
        valid = clear and bits[0] and sum(bits[1:BITS + 1]) % 2 == bits[BITS + 1]
        code = sum(b << (BITS - 1 - k) for k, b in enumerate(bits[1:BITS + 1])) if valid else None
        out.append((code, px[BLOCKS] > 128))
    assert len(out) == len(pts), '%d decoded frames but %d packets in %s' % (len(out), len(pts), path)
    return pts, out


def onsets(path, start):
    """Times where the 880 Hz burst starts: its amplitude over 10 ms windows in 2.5 ms steps
    (Goertzel) crossing half the burst's level, placed by linear interpolation."""
    pcm = ffmpeg('-i', path, '-map', '0:a:0', '-ac', '1', '-ar', str(RATE), '-f', 'f32le', '-')
    x = struct.unpack('<%df' % (len(pcm) // 4), pcm)
    n, step, k = RATE // 100, RATE // 400, 2 * math.cos(2 * math.pi * 880 / RATE)
    amps = []
    for i in range(0, len(x) - n, step):
        s1 = s2 = 0.0
        for v in x[i:i + n]:
            s1, s2 = v + k * s1 - s2, s1
        amps.append(math.sqrt(max(0.0, s1 * s1 + s2 * s2 - k * s1 * s2)))
    if not amps:
        return []
    level = sorted(amps)[int(len(amps) * 0.98)] / 2  # bursts fill 5 % of the time
    found = []
    for j in range(8, len(amps)):  # not a burst cut by the file's start
        if amps[j - 1] < level <= amps[j]:
            t = start + (j - 1 + (level - amps[j - 1]) / (amps[j] - amps[j - 1])) * step / RATE + n / 2 / RATE
            if not found or t - found[-1] > 1.0:
                found.append(t)
    return found


def av_offsets(path, pts, decoded, audio_start):
    """The flashes, the bursts and, per flash paired with its burst, the sound's lead (-) or lag
    in ms."""
    # A flash's first frame drawn `lag` ms after the burst's moment in page time (the page draws at
    # its own frame times) is moved back by that lag: what is left is the recording's offset.
    flashes = [t - (c % PERIOD_MS) / 1000 for i, (t, (c, on)) in enumerate(zip(pts, decoded))
               if on and c is not None and i > 0 and not decoded[i - 1][1]]
    sound = onsets(path, audio_start)
    # Each flash pairs with the burst nearest to where the last pair puts it: an offset that
    # drifts past a period is followed rather than taken for the next burst.
    pairs, drift = [], 0.0
    for f in flashes:
        o = min(sound, key=lambda o: abs(o - f - drift), default=f + 9)
        if abs(o - f - drift) < 0.5:
            drift = o - f
            pairs.append(drift * 1000)
    return flashes, sound, pairs


def last_code(decoded):
    return next((c for c, _ in reversed(decoded) if c is not None), None)
