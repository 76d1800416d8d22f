// Prints each 512-byte block of a UF2 file as the npm package uf2 decodes
// it, a line a block: flags, address, payload length, block number, total
// blocks, family and the payload in hex. The tests compare these lines.
// Usage: node tools/uf2-blocks.js NODE_MODULES/uf2 IMAGE.uf2
const { decodeBlock } = require(process.argv[2]);
const data = require('fs').readFileSync(process.argv[3]);
for (let i = 0; i < data.length; i += 512) {
  const b = decodeBlock(new Uint8Array(data.subarray(i, i + 512)));
  console.log([b.flags, b.flashAddress, b.payload.length, b.blockNumber, b.totalBlocks, b.boardFamily,
               Buffer.from(b.payload).toString('hex')].join(' '));
}
