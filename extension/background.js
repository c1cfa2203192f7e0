// Toolbar button: the first click records the current tab, the next one stops.
// The worker may be shut down between clicks, so "recording" is simply "the offscreen
// document exists"; the document itself holds the capture and the connection.
importScripts('settings.js');

const OFFSCREEN_URL = 'offscreen.html';

async function offscreenOpen() {
  const contexts = await chrome.runtime.getContexts({
    contextTypes: ['OFFSCREEN_DOCUMENT'],
    documentUrls: [chrome.runtime.getURL(OFFSCREEN_URL)],
  });
  return contexts.length > 0;
}

async function setBadge(text, colour, title) {
  await chrome.action.setBadgeText({ text });
  if (colour) await chrome.action.setBadgeBackgroundColor({ color: colour });
  await chrome.action.setTitle({ title });
}

async function startRecording(tab) {
  await setBadge('', null, 'Record this tab in Torvane'); // forget an earlier BUSY or ERR
  const streamId = await chrome.tabCapture.getMediaStreamId({ targetTabId: tab.id });
  await chrome.offscreen.createDocument({
    url: OFFSCREEN_URL,
    reasons: ['USER_MEDIA'],
    justification: 'Captures the tab and streams it to Torvane.',
  });
  const port = await loadPort();
  await chrome.runtime.sendMessage({ target: 'offscreen', type: 'start', streamId, port });
}

chrome.action.onClicked.addListener(async (tab) => {
  try {
    if (await offscreenOpen()) {
      await chrome.runtime.sendMessage({ target: 'offscreen', type: 'stop' });
    } else {
      await startRecording(tab);
    }
  } catch (e) {
    console.error('Torvane: could not start tab recording:', e);
    await setBadge('ERR', '#777777', 'Torvane: ' + e.message);
    if (await offscreenOpen()) await chrome.offscreen.closeDocument();
  }
});

// Reports from the offscreen document.
chrome.runtime.onMessage.addListener((msg) => {
  if (msg.target !== 'background') return;
  if (msg.type === 'recording') {
    setBadge('REC', '#d00000', 'Recording in Torvane; click to stop');
  } else if (msg.type === 'ended') {
    // A refusal or an error stays visible on the button until the next click.
    const badge = msg.reason === 'busy' ? 'BUSY' : msg.reason === 'error' ? 'ERR' : '';
    const title = msg.detail ? 'Torvane: ' + msg.detail : 'Record this tab in Torvane';
    setBadge(badge, '#777777', title).then(async () => {
      if (await offscreenOpen()) await chrome.offscreen.closeDocument();
    });
  }
});
