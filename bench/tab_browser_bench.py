#!/usr/bin/env python3
"""Records tests/e2e/tab_test_page.html with the extension in a real headless Chromium into Torvane
and measures the file. Run through bench/run_tab_browser_bench.sh, which provides the private
display, sound server and home. Usage: tab_browser_bench.py <build-dir>

Each run starts a fresh Torvane (30 fps) and Chromium, sizes the page, counts its animation frames
for 5 s, records BENCH_SECONDS and stops from Torvane's side (`torvane --stop`), then records
BENCH_TAIL_SECONDS more and stops from the extension's side (its button). One line per run:
  size=<w>x<h> distinct_fps=<n> tab_fps=<n> tab_fps_idle=<n> av_offset_ms=<first>/<last>
  tail_lost_ms=<torvane-stop>/<extension-stop> cpu_ratio=<n> codec=<video codec>
after a line with the busiest thread of Chromium and its page faults while recording, and
then, per size, the spread of each figure over the runs as min/median/max.
"""
import datetime, glob, json, os, re, resource, signal, socket, statistics, subprocess, sys
import tempfile, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, 'tests', 'e2e'))
import tab_browser_test as tbt  # noqa: E402  (exits 77 when Chromium is missing)
from tab_browser_test import Browser, EXT_ID, wait_until  # noqa: E402
import tab_media_check as tmc  # noqa: E402

tbt.EXT_DIR = os.path.realpath(os.environ.get('TAB_EXTENSION_DIR') or os.path.join(ROOT, 'extension'))
PAGE = 'file://' + os.path.join(ROOT, 'tests', 'e2e', 'tab_test_page.html')
FPS = 30  # the recording's frame rate
CLK = os.sysconf('SC_CLK_TCK')


class Failure(Exception):
    pass


def log_tail(path, lines=15):
    try:
        with open(path, errors='replace') as f:
            return ''.join(f.readlines()[-lines:])
    except OSError:
        return '(no log)'


def start_torvane(exe, work):
    """Torvane in a home of its own at 30 fps, its tab server on a free port; also its env."""
    home, videos = os.path.join(work, 'home'), os.path.join(work, 'videos')
    os.makedirs(os.path.join(home, '.config', 'torvane')), os.makedirs(videos)
    with socket.create_server(('127.0.0.1', 0)) as s:
        port = s.getsockname()[1]
    with open(os.path.join(home, '.config', 'torvane', 'settings.ini'), 'w') as f:
        f.write('[OutPutFileSett]\nRecordingPath=%s\n[TabCaptureSett]\nWebSocketPort=%d\n'
                '[VideoSett]\nfps=%d\n' % (videos, port, FPS))
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=home + '/.config',
               XDG_DATA_HOME=home + '/.local', XDG_CACHE_HOME=home + '/.cache')
    try:
        proc = subprocess.Popen([exe], env=env, stdout=subprocess.DEVNULL,
                                stderr=open(work + '/torvane.log', 'w'))
    except OSError as e:
        raise Failure('Torvane does not start: %s' % e)
    def listening():
        if proc.poll() is not None:
            raise Failure('Torvane exited with %s:\n%s' % (proc.returncode, log_tail(work + '/torvane.log')))
        return socket.socket().connect_ex(('127.0.0.1', port)) == 0
    wait_until(listening, 'Torvane to listen')
    return proc, port, videos, env


def stop_logged(work):
    """Wall-clock time of the last stop command in Torvane's run log, or None."""
    lines = [l for p in glob.glob(work + '/home/.config/torvane/Log/*.log') for l in open(p, errors='replace')
             if re.match(r'\S+ \S+ +\[\w+\] Command stop ', l)]
    return lines and datetime.datetime.strptime(' '.join(lines[-1].split()[:2]),
                                                '%Y-%m-%d %H:%M:%S.%f').timestamp()


def stat_fields(path):
    """The fields of a /proc stat file after the name, and the name."""
    text = open(path).read()
    return text.rsplit(')', 1)[1].split(), text.split('(', 1)[1].rsplit(')', 1)[0]


def cpu_seconds(pid):
    fields, _ = stat_fields('/proc/%d/stat' % pid)
    return (int(fields[11]) + int(fields[12])) / CLK


