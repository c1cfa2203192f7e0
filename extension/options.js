const input = document.getElementById('port');
const status = document.getElementById('status');

loadPort().then((port) => { input.value = port; });

document.getElementById('save').addEventListener('click', async () => {
  const port = Number(input.value);
  if (!Number.isInteger(port) || port < 1 || port > 65535) {
    status.textContent = 'Enter a port from 1 to 65535.';
    return;
  }
  await chrome.storage.local.set({ port });
  status.textContent = 'Saved; used from the next recording.';
});
