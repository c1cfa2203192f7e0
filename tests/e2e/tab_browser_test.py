#!/usr/bin/env python3
"""Records a tab with the shipped extension in a real headless Chromium into Torvane (given its
executable) and decodes the file: H.264 at the tab's size with the page's colours, AAC with its tone,
each burst within 45 ms of its flash, and the last picture the one shown when the stop was sent.
Exit 77 (skipped) only when Chromium is missing or cannot start.
"""
import glob, json, math, os, statistics, shutil, socket, struct, subprocess, sys, tempfile, time
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'bench'))
from tab_media_check import av_offsets, ffmpeg, frames, last_code  # noqa: E402  (shared with the benchmark)

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXT_DIR = os.path.join(ROOT, 'extension')
EXT_ID = 'coaipahlfnecbcalaimcgaboillcmpol'  # fixed by the manifest's "key"
PAGE = 'file://' + os.path.join(ROOT, 'tests', 'e2e', 'tab_test_page.html')

def skip(why):
    print('SKIP: ' + why)
    sys.exit(77)

CHROMIUM = shutil.which('chromium') or shutil.which('chromium-browser') or skip('chromium is not installed')

class Browser:
    """Chromium driven through the DevTools protocol over --remote-debugging-pipe."""
    def __init__(self, profile):
        to_chrome, self.w = os.pipe()
        self.r, from_chrome = os.pipe()
        args = [CHROMIUM, '--headless=new', '--no-sandbox', '--user-data-dir=' + profile,
                '--remote-debugging-pipe', '--enable-unsafe-extension-debugging',
                '--load-extension=' + EXT_DIR, '--disable-extensions-except=' + EXT_DIR,
                '--allowlisted-extension-id=' + EXT_ID, '--autoplay-policy=no-user-gesture-required',
                '--no-first-run', '--window-size=1280,800', 'about:blank']  # room for the time code
        home = os.path.dirname(profile)  # Chromium writes beside its profile too (~/.pki, caches)
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=home, XDG_CACHE_HOME=home)
        self.proc = subprocess.Popen(args, pass_fds=(3, 4), env=env, stdout=subprocess.DEVNULL,
                                     preexec_fn=lambda: (os.dup2(to_chrome, 3), os.dup2(from_chrome, 4)),
                                     stderr=open(profile + '.log', 'w'))
        os.close(to_chrome), os.close(from_chrome)
        self.buf, self.next_id = b'', 0

    def call(self, method, params=None, session=None):
        self.next_id += 1
        msg = {'id': self.next_id, 'method': method, 'params': params or {}}
        if session:
            msg['sessionId'] = session
        os.write(self.w, json.dumps(msg).encode() + b'\0')
        while True:
            while b'\0' not in self.buf:
                chunk = os.read(self.r, 65536)
                if not chunk:
                    raise RuntimeError('Chromium closed the DevTools pipe')
                self.buf += chunk
            line, self.buf = self.buf.split(b'\0', 1)
            reply = json.loads(line)
            if reply.get('id') == self.next_id:
                if 'error' in reply:
                    raise RuntimeError('%s: %s' % (method, reply['error']))
                return reply['result']

    def attach(self, target_id):
        return self.call('Target.attachToTarget', {'targetId': target_id, 'flatten': True})['sessionId']

    def eval(self, session, expr):
        r = self.call('Runtime.evaluate', {'expression': expr, 'awaitPromise': True,
                                           'returnByValue': True}, session)
        assert 'exceptionDetails' not in r, (expr, r.get('exceptionDetails'))
        return r['result'].get('value')

    def worker(self):
        for _ in range(50):
            for t in self.call('Target.getTargets')['targetInfos']:
                if t['type'] == 'service_worker' and EXT_ID in t['url']:
                    return self.attach(t['targetId'])
            time.sleep(0.1)
        raise AssertionError('the extension did not load')  # a fault, not a reason to skip

def wait_until(cond, what, timeout=30):
    end = time.monotonic() + timeout  # a generous bound against hanging, not a measurement
    while not (got := cond()):
        if time.monotonic() > end:
            raise AssertionError('timed out waiting for ' + what)
        time.sleep(0.1)
    return got

def check_tone(samples, rate):
    # The strongest frequency (4 Hz steps, Goertzel) in a second from the middle: unlike zero
    # crossings, it stays put when a busy machine drops a few sound blocks.
    part = samples[len(samples) // 3:][:rate]
    def power(f):
        k, s1, s2 = 2 * math.cos(2 * math.pi * f / rate), 0.0, 0.0
        for x in part:
            s1, s2 = x + k * s1 - s2, s1
        return s1 * s1 + s2 * s2 - k * s1 * s2
    freq, rms = max(range(300, 601, 4), key=power), math.sqrt(sum(x * x for x in part) / len(part))
    assert freq == 440 and rms > 0.1, (freq, rms)

def start_torvane(exe, work):
    """Torvane in a home of its own, recording into `videos` with its tab server on a free port."""
    home, videos = os.path.join(work, 'home'), os.path.join(work, 'videos')
    os.makedirs(os.path.join(home, '.config', 'torvane')), os.makedirs(videos)
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        port = s.getsockname()[1]
    with open(os.path.join(home, '.config', 'torvane', 'settings.ini'), 'w') as f:
        f.write('[OutPutFileSett]\nRecordingPath=%s\n[TabCaptureSett]\nWebSocketPort=%d\n' % (videos, port))
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=home + '/.config', XDG_DATA_HOME=home + '/.local',
               XDG_CACHE_HOME=home + '/.cache')
    proc = subprocess.Popen([exe], env=env, stdout=subprocess.DEVNULL,
                            stderr=open(work + '/torvane.log', 'w'))
    wait_until(lambda: socket.socket().connect_ex(('127.0.0.1', port)) == 0, 'Torvane to listen')
    return proc, port, videos