def browser_sample(root):
    """CPU ticks of each thread of Chromium's processes (by process and name), and their page
    faults: where the browser's own time goes while it is captured."""
    parent = {}
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            parent[int(pid)] = int(stat_fields('/proc/%s/stat' % pid)[0][1])
        except (OSError, IndexError, ValueError):
            pass  # gone meanwhile
    family, grew = {root}, True
    while grew:
        more = {p for p, pp in parent.items() if pp in family} - family
        family |= more
        grew = bool(more)
    ticks, faults = {}, 0
    for pid in family:
        try:
            faults += int(stat_fields('/proc/%d/stat' % pid)[0][7])
            for tid in os.listdir('/proc/%d/task' % pid):
                fields, name = stat_fields('/proc/%d/task/%s/stat' % (pid, tid))
                ticks[(pid, tid, name)] = int(fields[11]) + int(fields[12])
        except (OSError, IndexError, ValueError):
            pass
    return ticks, faults


def browser_load(before, after, seconds):
    """The busiest Chromium thread over the interval (name, CPU-s/s) and page faults a second."""
    busiest = max(((t - before[0].get(k, 0), k[2]) for k, t in after[0].items()), default=(0, '?'))
    return busiest[1], busiest[0] / CLK / seconds, (after[1] - before[1]) / seconds


def wait_file(videos, known):
    """The next finished recording: its journal gone and its index readable."""
    def finished():
        new = [p for p in glob.glob(os.path.join(videos, 'tabcapture_*')) if p not in known
               and not p.endswith('.journal')]
        ok = new and not os.path.exists(new[0] + '.journal') and subprocess.run(
            ['ffprobe', '-v', 'error', new[0]], capture_output=True).returncode == 0
        return ok and new[0]
    wait_until(finished, 'Torvane to finish the file', 60)
    return finished()


def probe(path):
    info = json.loads(subprocess.run(['ffprobe', '-v', 'error', '-show_streams', '-show_format',
                                      '-of', 'json', path], capture_output=True, check=True).stdout)
    v, a = [next((s for s in info['streams'] if s['codec_type'] == t), None) for t in ('video', 'audio')]
    return v, a, info['format']


def measure(path):
    v, a, container = probe(path)
    if not v:
        raise Failure('no video stream in ' + path)
    pts, decoded = tmc.frames(path)
    codes = [c for c, _ in decoded if c is not None]
    distinct = sum(1 for p, c in zip([None] + codes, codes) if c != p)
    span = float(container.get('duration', 0))
    flashes, sound, pairs = (tmc.av_offsets(path, pts, decoded, float(a.get('start_time', 0))) if a
                             else ([], [], []))
    last = tmc.last_code(decoded)
    return dict(distinct_fps=distinct / span if span else 0, codec=v['codec_name'], pairs=pairs,
                last_code=last, frames=len(pts), unreadable=len(pts) - len(codes),
                flashes=len(flashes), onsets=len(sound), size='%sx%s' % (v['width'], v['height']))


def cpu_floor(build, path, work):
    """CPU seconds of the ffmpeg command line decoding the file and encoding it again with the
    file's own libx264 settings (bench/capture_bench encode-args) and AAC for the sound."""
    v, a, _ = probe(path)
    args = ['-c:v', 'libx264', '-preset', 'ultrafast', '-tune', 'zerolatency', '-f', 'mp4']
    tool = os.path.join(build, 'bench', 'capture_bench')
    if v['codec_name'] == 'h264' and os.access(tool, os.X_OK):
        got = subprocess.run([tool, 'encode-args', path, str(FPS), '%sx%s' % (v['width'], v['height']),
                              'unused.yuv', 'x'], capture_output=True, text=True)
        if got.returncode == 0:
            lines = got.stdout.split('\n')
            args = lines[lines.index('-i') + 2:-2]  # after the raw input, before the output name
    if a:
        args += ['-c:a', 'aac', '-b:a', a.get('bit_rate', '128000')]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    # Exactly the file's pictures, none repeated to fill a constant rate.
    tbt.ffmpeg('-y', '-i', path, *args, '-fps_mode', 'passthrough', os.path.join(work, 'floor.mp4'))
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime


