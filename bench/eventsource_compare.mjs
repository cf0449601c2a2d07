// Runs the npm package eventsource-parser, plus JSON.parse of every event's data, on the
// very bytes bench_eventstream decoded, in the same pieces, and prints both throughputs
// side by side. Bytes become text through a streaming TextDecoder, as any JavaScript
// client must do before this parser can see them.
//
// Usage: node eventsource_compare.mjs DIR   (DIR holds bench_eventstream's output)

import { readFileSync } from 'node:fs';
import { createParser } from 'eventsource-parser';

const directory = process.argv[2] ?? process.env.KESTRUNE_BENCH_DIR;
if (!directory) {
  console.error('usage: node eventsource_compare.mjs DIR');
  process.exit(2);
}

const goal = 3;
const pieceSizes = [1, 7, 64, 4096];
const native = JSON.parse(readFileSync(`${directory}/eventstream-results.json`, 'utf8'));

function decodeOnce(bytes, piece) {
  let events = 0;
  let characters = 0;
  const parser = createParser({
    onEvent(event) {
      const data = JSON.parse(event.data);
      if (event.event === 'delta') characters += data.text.length;
      events += 1;
    },
  });
  const decoder = new TextDecoder();
  for (let at = 0; at < bytes.length; at += piece) {
    parser.feed(decoder.decode(bytes.subarray(at, at + piece), { stream: true }));
  }
  parser.feed(decoder.decode());
  return { events, characters };
}

// Repeats whole runs for at least a second (and three runs) after one warm-up run.
function eventsPerSecond(bytes, piece) {
  decodeOnce(bytes, piece);
  let events = 0;
  let runs = 0;
  const start = process.hrtime.bigint();
  let elapsed = 0;
  while (runs < 3 || elapsed < 1) {
    events += decodeOnce(bytes, piece).events;
    runs += 1;
    elapsed = Number(process.hrtime.bigint() - start) / 1e9;
  }
  return events / elapsed;
}

const format = (value) => Math.round(value).toLocaleString('en-US').padStart(12);
console.log('line ends  piece   client events/s   eventsource-parser events/s   ratio');
let allMet = true;
for (const variant of ['lf', 'crlf']) {
  const bytes = readFileSync(`${directory}/eventstream-${variant}.txt`);
  for (const piece of pieceSizes) {
    const ours = native[`${variant}/${piece}`];
    if (ours === undefined) continue; // not run this time (benchmark filter)
    const theirs = eventsPerSecond(bytes, piece);
    const ratio = ours / theirs;
    const met = ratio >= goal;
    allMet &&= met;
    console.log(
      `${variant.padEnd(9)}  ${String(piece).padStart(5)}   ${format(ours)}      ` +
        `${format(theirs)}              ${ratio.toFixed(1).padStart(5)}x ${met ? '' : ' (below 3x)'}`,
    );
  }
}
console.log(allMet ? `goal of ${goal}x met at every piece size` : `goal of ${goal}x NOT met`);
