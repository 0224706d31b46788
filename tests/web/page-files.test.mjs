import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { readdirSync, readFileSync } from 'node:fs';
import { test } from 'node:test';

const web = new URL('../../src/relay/web/', import.meta.url);
const files = readdirSync(web);

test('every module of the page parses, also those only a browser can run', () => {
  for (const file of files.filter((name) => name.endsWith('.js'))) {
    const check = spawnSync(process.execPath, ['--experimental-default-type=module', '--check', new URL(file, web).pathname]);
    assert.equal(check.status, 0, `${file}: ${check.stderr}`);
  }
});

test('the page loads only its own files, and nothing inline that its policy would refuse', () => {
  const html = readFileSync(new URL('listener.html', web), 'utf8');
  assert.doesNotMatch(html, /<style|\sstyle=|\son[a-z]+=/i);
  for (const [, attributes] of html.matchAll(/<script([^>]*)>/g)) assert.match(attributes, /src="\/listener\//);
  const referenced = [...html.matchAll(/(?:src|href)="\/listener\/([^"]+)"/g)].map((m) => m[1]);
  const imported = files
    .filter((name) => name.endsWith('.js'))
    .flatMap((name) => [...readFileSync(new URL(name, web), 'utf8').matchAll(/'(?:\.|\/listener)\/([^']+)'/g)].map((m) => m[1]));
  assert.ok(imported.includes('player-worklet.js') && imported.includes('jitter-buffer.js'));
  for (const name of [...referenced, ...imported]) assert.ok(files.includes(name), `${name} is referenced but missing`);
  for (const id of ['password', 'listen', 'stop', 'volume', 'status', 'start-audio', 'format', 'delay', 'loss', 'meter-left', 'meter-right'])
    assert.match(html, new RegExp(`id="${id}"`));
});
