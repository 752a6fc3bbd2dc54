// Decodes a LAZ file with laz-perf and writes its point records, one after
// another, to the output file: node decode.js input.laz output.bin
'use strict';
const fs = require('fs');
const { createLazPerf } = require('laz-perf/lib/index.js');

async function main() {
  const [input, output] = process.argv.slice(2);
  const bytes = fs.readFileSync(input);
  const lazPerf = await createLazPerf();
  const laszip = new lazPerf.LASZip();
  const filePtr = lazPerf._malloc(bytes.length);
  lazPerf.HEAPU8.set(bytes, filePtr);
  laszip.open(filePtr, bytes.length);
  const count = laszip.getCount();
  const length = laszip.getPointLength();
  const pointPtr = lazPerf._malloc(length);
  const records = Buffer.alloc(count * length);
  for (let i = 0; i < count; ++i) {
    laszip.getPoint(pointPtr);
    records.set(lazPerf.HEAPU8.subarray(pointPtr, pointPtr + length), i * length);
  }
  fs.writeFileSync(output, records);
  lazPerf._free(pointPtr);
  lazPerf._free(filePtr);
  laszip.delete();
}

main().catch((error) => {
  console.error(error.message || error);
  process.exit(1);
});