def run(build, size, seconds, tail_seconds):
    width, height = map(int, size.split('x'))
    exe = os.path.join(build, 'torvane')
    with tempfile.TemporaryDirectory(prefix='torvane-tabbench-', ignore_cleanup_errors=True) as work:
        torvane, port, videos, env = start_torvane(exe, work)
        browser = Browser(os.path.join(work, 'profile'))
        try:
            try:
                worker = browser.worker()
            except (RuntimeError, AssertionError) as e:
                raise Failure('Chromium failed (%s):\n%s' % (e, log_tail(work + '/profile.log')))
            # The port as the options page stores it, once the worker's API is there.
            wait_until(lambda: browser.eval(worker, 'typeof chrome == "object" && !!chrome.storage'),
                       'the extension\'s worker')
            browser.eval(worker, 'chrome.storage.local.set({port: %d})' % port)
            tab = browser.call('Target.createTarget', {'url': PAGE, 'newWindow': True})['targetId']
            page = browser.attach(tab)
            window = browser.call('Browser.getWindowForTarget', {'targetId': tab})['windowId']
            def sized():  # the window's frame around the page differs between versions
                iw, ih, ow, oh = browser.eval(page, '[innerWidth, innerHeight, outerWidth, outerHeight]')
                if (iw, ih) != (width, height):
                    browser.call('Browser.setWindowBounds', {'windowId': window, 'bounds': {
                        'width': width + ow - iw, 'height': height + oh - ih}})
                return (iw, ih) == (width, height)
            wait_until(sized, 'the page to be %s' % size, 10)
            wait_until(lambda: browser.eval(page, 'typeof audio == "object" && audio.state') == 'running',
                       'the page tone')
            ticks = lambda: browser.eval(page, '[rafCount, performance.now()]')
            rate = lambda a, b: (b[0] - a[0]) * 1000 / (b[1] - a[1])
            badge = lambda: browser.eval(worker, 'chrome.action.getBadgeText({})')
            # The action belongs to the tab, a target of its own above the page.
            owner = next(t['targetId'] for t in browser.call('Target.getTargets', {'filter': [
                {'type': 'tab'}]})['targetInfos'] if t['url'] == PAGE)
            click = lambda: browser.call('Extensions.triggerAction', {'id': EXT_ID, 'targetId': owner})
            def badge_is(text):
                got = badge()
                if got in ('ERR', 'BUSY'):
                    raise Failure('the extension says %s: %s' % (got, browser.eval(
                        worker, 'chrome.action.getTitle({})')))
                return got == text
            def why():  # what the button and Torvane's log say
                return ' (badge "%s", title "%s"); Torvane\'s log:\n%s' % (
                    badge(), browser.eval(worker, 'chrome.action.getTitle({})'), log_tail(max(
                        glob.glob(work + '/home/.config/torvane/Log/*.log') or [work + '/torvane.log'])))
            time.sleep(1)
            idle0 = ticks()
            time.sleep(5)
            result = {'tab_fps_idle': rate(idle0, ticks())}

            known = set()
            for kind, length in (('app', seconds), ('ext', tail_seconds)):
                click()
                try:
                    wait_until(lambda: badge_is('REC'), 'the REC badge')
                except AssertionError as e:
                    raise Failure(str(e) + why())
                # The browser's threads are read for the first stop only: a second read of
                # /proc would delay the extension's stop, whose tail is measured.
                chrome0 = browser_sample(browser.proc.pid) if kind == 'app' else None
                cpu0, rec0 = cpu_seconds(torvane.pid), ticks()
                time.sleep(length)
                rec1 = ticks()
                stop_code = browser.eval(page, 'pageTime()')
                if kind == 'app':
                    result['tab_fps'] = rate(rec0, rec1)
                    result['browser'] = browser_load(chrome0, browser_sample(browser.proc.pid),
                                                     length)
                    sent = time.time()
                    got = subprocess.run([exe, '--stop'], env=env, capture_output=True, text=True)
                    result['stop_cmd_ms'] = (time.time() - sent) * 1000
                    if got.returncode:
                        raise Failure('torvane --stop failed: ' + (got.stdout + got.stderr).strip() + why())
                    # The command's own start-up is not the recording's: the stop counts from
                    # when Torvane logged it, on the same wall clock.
                    heard = stop_logged(work)
                    result['stop_seen_ms'] = (heard - sent) * 1000 if heard else None
                    stop_code += result['stop_seen_ms'] or 0
                else:
                    click()
                wait_until(lambda: badge_is(''), 'the badge to clear')
                path = wait_file(videos, known)
                cpu = cpu_seconds(torvane.pid) - cpu0
                known.add(path)
                if os.environ.get('BENCH_KEEP'):
                    subprocess.run(['cp', path, os.environ['BENCH_KEEP']], check=True)
                m = measure(path)
                if m['last_code'] is None:
                    raise Failure('no readable time code in ' + path)
                result['tail_' + kind] = stop_code - m['last_code']
                if kind == 'app':
                    result['cpu'] = cpu
                    result.update(m)
                    result['floor'] = cpu_floor(build, path, work)
                    result['cpu_ratio'] = result['cpu'] / result['floor']
            if torvane.poll() is not None:
                raise Failure('Torvane exited:\n' + log_tail(work + '/torvane.log'))
            if os.environ.get('BENCH_KEEP'):
                subprocess.run(['cp', *glob.glob(work + '/home/.config/torvane/Log/*'), os.environ['BENCH_KEEP']])
            return result
        finally:
            browser.proc.kill(), browser.proc.wait()
            torvane.kill(), torvane.wait()


