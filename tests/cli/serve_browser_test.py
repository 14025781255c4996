#!/usr/bin/env python3
"""The serve page in headless Chromium, driven over the DevTools protocol on a
pipe (no driver library needed): the sample's maps appear, moving a control
brings new maps and a new command line, dragging the preview's light sets
--light and a mere click does not, the lit preview is not blank, moves that
cancel requests leave none of their maps behind, a photo opened while the page
loads stays, of photos opened the last one stays and the others' errors are not
shown, and every
slider can stand at its default, and an option whose value may be left out
can be ticked alone.
Exits 77 (skipped) when no Chromium is installed."""
import base64, json, os, shutil, signal, subprocess, sys, tempfile, time

CHECK_PAGE = r"""(async () => {
  const until = async (done, what) => {
    for (const end = Date.now() + 60000; !done(); await new Promise((r) => setTimeout(r, 50)))
      if (Date.now() > end) throw new Error('timed out waiting for ' + what + ': ' + document.getElementById('error')?.textContent);
  };
  await until(() => document.body?.dataset.maps, 'the first maps');
  const early = document.getElementById('name').textContent;
  const first = document.body.dataset.maps, before = document.getElementById('command').value;
  // Every slider stands at its option's default, where the number beside it says
  // (an upper limit left off: at the top).
  const offDefault = [...document.querySelectorAll('[data-option]')].filter((field) => {
    const range = field.querySelector('input[type=range]'), number = field.querySelector('input[type=number]');
    const top = field.dataset.option === 'clamp-high' && range.value !== range.max;
    return range && (top || (number.value !== '' && Number(range.value) !== Number(number.value)));
  }).map((field) => field.dataset.option);
  for (const colour of ['red', 'green', 'blue']) {  // the mortar is light: dark means high
    const box = document.querySelector(`[data-option="invert-${colour}"] input`);
    box.checked = true;
    box.dispatchEvent(new Event('change'));
  }
  document.getElementById('tiles').click();
  const tileable = document.querySelector('[data-option="make-tileable"] input[type=checkbox]');
  tileable.checked = true;  // on without a width: the option's own default
  tileable.dispatchEvent(new Event('change'));
  const slider = document.querySelector('[data-option="strength"] input[type=range]');
  slider.value = 6;
  slider.dispatchEvent(new Event('input'));
  await until(() => document.body.dataset.maps !== first, 'the maps after the move');
  const canvas = document.getElementById('preview'), box = canvas.getBoundingClientRect();
  const moved = document.body.dataset.maps;  // the light dragged to the upper left: --light 135
  const at = { clientX: box.left + box.width / 4, clientY: box.top + box.height / 4, buttons: 1 };
  for (const kind of ['pointerdown', 'pointerup']) canvas.dispatchEvent(new PointerEvent(kind, at));
  const clicked = state.values.has('light');
  for (const kind of ['pointermove', 'pointerup']) canvas.dispatchEvent(new PointerEvent(kind, at));
  await until(() => document.body.dataset.maps !== moved, 'the maps under the dragged light');
  const copy = Object.assign(document.createElement('canvas'), { width: canvas.width, height: canvas.height });
  copy.getContext('2d').drawImage(canvas, 0, 0);
  const pixels = copy.getContext('2d').getImageData(0, 0, copy.width, copy.height).data;
  const levels = new Set();
  for (let i = 0; i < pixels.length; i += 4) levels.add(pixels[i]);
  const after = document.getElementById('command').value;
  // Moves that come while the last move's maps are still arriving (after the third
  // of six): what a cancelled request fetched must be let go of, not kept.
  const live = new Set(), create = URL.createObjectURL, revoke = URL.revokeObjectURL;
  URL.createObjectURL = (blob) => { const url = create(blob); live.add(url); return url; };
  URL.revokeObjectURL = (url) => { live.delete(url); revoke(url); };
  const pageFetch = window.fetch;
  let pngs = 0;
  window.fetch = async (...args) => {
    const answer = await pageFetch(...args);
    if (String(args[0]).endsWith('.png') && ++pngs % 6 === 3 && pngs < 48) {
      slider.value = 1 + pngs % 10;
      slider.dispatchEvent(new Event('input'));
    }
    return answer;
  };
  slider.dispatchEvent(new Event('input'));
  const shown = () => [...document.querySelectorAll('#views img')].map((image) => image.src);
  await until(() => pngs >= 51 && shown().every((url) => live.has(url)), 'the maps after the moves');
  await new Promise((r) => setTimeout(r, 500));
  const leaked = [...live].filter((url) => !shown().includes(url)).length;
  // Photos opened one after the other, the first two answered last (one is no
  // image): the third stays, and no error shows.
  const png = (side) => new Promise((resolve) =>
    Object.assign(document.createElement('canvas'), { width: side, height: side }).toBlob(resolve));
  const name = () => document.getElementById('name').textContent;
  let uploads = 0, heldBack = 0;
  window.fetch = async (url, ...rest) => {
    const upload = String(url).startsWith('/api/sessions?') ? ++uploads : 0;
    const answer = await pageFetch(url, ...rest);
    const thirdShown = () => name().startsWith('third.png') && /preview in/.test(document.getElementById('status').textContent);
    if (upload === 1 || upload === 2) await until(thirdShown, "the third photo's maps");
    heldBack += upload === 1 || upload === 2;
    return answer;
  };
  const photos = [new File([await png(40)], 'first.png'), new File(['no image'], 'second.png'), new File([await png(30)], 'third.png')];
  photos.forEach(openFile);
  await until(() => heldBack === 2, 'the uploads');
  await new Promise((r) => setTimeout(r, 300));
  const lightTyped = !!document.querySelector('[data-option="light"] input[type=text]');
  return { opened: name(), early, clicked, leaked, offDefault, lightTyped,
           fileInput: getComputedStyle(document.getElementById('file')).display,
           before, after, levels: levels.size,
           error: document.getElementById('error').textContent, ms: Number(document.body.dataset.lastMs) };
})()"""


