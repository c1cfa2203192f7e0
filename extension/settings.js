// Shared by the service worker, the offscreen document and the options page.
// Torvane's own settings default to this port; change both together.
const DEFAULT_PORT = 8765;

async function loadPort() {
  const { port } = await chrome.storage.local.get({ port: DEFAULT_PORT });
  const n = Number(port);
  return Number.isInteger(n) && n >= 1 && n <= 65535 ? n : DEFAULT_PORT;
}