def check_file(videos, view, stop_code):
    def finished():  # ffprobe fails until the recording is closed and its index written
        # The crash journal lies beside the file until it is closed; it is not the recording.
        files = glob.glob(os.path.join(videos, 'tabcapture_*.mp4'))
        done = files and not os.path.exists(files[0] + '.journal')
        return done and subprocess.run(['ffprobe', '-v', 'error', files[0]]).returncode == 0 and files[0]
    path = wait_until(finished, 'Torvane to finish the file')
    streams = json.loads(subprocess.run(['ffprobe', '-v', 'error', '-show_streams', '-of', 'json', path],
                                        capture_output=True, check=True).stdout)['streams']
    v, a = [next(s for s in streams if s['codec_type'] == t) for t in ('video', 'audio')]
    w, h = view[0] & ~1, view[1] & ~1
    assert (v['codec_name'], v['width'], v['height'], a['codec_name']) == ('h264', w, h, 'aac'), (v, a)
    # Headless Chromium's tab pictures are BT.601 though its H.264 says BT.709 (a real desktop's
    # GPU capture is BT.709): read them as what they are.
    # A second before the picture's end (the sound may run on after it).
    rgb = ffmpeg('-ss', str(max(0.0, float(v['duration']) - 1)), '-i', path, '-frames:v', '1',
                 '-vf', 'scale=in_color_matrix=bt601,format=rgb24', '-f', 'rawvideo', '-pix_fmt', 'rgb24', '-')
    assert len(rgb) == w * h * 3, 'no picture decoded'
    for (fx, fy), colour in zip([(.25, .25), (.75, .25), (.25, .75), (.75, .75)],
                                [(255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 0)]):
        px = rgb[(int(fy * h) * w + int(fx * w)) * 3:][:3]
        assert all(abs(a - b) < 40 for a, b in zip(px, colour)), (fx, fy, tuple(px), colour)
    pcm = ffmpeg('-i', path, '-ac', '1', '-f', 'f32le', '-')
    check_tone(struct.unpack('<%df' % (len(pcm) // 4), pcm), int(a['sample_rate']))
    pts, decoded = frames(path)
    flashes, bursts, offsets = av_offsets(path, pts, decoded, float(a['start_time']))
    print('%d flashes, %d bursts, sound after picture by %s ms' % (len(flashes), len(bursts),
                                                                   [round(o, 1) for o in offsets]))
    # A busy browser stamps a picture tens of ms off when it shows it: the typical pair counts.
    assert offsets and abs(statistics.median(offsets)) <= 45, offsets
    # Nothing the tab showed before the stop is lost: the last picture is at most the frame the
    # tab drew before it (two frames of 30 fps on a busy machine).
    last = last_code(decoded)
    print('last picture at page time %s ms, stop sent at %.0f ms' % (last, stop_code))
    assert last is not None and last >= stop_code - 67, (last, stop_code)

def main(work, exe):
    torvane = None
    browser = Browser(os.path.join(work, 'profile'))
    try:
        try:
            worker = browser.worker()
        except RuntimeError as e:
            skip('chromium cannot run here: %s' % e)
        # The options page stores the port the extension connects to.
        opts = browser.attach(browser.call('Target.createTarget', {
            'url': 'chrome-extension://%s/options.html' % EXT_ID})['targetId'])
        wait_until(lambda: browser.eval(opts, 'document.getElementById("port")?.value') == '8765',
                   'the options page to show the default port')
        torvane, port, videos = start_torvane(exe, work)
        browser.eval(opts, 'document.getElementById("port").value = %d;'
                           'document.getElementById("save").click()' % port)
        wait_until(lambda: browser.eval(worker, 'chrome.storage.local.get("port").then(s => s.port)')
                   == port, 'the options page to save the port')

        page = browser.attach(browser.call('Target.createTarget', {'url': PAGE})['targetId'])
        wait_until(lambda: browser.eval(page, 'typeof osc == "object" && audio.state') == 'running',
                   'the page tone')
        view = browser.eval(page, '[innerWidth, innerHeight]')
        badge = lambda: browser.eval(worker, 'chrome.action.getBadgeText({})')
        # The action belongs to the tab, which is a target of its own above the page.
        tab = next(t['targetId'] for t in browser.call('Target.getTargets', {'filter': [{'type': 'tab'}]})
                   ['targetInfos'] if t['url'] == PAGE)
        click = lambda: browser.call('Extensions.triggerAction', {'id': EXT_ID, 'targetId': tab})
        click()
        wait_until(lambda: badge() == 'REC', 'the REC badge')
        time.sleep(5)  # the length of the recording: two flashes
        stop_code = browser.eval(page, 'pageTime()')
        click()
        wait_until(lambda: badge() == '', 'the badge to clear')
        check_file(videos, view, stop_code)
        print('PASS: a %dx%d tab recorded through the extension' % tuple(view))
    finally:
        browser.proc.kill(), browser.proc.wait()
        torvane and torvane.kill()

if __name__ == '__main__':
    with tempfile.TemporaryDirectory(prefix='torvane-tab-', ignore_cleanup_errors=True) as work:
        main(work, sys.argv[1])