def devtools(chromium, profile):
    """Chromium's --remote-debugging-pipe: JSON messages ended by NUL on fds 3 and 4."""
    to_r, to_w = os.pipe()
    from_r, from_w = os.pipe()
    flags = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
             '--disable-background-networking', '--disable-component-update', '--disable-sync',
             '--use-angle=swiftshader', '--enable-unsafe-swiftshader', '--window-size=1400,1050',
             '--remote-debugging-pipe', '--user-data-dir=' + profile]
    # Chromium's own temporary files go inside the profile, removed with it.
    # Its own process group: its helper processes are stopped with it.
    proc = subprocess.Popen([chromium] + flags, close_fds=False, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, env=dict(os.environ, TMPDIR=profile),
                            start_new_session=True,
                            preexec_fn=lambda: (os.dup2(to_r, 3), os.dup2(from_w, 4)))
    os.close(to_r)
    os.close(from_w)
    state = {'id': 0, 'buffer': b''}

    def call(method, session=None, **params):
        state['id'] += 1
        message = {'id': state['id'], 'method': method, 'params': params}
        if session:
            message['sessionId'] = session
        os.write(to_w, json.dumps(message).encode() + b'\0')
        while True:
            while b'\0' not in state['buffer']:
                chunk = os.read(from_r, 1 << 16)
                if not chunk:
                    raise RuntimeError('Chromium closed the pipe')
                state['buffer'] += chunk
            text, state['buffer'] = state['buffer'].split(b'\0', 1)
            reply = json.loads(text)
            if reply.get('id') == state['id']:
                if 'error' in reply:
                    raise RuntimeError(f'{method}: {reply["error"]}')
                return reply['result']
    return proc, call


def main(program, sample, screenshot):
    chromium = shutil.which('chromium') or shutil.which('chromium-browser')
    if not chromium:
        print('SKIPPED: no chromium installed (apt-get install chromium)')
        return 77
    server = subprocess.Popen([program, 'serve', '--port', '0', sample],
                              stdout=subprocess.PIPE, text=True)
    profile = tempfile.mkdtemp(prefix='rk-chromium-')
    browser = None
    try:
        url = server.stdout.readline().split()[2]
        browser, call = devtools(chromium, profile)
        target = call('Target.createTarget', url='about:blank')['targetId']
        session = call('Target.attachToTarget', targetId=target, flatten=True)['sessionId']
        # A photo opened while the page still loads, as the startup photo is being made.
        photo = base64.b64encode(open(sample, 'rb').read()).decode()
        call('Page.enable', session)  # without it the script below is not run
        call('Page.addScriptToEvaluateOnNewDocument', session, source="addEventListener('DOMContentLoaded', () => "
             f"openFile(new File([Uint8Array.from(atob('{photo}'), (c) => c.charCodeAt(0))], 'early.png')))")
        call('Page.navigate', session, url=url)
        for attempt in range(20):  # the blank page's context may still be the one evaluated in
            try:
                result = call('Runtime.evaluate', session, expression=CHECK_PAGE,
                              awaitPromise=True, returnByValue=True)
                break
            except RuntimeError as error:
                if 'context was destroyed' not in str(error) or attempt == 19:
                    raise
        jpeg = screenshot.endswith('.jpg')  # the README's copy is kept small
        shot = call('Page.captureScreenshot', session, format='jpeg' if jpeg else 'png',
                    quality=85)['data']
        with open(screenshot, 'wb') as out:
            out.write(base64.b64decode(shot))
        assert 'exceptionDetails' not in result, result['exceptionDetails'].get('exception')
        seen = result['result']['value']
        print(json.dumps(seen))
        assert seen['error'] == '', 'the page shows an error'
        assert seen['after'] != seen['before'] and '--invert-blue --strength 6 ' in seen['after'], \
            'the command line did not follow the control'
        assert '--light 135 ' in seen['after'], 'dragging the light did not set --light'
        assert '--make-tileable ' in seen['after'], '--make-tileable could not be ticked alone'
        assert seen['levels'] >= 16, 'the lit preview is blank'
        assert seen['offDefault'] == [], 'sliders that cannot show their default'
        assert seen['leaked'] == 0, 'the maps of cancelled requests are kept'
        assert seen['opened'].startswith('third.png'), 'an older upload replaced a newer one'
        assert seen['early'].startswith('early.png'), 'a photo opened while the page loads was dropped'
        assert not seen['clicked'], 'a click on the preview set --light'
        assert seen['lightTyped'], '--light AZ:EL cannot be typed'
        assert seen['fileInput'] != 'none', 'the keyboard cannot reach the file input'
        return 0
    finally:
        if browser:
            try:
                os.killpg(browser.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            browser.wait()
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=10)
        # A helper that was writing into the profile as it was killed may
        # still finish that write: remove until nothing is left.
        for _ in range(50):
            shutil.rmtree(profile, ignore_errors=True)
            if not os.path.exists(profile):
                break
            time.sleep(0.1)


if __name__ == '__main__':  # --program P --sample S --screenshot FILE
    options = dict(zip(sys.argv[1::2], sys.argv[2::2]))
    sys.exit(main(options['--program'], options['--sample'], options['--screenshot']))