def line(size, r):
    p = r['pairs']
    offsets = '%.0f/%.0f' % (p[0], p[-1]) if p else 'none'
    return ('size=%s distinct_fps=%.1f tab_fps=%.1f tab_fps_idle=%.1f av_offset_ms=%s tail_lost_ms=%.0f/%.0f '
            'cpu_ratio=%.2f codec=%s' % (size, r['distinct_fps'], r['tab_fps'], r['tab_fps_idle'], offsets,
                                         r['tail_app'], r['tail_ext'], r['cpu_ratio'], r['codec']))


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit('tab_browser_bench: terminated'))  # runs the cleanups
    if len(sys.argv) != 2:
        sys.exit('usage: tab_browser_bench.py <build-dir>')
    build = os.path.realpath(sys.argv[1])
    if not os.access(os.path.join(build, 'torvane'), os.X_OK):
        sys.exit('tab_browser_bench: %s/torvane not found; build first' % build)
    seconds, tail = float(os.environ.get('BENCH_SECONDS', 20)), float(os.environ.get('BENCH_TAIL_SECONDS', 5))
    runs = int(os.environ.get('BENCH_RUNS', 3))
    sizes = os.environ.get('BENCH_SIZES', '1280x720 1920x1080').split()
    if not all(re.fullmatch(r'\d+x\d+', s) for s in sizes) or runs < 1:
        sys.exit('tab_browser_bench: BENCH_SIZES is a list of <w>x<h>, BENCH_RUNS at least 1')
    print('extension %s, %d cores, load%s' % (tbt.EXT_DIR, os.cpu_count(), os.getloadavg()))
    spreads = []
    for size in sizes:
        results = []
        for i in range(runs):
            try:
                r = run(build, size, seconds, tail)
            except (Failure, AssertionError, RuntimeError) as e:
                sys.exit('tab_browser_bench: %s run %d: %s' % (size, i + 1, e))
            print('  file %s: %d frames, %d without a readable time code, %d flashes, %d bursts, '
                  '%d pairs; cpu s Torvane %.2f, ffmpeg %.2f; torvane --stop took %.0f ms, logged after %s ms' % (
                      r['size'], r['frames'], r['unreadable'], r['flashes'], r['onsets'], len(r['pairs']),
                      r['cpu'], r['floor'], r['stop_cmd_ms'], '?' if r['stop_seen_ms'] is None else round(r['stop_seen_ms'])))
            print('  Chromium while recording: busiest thread %s %.2f cpu_per_s, page faults a second %.0f'
                  % r['browser'])
            print(line(size, r), flush=True)
            results.append(r)
        figures = {'distinct_fps': [r['distinct_fps'] for r in results],
                   'tab_fps': [r['tab_fps'] for r in results],
                   'tab_fps_idle': [r['tab_fps_idle'] for r in results],
                   'av_offset_first_ms': [r['pairs'][0] for r in results if r['pairs']],
                   'av_offset_last_ms': [r['pairs'][-1] for r in results if r['pairs']],
                   'tail_lost_app_ms': [r['tail_app'] for r in results],
                   'tail_lost_ext_ms': [r['tail_ext'] for r in results],
                   'cpu_ratio': [r['cpu_ratio'] for r in results],
                   'browser_thread_cpu': [r['browser'][1] for r in results]}
        spreads.append('spread size=%s runs=%d ' % (size, runs) + ' '.join(
            '%s=%s' % (k, '/'.join('%.4g' % f for f in (min(v), statistics.median(v), max(v))) if v else 'none')
            for k, v in figures.items()))
    print('load at end%s' % (os.getloadavg(),))
    print('\n'.join(spreads))


if __name__ == '__main__':
    main()
