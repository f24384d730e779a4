// The frame reader of server.js, a process of its own at the lowest
// priority, so that encoding frames never takes a core from input: reads the display's pixels as Xvfb keeps
// them (an XWD file) and answers each 'frame' with a 12-byte header (width,
// height, bytes per row; little-endian) and the rows of 32-bit pixels,
// deflated; or with null when the screen is as it was in the last frame
// sent, or cannot be read. 'restart' makes the next frame go out in any case.
'use strict';

const fs = require('node:fs');
const zlib = require('node:zlib');

const framebuffer = process.argv[2];

let previous = null;

function frame() {
  let file;
  try {
    file = fs.readFileSync(framebuffer);
  } catch {
    return null;
  }
  const field = (index) => file.readUInt32BE(index * 4);
  const [headerSize, width, height, bytesPerRow, colours] =
      [field(0), field(4), field(5), field(12), field(19)];
  const start = headerSize + colours * 12;
  const pixels = file.subarray(start, start + bytesPerRow * height);
  if (previous && previous.equals(pixels)) return null;
  previous = pixels;
  const header = Buffer.alloc(12);
  header.writeUInt32LE(width, 0);
  header.writeUInt32LE(height, 4);
  header.writeUInt32LE(bytesPerRow, 8);
  return Buffer.concat([header, zlib.deflateSync(pixels, { level: 1 })]);
}

process.on('message', (request) => {
  if (request === 'restart') {
    previous = null;
    return;
  }
  const made = frame();
  // The server may have gone meanwhile; then this process goes too.
  if (process.connected) process.send(made, () => {});
});
process.on('disconnect', () => process.exit(0));
