// The frame reader of server.js, a process of its own at the lowest
// priority, so that encoding frames never takes a core from input: reads the display's pixels as Xvfb keeps
// them (an XWD file) and answers each 'frame' with a 12-byte header (width,
// height, bytes per row; little-endian) and the rows of 32-bit pixels,
// deflated; or with null when the pixels are as they were in the last frame
// sent, or cannot be read, or the display lies outside the screen. A display
// ({x, y, width, height}, or null for the whole screen) chooses what the next
// frames are of, and makes the next go out in any case.
//
// The screen file is in X's pixels, which are the units the agent posts in
// on X (X does not scale: its displays' scale is 1), so a display's
// rectangle is cut out as the agent lists it.
'use strict';

const fs = require('node:fs');
const zlib = require('node:zlib');

const framebuffer = process.argv[2];

let previous = null;
let area = null;

// A bound of the display's rectangle, within the screen.
const within = (value, limit) => Math.min(limit, Math.max(0, Math.round(value)));

function frame() {
  let file;
  try {
    file = fs.readFileSync(framebuffer);
  } catch {
    return null;
  }
  const field = (index) => file.readUInt32BE(index * 4);
  const [headerSize, screenWidth, screenHeight, bytesPerRow, colours] =
      [field(0), field(4), field(5), field(12), field(19)];
  const start = headerSize + colours * 12;
  const left = within(area?.x ?? 0, screenWidth);
  const top = within(area?.y ?? 0, screenHeight);
  const width = within(area ? area.x + area.width : screenWidth, screenWidth) - left;
  const height = within(area ? area.y + area.height : screenHeight, screenHeight) - top;
  if (width === 0 || height === 0) return null;
  const pixels = Buffer.alloc(width * height * 4);
  for (let y = 0; y < height; y++) {
    const from = start + (top + y) * bytesPerRow + left * 4;
    file.copy(pixels, y * width * 4, from, from + width * 4);
  }
  if (previous && previous.equals(pixels)) return null;
  previous = pixels;
  const header = Buffer.alloc(12);
  header.writeUInt32LE(width, 0);
  header.writeUInt32LE(height, 4);
  header.writeUInt32LE(width * 4, 8);
  return Buffer.concat([header, zlib.deflateSync(pixels, { level: 1 })]);
}

process.on('message', (request) => {
  if (request !== 'frame') {
    area = request;
    previous = null;
    return;
  }
  const made = frame();
  // The server may have gone meanwhile; then this process goes too.
  if (process.connected) process.send(made, () => {});
});
process.on('disconnect', () => process.exit(0));
